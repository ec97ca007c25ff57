#include "install_run.h"
#include "real_tools.h"

#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// Real images mounted by the hdiutil stand-in, copied for real, detached for real.
class TstDmgInstallReal : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_rootDir, m_dir;
    QString m_root;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    void expectNothingMounted()
    {
        QCOMPARE(mountsUnder(m_root), QStringList());
        QCOMPARE(QDir(m_root).entryList({u"quorvel-volume.*"_s}, QDir::AllEntries), QStringList());
    }

    // image.dmg holding a bundle with what bundles have: an executable behind a link, extended
    // attributes (on the bundle too), old times, and a link out of the image. With a fifo,
    // neither copy can take it.
    void makeBundleImage(bool withFifo = false)
    {
        const QString app = path(u"tree/Quorvel.app"_s), run = app + u"/usr/bin/run"_s,
                      data = app + u"/data"_s, outside = path(u"outside"_s);
        QVERIFY(writeFile(run, "#!/bin/sh\n") && writeFile(data, "1") && writeFile(outside, "o"));
        QCOMPARE(::chmod(QFile::encodeName(run), 04750), 0);
        QVERIFY(QFile::link(u"usr/bin/run"_s, app + u"/AppRun"_s) &&
                QFile::link(outside, app + u"/outside"_s));
        for (const QString &p : {app, run, data})
            QVERIFY(setAttr(p, "user.com.apple.quarantine"));
        QVERIFY(setAttr(data, "user.org.example.kept"));
        const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(data), old, 0), 0);
        if (withFifo)
            QCOMPARE(::mkfifo(QFile::encodeName(app + u"/zz-fifo"_s), 0644), 0);
        QVERIFY(makeImage(path(u"tree"_s), path(u"image.dmg"_s)));
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
        // A folder that does not exist is not writable: the privileged copy creates it.
        QTest::newRow("apostrophe") << u"it's"_s;
        QTest::newRow("double quote") << u"say \"hi\""_s;
        QTest::newRow("backslash") << u"back\\slash\\"_s;
        QTest::newRow("spaces") << u"  two  spaces "_s;
        QTest::newRow("command substitution") << u"$(touch pwned)`touch pwned2`"_s;
        QTest::newRow("semicolon") << u"x; touch pwned3; y"_s;
        QTest::newRow("all at once") << u"a'b\"c\\\\d $(touch pwned4); '\\''e \\\""_s;
    }
    void bundleLandsIntact()
    {
        QFETCH(QString, folder);
        const bool privileged = !folder.isEmpty();
        if (privileged && ::geteuid() != 0)
            QSKIP("the privileged copy runs without a prompt only as root");
        makeBundleImage();
        const QString dest = path(u"dest/"_s + (privileged ? folder : u"plain"_s) + u"/Apps"_s);
        QVERIFY(privileged || QDir().mkpath(dest));

        const InstallRun r = runInstaller(path(u"image.dmg"_s), dest, standInTools());
        QVERIFY2(r.success, qPrintable(r.log.join(u'\n')));
        const QString app = dest + u"/Quorvel.app"_s;
        QCOMPARE(r.app, app);
        QCOMPARE(r.stages.contains(u"authorize"_s), privileged);
        QCOMPARE(entries(path(u"dest"_s)), QStringList{privileged ? folder : u"plain"_s});
        QCOMPARE(entries(QFileInfo(dest).path()), QStringList{u"Apps"_s});
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
        QCOMPARE(entries(QDir::currentPath()), QStringList()); // nothing else was run
        QCOMPARE(QFile::symLinkTarget(app + u"/AppRun"_s), app + u"/usr/bin/run"_s);
        QCOMPARE(QFile::symLinkTarget(app + u"/outside"_s), path(u"outside"_s));
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(app + u"/usr/bin/run"_s), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0750u); // set-id bits are not carried over
        QCOMPARE(QFileInfo(app + u"/data"_s).lastModified().toSecsSinceEpoch(), 1000000000);
        for (const QString &p : QStringList{app, app + u"/data"_s, app + u"/usr/bin/run"_s})
            QVERIFY2(!hasAttr(p, "user.com.apple.quarantine"), qPrintable(p));
        QVERIFY(hasAttr(app + u"/data"_s, "user.org.example.kept"));
        expectNothingMounted();
    }

    void failedInstallKeepsOlderBundle_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("copiesTried");
        QTest::newRow("random bytes") << u"Could not mount the disk image."_s << 0;
        QTest::newRow("truncated") << u"Could not mount the disk image."_s << 0;
        QTest::newRow("no bundle") << u"The application was not found in the disk image."_s << 0;
        QTest::newRow("neither copy takes a fifo")
            << u"Could not copy the application to the install location."_s << 2;
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
        } else if (::geteuid() != 0) {
            QSKIP("the privileged copy runs without a prompt only as root");
        } else {
            makeBundleImage(true);
        }

        const InstallRun r = runInstaller(image, dest, standInTools());
        QCOMPARE(r.error, error);
        const QRegularExpression copyFailed(
            u"^INST: (direct copy failed|privileged copy failed, rc=1 )"_s);
        QCOMPARE(r.log.filter(copyFailed).size(), copiesTried);
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
        QCOMPARE(entries(dest + u"/Quorvel.app"_s), QStringList{u"AppRun"_s});
        QCOMPARE(readFile(dest + u"/Quorvel.app/AppRun"_s), "old"_ba);
        expectNothingMounted();
    }
};

QTEST_GUILESS_MAIN(TstDmgInstallReal)
#include "tst_dmg_install_real.moc"
