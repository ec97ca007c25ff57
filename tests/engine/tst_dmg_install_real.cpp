#include "install_run.h"
#include "real_tools.h"
#include "user_run.h"

#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString kCopyFailed = u"Could not copy the application to the install location."_s;
const QString kCancelled = u"Installation was cancelled at the authorization prompt."_s;

uint ownerOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path), &st) == 0 ? st.st_uid : ~0u;
}

} // namespace

// Real images mounted by the hdiutil stand-in, copied for real, detached for real.
class TstDmgInstallReal : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_rootDir, m_dir;
    QString m_root;
    UserRun m_user;
    QStringList m_immutable; // to be freed before the folder goes

    QString path(const QString &name) const { return m_dir->filePath(name); }

    void expectNothingMounted()
    {
        QCOMPARE(mountsUnder(m_root), QStringList());
        QCOMPARE(QDir(m_root).entryList({u"quorvel-volume.*"_s}, QDir::AllEntries), QStringList());
    }

    // tree/Quorvel.app holding what bundles have: an executable behind a link, extended
    // attributes (on the bundle too), old times, and a link out of the image. With a fifo,
    // neither copy can take it. Everything is `owner`'s.
    void makeBundleTree(bool withFifo = false, uid_t owner = 0, gid_t group = 0)
    {
        const QString app = path(u"tree/Quorvel.app"_s), run = app + u"/usr/bin/run"_s,
                      data = app + u"/data"_s, outside = path(u"outside"_s);
        QVERIFY(writeFile(run, "#!/bin/sh\n") && writeFile(data, "1") && writeFile(outside, "o"));
        QVERIFY(QFile::link(u"usr/bin/run"_s, app + u"/AppRun"_s) &&
                QFile::link(outside, app + u"/outside"_s));
        if (owner != 0)
            QCOMPARE(QProcess::execute(u"/bin/chown"_s, {u"-R"_s, u"%1:%2"_s.arg(owner).arg(group),
                                                         path(u"tree"_s)}),
                     0);
        QCOMPARE(::chmod(QFile::encodeName(run), 04750), 0);
        for (const QString &p : {app, run, data})
            QVERIFY(setAttr(p, "user.com.apple.quarantine"));
        QVERIFY(setAttr(data, "user.org.example.kept"));
        const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(data), old, 0), 0);
        if (withFifo)
            QCOMPARE(::mkfifo(QFile::encodeName(app + u"/zz-fifo"_s), 0644), 0);
    }

    void makeBundleImage(bool withFifo = false)
    {
        makeBundleTree(withFifo);
        QVERIFY(makeImage(path(u"tree"_s), path(u"image.dmg"_s)));
    }

    // Ready to run the setup as the user, the bundle tree the user's (as files in a FUSE mount
    // of the user's are); skips where that cannot be done.
    void prepareUser()
    {
        m_user.root = m_dir->path();
        if (const QString why = m_user.prepare(); !why.isEmpty())
            QSKIP(qPrintable(why));
        makeBundleTree(false, m_user.uid, m_user.gid);
        QVERIFY(writeFile(m_user.image(), "not read: the volume is a folder") &&
                m_user.own(m_user.image()));
    }

