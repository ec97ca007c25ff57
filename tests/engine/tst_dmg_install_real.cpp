#include "install_run.h"
#include "real_tools.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString kQuarantine = u"user.com.apple.quarantine"_s;
const QString kKept = u"user.org.example.kept"_s;

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

// Real images mounted by the hdiutil stand-in, copied for real, detached for real.
class TstDmgInstallReal : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_rootDir;
    QString m_root;
    std::unique_ptr<QTemporaryDir> m_dir;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    void expectNothingMounted()
    {
        QCOMPARE(mountsUnder(m_root), QStringList());
        QCOMPARE(QDir(m_root).entryList({u"quorvel-volume.*"_s}, QDir::AllEntries), QStringList());
    }

    // A bundle with what bundles have: an executable behind a link, attributes, times.
    void makeBundleTree(const QString &bundle)
    {
        QVERIFY(writeFile(bundle + u"/usr/bin/run"_s, "#!/bin/sh\nexit 0\n",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                              QFile::ReadGroup | QFile::ExeGroup));
        QCOMPARE(::chmod(QFile::encodeName(bundle + u"/usr/bin/run"_s).constData(), 04750), 0);
        QVERIFY(QFile::link(u"usr/bin/run"_s, bundle + u"/AppRun"_s));
        QVERIFY(writeFile(bundle + u"/data"_s, "payload"));
        QVERIFY(setAttr(bundle + u"/data"_s, kQuarantine));
        QVERIFY(setAttr(bundle + u"/data"_s, kKept));
        QVERIFY(setAttr(bundle + u"/usr/bin/run"_s, kQuarantine));
        const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(bundle + u"/data"_s).constData(), old, 0),
                 0);
    }

    void requireRoot()
    {
        if (::geteuid() != 0)
            QSKIP("the privileged copy runs without a prompt only as root");
    }

