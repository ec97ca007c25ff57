#include "install_run.h"
#include "real_tools.h"
#include "user_run.h"

#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString kMountFailed = u"Could not mount the disk image."_s;
const QString kCopyFailed = u"Could not copy the application to the install location."_s;
const QString kCancelled = u"Installation was cancelled at the authorization prompt."_s;

struct stat statOf(const QString &path)
{
    struct stat st = {};
    st.st_uid = ~0u;
    ::lstat(QFile::encodeName(path), &st);
    return st;
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
    // attributes (on the bundle too), old times, and a link out of the image to a file with
    // the quarantine mark. With a fifo, neither copy can take it. Everything is `owner`'s.
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
        QVERIFY(setAttr(data, "user.org.example.kept") &&
                setAttr(outside, "user.com.apple.quarantine"));
        const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(data), old, 0), 0);
        if (withFifo)
            QCOMPARE(::mkfifo(QFile::encodeName(app + u"/zz-fifo"_s), 0644), 0);
    }

    // The copy of makeBundleTree() at `app`, every entry `owner`'s.
    void expectIntactBundle(const QString &app, uint owner)
    {
        QCOMPARE(readFile(app + u"/data"_s), "1"_ba);
        QCOMPARE(QFile::symLinkTarget(app + u"/AppRun"_s), app + u"/usr/bin/run"_s);
        QCOMPARE(QFile::symLinkTarget(app + u"/outside"_s), path(u"outside"_s));
        QCOMPARE(statOf(app + u"/usr/bin/run"_s).st_mode & 07777, 0750u); // no set-id bits
        QCOMPARE(statOf(app + u"/usr"_s).st_mode & 07777, 0755u); // open to all, as in the image
        QCOMPARE(QFileInfo(app + u"/data"_s).lastModified().toSecsSinceEpoch(), 1000000000);
        QVERIFY(hasAttr(app + u"/data"_s, "user.org.example.kept"));
        // Clearing the mark does not follow the link out of the bundle.
        QVERIFY(hasAttr(path(u"outside"_s), "user.com.apple.quarantine"));
        for (const QString &p : QStringList{app, app + u"/data"_s, app + u"/usr/bin/run"_s}) {
            QCOMPARE(statOf(p).st_uid, owner);
            QVERIFY2(!hasAttr(p, "user.com.apple.quarantine"), qPrintable(p));
        }
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

    // The road without a prompt, with the stand-ins: an older copy is replaced, or kept whole
    // when the image cannot be mounted or copied.
    void plainRoad_data()
    {
        QTest::addColumn<QString>("image"); // a sample, or what the test makes
        QTest::addColumn<QString>("error"); // empty: installed
        QTest::newRow("intel sample") << u"quorvel.dmg"_s << QString();
        QTest::newRow("silicon sample") << u"quorvel.silicon.dmg"_s << QString();
        QTest::newRow("bundle with links and attributes") << u"tree"_s << QString();
        QTest::newRow("random bytes") << u"noise"_s << kMountFailed;
        QTest::newRow("truncated") << u"truncated"_s << kMountFailed;
        QTest::newRow("no bundle")
            << u"no bundle"_s << u"The application was not found in the disk image."_s;
        // Nor does the copy out of the image take it: no prompt comes.
        QTest::newRow("neither copy takes a fifo") << u"tree with fifo"_s << kCopyFailed;
    }
    void plainRoad()
    {
        QFETCH(QString, image);
        QFETCH(QString, error);
        const QString dest = path(u"Applications"_s), app = dest + u"/Quorvel.app"_s;
        QVERIFY(writeFile(app + u"/AppRun"_s, "old"));
        QString file = path(u"image.dmg"_s);
        if (image.endsWith(u".dmg")) {
            file = sampleImage(image.toUtf8().constData());
        } else if (image == u"noise") {
            QByteArray noise(8192, Qt::Uninitialized);
            QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.data()), 2048);
            QVERIFY(writeFile(file, noise));
        } else if (image == u"truncated") {
            QVERIFY(writeFile(file, readFile(sampleImage("quorvel.dmg")).left(600)));
        } else {
            if (image == u"no bundle")
                QVERIFY(writeFile(path(u"tree/Readme.txt"_s), "no app here"));
            else
                makeBundleTree(image.endsWith(u"fifo"));
            QVERIFY(makeImage(path(u"tree"_s), file));
        }

        const InstallRun r = runInstaller(file, dest, standInTools());
        QCOMPARE(r.error.value_or(QString()), error);
        QCOMPARE(r.app.value_or(QString()), error.isEmpty() ? app : QString());
        QCOMPARE(r.stages.contains(u"authorize"_s), false);
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
        const QRegularExpression copyFailed(
            u"^INST: (direct copy failed|copy out of the image failed) \\(.*fifo"_s);
        QCOMPARE(r.log.filter(copyFailed).size(), image.endsWith(u"fifo") ? 2 : 0);
        if (!error.isEmpty()) {
            QCOMPARE(entries(app), QStringList{u"AppRun"_s});
            QCOMPARE(readFile(app + u"/AppRun"_s), "old"_ba);
        } else if (image == u"tree") {
            expectIntactBundle(app, ::getuid());
        } else {
            QCOMPARE(entries(app), (QStringList{u".DirIcon"_s, u"AppRun"_s, u"quorvel.desktop"_s,
                                                u"quorvel.svg"_s, u"usr"_s}));
            QCOMPARE(readFile(app + u"/usr/share/quorvel/arch"_s),
                     image.contains(u"silicon") ? "arm64\n"_ba : "x86_64\n"_ba);
        }
        expectNothingMounted();
    }

    // The road that asks for administrator rights, taken by an unprivileged user. The old
    // bundle is root's, with a folder of root's in it, in shared/, a folder everyone may add
    // to (mode 1777, like /tmp): the user cannot replace it alone. system/ is root's.
    void privilegedRoad_data()
    {
        QTest::addColumn<QString>("dest");     // below the test's folder
        QTest::addColumn<QString>("env");      // for the root shim and the pkexec stand-in
        QTest::addColumn<QString>("error");    // empty: installed
        QTest::addColumn<QStringList>("left"); // in the folder after a failure
        const QString old = u"Quorvel.app"_s, staging = u".Quorvel.app.installing"_s;
        QTest::newRow("staging swapped for a link while root copies")
            << u"shared"_s
            << u"QUORVEL_TEST_SWAP_STAGING=@/shared/%1 QUORVEL_TEST_SWAP_TARGET=@/outside-root"_s
                   .arg(staging)
            << kCopyFailed << QStringList{staging, staging + u".moved"_s, old};
        QTest::newRow("killed before the swap") << u"shared"_s << u"QUORVEL_TEST_KILL_AT_RENAME=1"_s
                                                << kCopyFailed << QStringList{staging, old};
        QTest::newRow("prompt dismissed")
            << u"shared"_s << u"QUORVEL_TEST_PKEXEC_DISMISS=1"_s << kCancelled << QStringList{old};
        QTest::newRow("rename fails where the exchange is refused")
            << u"shared"_s << u"QUORVEL_TEST_NO_EXCHANGE=Quorvel.app"_s << kCopyFailed
            << QStringList{old};
        QTest::newRow("undeletable old file")
            << u"shared"_s << QString() << kCopyFailed << QStringList{old};
        // The user could move it aside, but not empty it: the plain copy must not start.
        QTest::newRow("old bundle of root's in the user's folder")
            << u"user/Apps"_s << QString() << QString() << QStringList();
        QTest::newRow("missing folder under a writable parent")
            << u"user/new/Apps"_s << QString() << QString() << QStringList();
        // Made by root, and the name passes through a shell word inside a script string.
        QTest::newRow("hostile name")
            << u"system/  a'b\"c\\\\d $(touch pwned)`touch pwned2`; touch pwned3; '\\''e \\\" "
               u"/Apps"_s
            << QString() << QString() << QStringList();
    }
    void privilegedRoad()
    {
        QFETCH(QString, dest);
        QFETCH(QString, env);
        QFETCH(QString, error);
        QFETCH(QStringList, left);
        const QByteArray tag = QTest::currentDataTag();
        const bool prompted = dest != u"user/new/Apps";
        m_user.root = m_dir->path();
        if (const QString why = m_user.prepare(); !why.isEmpty())
            QSKIP(qPrintable(why));
        makeBundleTree(false, m_user.uid, m_user.gid);
        QVERIFY(writeFile(m_user.image(), "not read: the volume is a folder") &&
                m_user.own(m_user.image()));
        const QString shared = path(u"shared"_s), outside = path(u"outside-root"_s);
        QVERIFY(writeFile(shared + u"/Quorvel.app/AppRun"_s, "old") &&
                writeFile(shared + u"/Quorvel.app/lib/locked"_s, "old") &&
                QDir().mkpath(path(u"system"_s)) && QDir().mkpath(outside));
        QCOMPARE(::chmod(QFile::encodeName(shared), 01777), 0);
        for (const QString &pair : env.replace(u'@', m_dir->path()).split(u' ', Qt::SkipEmptyParts))
            m_user.env.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
        if (tag.startsWith("undeletable")) {
            if (!setImmutable(shared + u"/Quorvel.app/lib/locked"_s, true))
                QSKIP("the file system here cannot make a file immutable");
            m_immutable << shared + u"/Quorvel.app/lib/locked"_s;
        } else if (dest == u"user/Apps") {
            QVERIFY(QDir().rename(shared, path(dest)) && m_user.own(path(dest)));
            QCOMPARE(::chmod(QFile::encodeName(path(dest)), 0755), 0);
        }

        const InstallRun r =
            m_user.install(path(dest), folderHdiutil(m_dir->path(), path(u"tree"_s)));
        QCOMPARE(entries(outside), QStringList()); // root wrote nothing outside the destination
        QCOMPARE(entries(m_user.user(u"cwd"_s)), QStringList()); // nothing else was run
        QCOMPARE(r.error.value_or(QString()), error);
        QCOMPARE(r.stages.contains(u"authorize"_s), prompted);
        QCOMPARE(m_user.prompts(), prompted ? 1 : 0);
        const QString app = path(dest) + u"/Quorvel.app"_s;
        if (error.isEmpty()) {
            QCOMPARE(r.app, app);
            QCOMPARE(entries(path(dest)), QStringList{u"Quorvel.app"_s});
            // Made, copied and cleared with the same rights: root's, or else the user's alone.
            expectIntactBundle(app, prompted ? 0 : m_user.uid);
            if (!prompted)
                QCOMPARE(statOf(m_user.user(u"new"_s)).st_uid, m_user.uid);
        } else {
            // The old bundle, whole, and nothing of this run beside it but what the row says.
            QCOMPARE(entries(path(dest)), left);
            QCOMPARE(entries(app), (QStringList{u"AppRun"_s, u"lib"_s}));
            QCOMPARE(readFile(app + u"/AppRun"_s) + readFile(app + u"/lib/locked"_s), "oldold"_ba);
        }
        // The private copy beside the image is gone.
        QCOMPARE(entries(m_user.user(u"private"_s)), QStringList{u"image.dmg"_s});
        expectNothingMounted();
    }
};

// With "--install IMAGE DESTDIR HDIUTIL" (from UserRun::install, as the user): one installation
// with the stand-ins, HDIUTIL in place of the hdiutil one, reported on stdout.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 5 && args[1] == u"--install") {
        SystemTools tools = standInTools();
        tools.hdiutil = args[4];
        QFile out;
        return out.open(stdout, QIODevice::WriteOnly) &&
                       UserRun::report(out, collectInstall(args[2], args[3], tools))
                   ? 0
                   : 1;
    }
    TstDmgInstallReal test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_dmg_install_real.moc"