private slots:
    void initTestCase()
    {
        m_rootDir = testTempDir(u"real-XXXXXX"_s);
        QVERIFY(m_rootDir->isValid());
        m_root = m_rootDir->path();
        // Private mount points of the stand-in land here; shell commands run from cwd/.
        qputenv("TMPDIR", QFile::encodeName(m_root));
        QVERIFY(QDir().mkpath(m_root + u"/cwd"_s) && QDir::setCurrent(m_root + u"/cwd"_s));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>(m_root + u"/t-XXXXXX"_s);
        QVERIFY(m_dir->isValid());
        m_user = UserRun();
    }

    void cleanup()
    {
        for (const QString &p : std::exchange(m_immutable, {}))
            QVERIFY(setImmutable(p, false));
    }

    void sampleImageReplacesOlderCopy_data()
    {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QByteArray>("arch");
        QTest::newRow("intel") << sampleImage("quorvel.dmg") << "x86_64\n"_ba;
        QTest::newRow("silicon") << sampleImage("quorvel.silicon.dmg") << "arm64\n"_ba;
    }
    void sampleImageReplacesOlderCopy()
    {
        QFETCH(QString, image);
        QFETCH(QByteArray, arch);
        const QString dest = path(u"Applications"_s), app = dest + u"/Quorvel.app"_s;
        QVERIFY(writeFile(app + u"/old-only"_s, "old"));

        const InstallRun r = runInstaller(image, dest, standInTools());
        QCOMPARE(r.app, app);
        QCOMPARE(r.stages, (QStringList{u"mount"_s, u"copy"_s})); // no prompt
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
        QCOMPARE(entries(app), (QStringList{u".DirIcon"_s, u"AppRun"_s, u"quorvel.desktop"_s,
                                            u"quorvel.svg"_s, u"usr"_s}));
        QCOMPARE(readFile(app + u"/usr/share/quorvel/arch"_s), arch);
        expectNothingMounted();
    }

    void bundleLandsIntact_data()
    {
        QTest::addColumn<QString>("folder"); // empty: an existing writable folder
        QTest::newRow("plain copy") << QString();
        // Made below a folder the user cannot write: only the privileged command can make it,
        // and the name passes through a shell word inside a script string.
        QTest::newRow("hostile name")
            << u"  a'b\"c\\\\d $(touch pwned)`touch pwned2`; touch pwned3; '\\''e \\\" "_s;
    }
    void bundleLandsIntact()
    {
        QFETCH(QString, folder);
        const bool privileged = !folder.isEmpty();
        const QString dest = path(u"dest/"_s + (privileged ? folder : u"plain"_s) + u"/Apps"_s);
        InstallRun r;
        QString cwd = QDir::currentPath();
        if (privileged) {
            prepareUser();
            QVERIFY(QDir().mkpath(path(u"dest"_s)));
            QCOMPARE(::chmod(QFile::encodeName(path(u"dest"_s)), 0755), 0);
            r = m_user.install(dest, folderHdiutil(m_dir->path(), path(u"tree"_s)));
            cwd = m_user.user(u"cwd"_s);
            QCOMPARE(m_user.prompts(), 1);
        } else {
            makeBundleImage();
            QVERIFY(QDir().mkpath(dest));
            r = runInstaller(path(u"image.dmg"_s), dest, standInTools());
        }
        QVERIFY2(r.success, qPrintable(r.log.join(u'\n')));
        const QString app = dest + u"/Quorvel.app"_s;
        QCOMPARE(r.app, app);
        QCOMPARE(r.stages.contains(u"authorize"_s), privileged);
        QCOMPARE(entries(path(u"dest"_s)), QStringList{privileged ? folder : u"plain"_s});
        QCOMPARE(entries(QFileInfo(dest).path()), QStringList{u"Apps"_s});
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
        QCOMPARE(entries(cwd), QStringList()); // nothing else was run
        QCOMPARE(QFile::symLinkTarget(app + u"/AppRun"_s), app + u"/usr/bin/run"_s);
        QCOMPARE(QFile::symLinkTarget(app + u"/outside"_s), path(u"outside"_s));
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(app + u"/usr/bin/run"_s), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0750u); // set-id bits are not carried over
        QCOMPARE(::stat(QFile::encodeName(app + u"/usr"_s), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0755u); // folders open to all, as in the image
        QCOMPARE(QFileInfo(app + u"/data"_s).lastModified().toSecsSinceEpoch(), 1000000000);
        for (const QString &p : QStringList{app, app + u"/data"_s, app + u"/usr/bin/run"_s})
            QVERIFY2(!hasAttr(p, "user.com.apple.quarantine"), qPrintable(p));
        QVERIFY(hasAttr(app + u"/data"_s, "user.org.example.kept"));
        if (privileged) // the private copy beside the image is gone
            QCOMPARE(entries(m_user.user(u"private"_s)), QStringList{u"image.dmg"_s});
        expectNothingMounted();
    }

    // The road that asks for administrator rights, taken by an unprivileged user. The old
    // bundle is root's, with a folder of root's in it, in a folder everyone may add to (mode
    // 1777, like /tmp): the user cannot replace it alone.
    void privilegedRoad_data()
    {
        QTest::addColumn<QString>("error"); // empty: installed
        QTest::addColumn<bool>("prompted");
        QTest::newRow("staging swapped for a link while root copies") << kCopyFailed << true;
        QTest::newRow("killed before the swap") << kCopyFailed << true;
        QTest::newRow("prompt dismissed") << kCancelled << true;
        QTest::newRow("rename fails where the exchange is refused") << kCopyFailed << true;
        QTest::newRow("undeletable old file") << kCopyFailed << true;
        QTest::newRow("old bundle of root's in the user's folder") << QString() << true;
        QTest::newRow("missing folder under a writable parent") << QString() << false;
        QTest::newRow("quarantine cleared by root") << QString() << true;
        QTest::newRow("FUSE mount without user_allow_other") << QString() << true;
    }
    void privilegedRoad()
    {
        QFETCH(QString, error);
        QFETCH(bool, prompted);
        const QByteArray tag = QTest::currentDataTag();
        prepareUser();
        const QString shared = path(u"shared"_s), system = path(u"system/Apps"_s),
                      outside = path(u"outside-root"_s);
        QVERIFY(writeFile(shared + u"/Quorvel.app/AppRun"_s, "old") &&
                writeFile(shared + u"/Quorvel.app/lib/locked"_s, "old") && QDir().mkpath(system) &&
                QDir().mkpath(outside));
        QCOMPARE(::chmod(QFile::encodeName(shared), 01777), 0);
        const QString staging = DMGInstaller::stagingPath(shared + u"/Quorvel.app"_s);
        QString dest = shared, hdiutil = folderHdiutil(m_dir->path(), path(u"tree"_s));
        if (tag.startsWith("staging swapped")) {
            m_user.env.insert(u"QUORVEL_TEST_ROOT_PRELOAD"_s, QStringLiteral(QUORVEL_ROOT_SHIM));
            m_user.env.insert(u"QUORVEL_TEST_SWAP_STAGING"_s, staging);
            m_user.env.insert(u"QUORVEL_TEST_SWAP_TARGET"_s, outside);
        } else if (tag.startsWith("killed")) {
            m_user.env.insert(u"QUORVEL_TEST_ROOT_PRELOAD"_s, QStringLiteral(QUORVEL_ROOT_SHIM));
            m_user.env.insert(u"QUORVEL_TEST_KILL_AT_RENAME"_s, u"1"_s);
        } else if (tag.startsWith("prompt dismissed")) {
            m_user.env.insert(u"QUORVEL_TEST_PKEXEC_DISMISS"_s, u"1"_s);
        } else if (tag.startsWith("rename fails")) {
            m_user.env.insert(u"QUORVEL_TEST_ROOT_PRELOAD"_s, QStringLiteral(QUORVEL_ROOT_SHIM));
            m_user.env.insert(u"QUORVEL_TEST_NO_EXCHANGE"_s, u"Quorvel.app"_s);
        } else if (tag.startsWith("undeletable")) {
            if (!setImmutable(shared + u"/Quorvel.app/lib/locked"_s, true))
                QSKIP("the file system here cannot make a file immutable");
            m_immutable << shared + u"/Quorvel.app/lib/locked"_s;
        } else if (tag.startsWith("old bundle")) {
            // The user could move it aside, but not empty it: the plain copy must not start.
            dest = m_user.user(u"Apps"_s);
            QVERIFY(QDir().rename(shared, dest) && m_user.own(dest));
            QCOMPARE(::chmod(QFile::encodeName(dest), 0755), 0);
        } else if (tag.startsWith("missing")) {
            dest = m_user.user(u"new/Apps"_s);
        } else if (tag.startsWith("quarantine")) {
            dest = system;
        } else {
            // Root cannot read the user's FUSE mount unless /etc/fuse.conf allows it.
            QVERIFY(makeImage(path(u"tree"_s), path(u"image.dmg"_s)) &&
                    m_user.placeImage(path(u"image.dmg"_s)));
            hdiutil = standIn("hdiutil");
            QByteArray plist;
            if (m_user.runAsUser(hdiutil, {u"attach"_s, m_user.image(), u"-plist"_s}, &plist) != 0)
                QSKIP("this machine does not let an unprivileged user mount with FUSE");
            const QString mounted = mountsUnder(m_user.user(u"tmp"_s)).value(0);
            QCOMPARE(m_user.runAsUser(hdiutil, {u"detach"_s, mounted}), 0);
            dest = system;
        }

        const InstallRun r = m_user.install(dest, hdiutil);
        QCOMPARE(entries(outside), QStringList()); // root wrote nothing outside the destination
        QCOMPARE(r.error.value_or(QString()), error);
        QCOMPARE(r.stages.contains(u"authorize"_s), prompted);
        QCOMPARE(m_user.prompts(), prompted ? 1 : 0);
        const QString app = dest + u"/Quorvel.app"_s;
        if (error.isEmpty()) {
            QCOMPARE(r.app, app);
            QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
            QCOMPARE(readFile(app + u"/data"_s), "1"_ba);
            QCOMPARE(QFile::symLinkTarget(app + u"/AppRun"_s), app + u"/usr/bin/run"_s);
            // Made, copied and cleared with the same rights: root's, or else the user's alone.
            const uint owner = prompted ? 0 : m_user.uid;
            for (const QString &p : QStringList{app, app + u"/data"_s, app + u"/usr/bin/run"_s}) {
                QCOMPARE(ownerOf(p), owner);
                QVERIFY2(!hasAttr(p, "user.com.apple.quarantine"), qPrintable(p));
            }
            if (!prompted)
                QCOMPARE(ownerOf(m_user.user(u"new"_s)), owner);
        } else {
            // The old bundle, whole, and nothing of this run beside it.
            QStringList left = entries(dest);
            if (tag.startsWith("staging swapped")) {
                // The link put in the staging folder's place, and the folder it moved away.
                QVERIFY(QFileInfo(staging).isSymLink());
                QVERIFY(left.removeOne(QFileInfo(staging).fileName()) &&
                        left.removeOne(QFileInfo(staging).fileName() + u".moved"_s));
            } else if (tag.startsWith("killed")) {
                left.removeOne(QFileInfo(staging).fileName()); // a kill leaves its copy
            }
            QCOMPARE(left, QStringList{u"Quorvel.app"_s});
            QCOMPARE(entries(app), (QStringList{u"AppRun"_s, u"lib"_s}));
            QCOMPARE(readFile(app + u"/AppRun"_s), "old"_ba);
            QCOMPARE(readFile(app + u"/lib/locked"_s), "old"_ba);
        }
        QCOMPARE(entries(m_user.user(u"private"_s)), QStringList{u"image.dmg"_s});
        expectNothingMounted();
    }

    void failedInstallKeepsOlderBundle_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("copiesTried");
        QTest::newRow("random bytes") << u"Could not mount the disk image."_s << 0;
        QTest::newRow("truncated") << u"Could not mount the disk image."_s << 0;
        QTest::newRow("no bundle") << u"The application was not found in the disk image."_s << 0;
        QTest::newRow("neither copy takes a fifo") << kCopyFailed << 2;
    }
    void failedInstallKeepsOlderBundle()
    {
        QFETCH(QString, error);
        QFETCH(int, copiesTried);
        const QByteArray tag = QTest::currentDataTag();
        const QString image = path(u"image.dmg"_s), dest = path(u"Applications"_s);
        QVERIFY(writeFile(dest + u"/Quorvel.app/AppRun"_s, "old"));
        if (tag == "random bytes") {
            QByteArray noise(8192, Qt::Uninitialized);
            QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.data()), 2048);
            QVERIFY(writeFile(image, noise));
        } else if (tag == "truncated") {
            QVERIFY(writeFile(image, readFile(sampleImage("quorvel.dmg")).left(600)));
        } else if (tag == "no bundle") {
            QVERIFY(writeFile(path(u"tree/Readme.txt"_s), "no app here") &&
                    makeImage(path(u"tree"_s), image));
        } else {
            makeBundleImage(true); // nor does the copy out of the image: no prompt comes
        }

        const InstallRun r = runInstaller(image, dest, standInTools());
        QCOMPARE(r.error, error);
        const QRegularExpression copyFailed(
            u"^INST: (direct copy failed|copy out of the image failed) \\(.*fifo"_s);
        QCOMPARE(r.log.filter(copyFailed).size(), copiesTried);
        QVERIFY(!r.stages.contains(u"authorize"_s));
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
        QCOMPARE(entries(dest + u"/Quorvel.app"_s), QStringList{u"AppRun"_s});
        QCOMPARE(readFile(dest + u"/Quorvel.app/AppRun"_s), "old"_ba);
        expectNothingMounted();
    }
};

QTEST_GUILESS_MAIN(TstDmgInstallReal)
#include "tst_dmg_install_real.moc"