private slots:
    void initTestCase()
    {
        m_rootDir = testTempDir(u"real-XXXXXX"_s);
        QVERIFY(m_rootDir->isValid());
        m_root = m_rootDir->path();
        // Private mount points of the stand-in land here; shell commands run from cwd/.
        qputenv("TMPDIR", QFile::encodeName(m_root));
        QVERIFY(QDir().mkpath(m_root + u"/cwd"_s));
        QVERIFY(QDir::setCurrent(m_root + u"/cwd"_s));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>(m_root + u"/t-XXXXXX"_s);
        QVERIFY(m_dir->isValid());
    }

    void sampleImageReplacesOlderCopy_data()
    {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QByteArray>("arch");
        QTest::newRow("intel") << sampleImage("quorvel.dmg") << QByteArray("x86_64\n");
        QTest::newRow("silicon") << sampleImage("quorvel.silicon.dmg") << QByteArray("arm64\n");
    }
    void sampleImageReplacesOlderCopy()
    {
        QFETCH(QString, image);
        QFETCH(QByteArray, arch);
        const QString dest = path(u"Applications"_s);
        QVERIFY(writeFile(dest + u"/Quorvel.app/old-only"_s, "old"));

        InstallRun r;
        runInstaller(r, image, u"Quorvel.app"_s, dest, standInTools());
        QVERIFY2(r.success, qPrintable(r.error.value_or(QString())));
        const QString app = dest + u"/Quorvel.app"_s;
        QCOMPARE(r.app, app);
        QCOMPARE(r.stages, (QStringList{u"mount"_s, u"copy"_s}));
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
        QCOMPARE(entries(app), (QStringList{u".DirIcon"_s, u"AppRun"_s, u"quorvel.desktop"_s,
                                            u"quorvel.svg"_s, u"usr"_s}));
        QCOMPARE(QFileInfo(app + u"/AppRun"_s).symLinkTarget(), app + u"/usr/bin/quorvel"_s);
        QVERIFY(QFileInfo(app + u"/AppRun"_s).isSymLink());
        QVERIFY(QFileInfo(app + u"/usr/bin/quorvel"_s).isExecutable());
        QCOMPARE(readFile(app + u"/usr/share/quorvel/arch"_s), arch);
        QVERIFY(r.log.last().startsWith(u"INST: detaching "_s + m_root));
        expectNothingMounted();
    }

    void bundleSurvivesCopy_data()
    {
        QTest::addColumn<bool>("privileged");
        QTest::newRow("plain copy") << false;
        QTest::newRow("privileged copy") << true;
    }
    void bundleSurvivesCopy()
    {
        QFETCH(bool, privileged);
        if (privileged)
            requireRoot();
        makeBundleTree(path(u"tree/Quorvel.app"_s));
        QVERIFY(makeImage(path(u"tree"_s), path(u"image.dmg"_s)));
        // A folder that does not exist is not writable: the privileged path creates it.
        const QString dest = path(privileged ? u"new/Applications"_s : u"tree"_s + u"-dest"_s);
        if (!privileged)
            QVERIFY(QDir().mkpath(dest));

        InstallRun r;
        runInstaller(r, path(u"image.dmg"_s), u"Quorvel.app"_s, dest, standInTools());
        QVERIFY2(r.success, qPrintable(r.log.join(u'\n')));
        QCOMPARE(r.stages.contains(u"authorize"_s), privileged);
        const QString app = dest + u"/Quorvel.app"_s;
        QCOMPARE(QFile::symLinkTarget(app + u"/AppRun"_s), app + u"/usr/bin/run"_s);
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(app + u"/usr/bin/run"_s).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0750u); // set-id bits are not carried over
        QCOMPARE(QFileInfo(app + u"/data"_s).lastModified().toSecsSinceEpoch(), 1000000000);
        QVERIFY(!hasAttr(app + u"/data"_s, kQuarantine));
        QVERIFY(!hasAttr(app + u"/usr/bin/run"_s, kQuarantine));
        QVERIFY(hasAttr(app + u"/data"_s, kKept));
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
        expectNothingMounted();
    }

    void hostileFolderNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("apostrophe") << u"it's"_s;
        QTest::newRow("double quote") << u"say \"hi\""_s;
        QTest::newRow("backslash") << u"back\\slash\\"_s;
        QTest::newRow("spaces") << u"  two  spaces "_s;
        QTest::newRow("command substitution") << u"$(touch pwned)`touch pwned2`"_s;
        QTest::newRow("semicolon") << u"x; touch pwned3; y"_s;
        QTest::newRow("all at once") << u"a'b\"c\\\\d $(touch pwned4); '\\''e \\\""_s;
    }
    void hostileFolderNames()
    {
        requireRoot();
        QFETCH(QString, name);
        makeBundleTree(path(u"tree/Quorvel.app"_s));
        QVERIFY(makeImage(path(u"tree"_s), path(u"image.dmg"_s)));
        const QString dest = path(u"dest/"_s + name + u"/Apps"_s);

        InstallRun r;
        runInstaller(r, path(u"image.dmg"_s), u"Quorvel.app"_s, dest, standInTools());
        QVERIFY2(r.success, qPrintable(r.log.join(u'\n')));
        QCOMPARE(r.app, dest + u"/Quorvel.app"_s);
        QVERIFY(QFileInfo(dest + u"/Quorvel.app/usr/bin/run"_s).isExecutable());
        QCOMPARE(entries(path(u"dest"_s)), QStringList{name});
        QCOMPARE(entries(path(u"dest/"_s + name)), QStringList{u"Apps"_s});
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
        QCOMPARE(entries(QDir::currentPath()), QStringList());
        expectNothingMounted();
    }

    void failedCopyKeepsOlderBundle()
    {
        requireRoot();
        // Neither copy takes a fifo, so both fail part-way through the bundle.
        makeBundleTree(path(u"tree/Quorvel.app"_s));
        QCOMPARE(::mkfifo(QFile::encodeName(path(u"tree/Quorvel.app/zz-fifo"_s)).constData(), 0644),
                 0);
        QVERIFY(makeImage(path(u"tree"_s), path(u"image.dmg"_s)));
        const QString dest = path(u"Applications"_s);
        QVERIFY(writeFile(dest + u"/Quorvel.app/AppRun"_s, "old"));

        InstallRun r;
        runInstaller(r, path(u"image.dmg"_s), u"Quorvel.app"_s, dest, standInTools());
        QCOMPARE(r.error, u"Could not copy the application to the install location."_s);
        QCOMPARE(r.stages.last(), u"authorize"_s);
        QCOMPARE(r.log.filter(u"INST: direct copy failed ("_s).size(), 1);
        QCOMPARE(r.log.filter(u"INST: privileged copy failed, rc=1 out="_s).size(), 1);
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
        QCOMPARE(entries(dest + u"/Quorvel.app"_s), QStringList{u"AppRun"_s});
        QCOMPARE(readFile(dest + u"/Quorvel.app/AppRun"_s), QByteArray("old"));
        expectNothingMounted();
    }

    void badImages_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: an image without a bundle
        QTest::addColumn<QString>("error");
        const QString mountFailed = u"Could not mount the disk image."_s;
        QByteArray noise(8192, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        const QByteArray sample = readFile(sampleImage("quorvel.dmg"));
        QTest::newRow("random bytes") << noise << mountFailed;
        QTest::newRow("truncated") << sample.left(600) << mountFailed;
        QTest::newRow("no bundle")
            << QByteArray() << u"The application was not found in the disk image."_s;
    }
    void badImages()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        const QString image = path(u"image.dmg"_s);
        if (content.isEmpty()) {
            QVERIFY(writeFile(path(u"tree/Readme.txt"_s), "no app here"));
            QVERIFY(makeImage(path(u"tree"_s), image));
        } else {
            QVERIFY(writeFile(image, content));
        }
        const QString dest = path(u"Applications"_s);
        QVERIFY(QDir().mkpath(dest));

        InstallRun r;
        runInstaller(r, image, u"Quorvel.app"_s, dest, standInTools());
        QCOMPARE(r.completions, 1);
        QVERIFY(!r.success);
        QCOMPARE(r.error, error);
        QCOMPARE(entries(dest), QStringList());
        expectNothingMounted();
    }
};

QTEST_GUILESS_MAIN(TstDmgInstallReal)
#include "tst_dmg_install_real.moc"
