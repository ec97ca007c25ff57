#include "install_run.h"

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using Names = QStringList;

namespace {

const QString kMountFailed = u"Could not mount the disk image."_s;
const QString kNotFound = u"The application was not found in the disk image."_s;
const QString kCancelled = u"Installation was cancelled at the authorization prompt."_s;
const QString kCopyFailed = u"Could not copy the application to the install location."_s;

// A fake attach that prints entities carrying these mount points (null: no such key).
QByteArray attachPrints(const Names &mountPoints)
{
    QByteArray xml = "cat <<'EOF'\n<plist version=\"1.0\"><dict><key>system-entities</key><array>";
    for (const QString &mp : mountPoints)
        xml += mp.isNull() ? "<dict/>"_ba
                           : QByteArray("<dict><key>mount-point</key><string>" + mp.toUtf8() +
                                        "</string></dict>");
    return xml + "</array></dict></plist>\nEOF";
}

} // namespace

// The installer driven by fake tools: shell scripts that record their calls.
class TstDmgInstaller : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_volume; // what the fake attach "mounts"

    QString path(const QString &name) const { return m_dir->filePath(name); }
    QStringList calls() const
    {
        return QString::fromUtf8(readFile(path(u"calls"_s))).split(u'\n', Qt::SkipEmptyParts);
    }

    // Runs the installer on scripts that record their calls and run these bodies (empty: the
    // tool is not there). The detach waits until the completion has been delivered, so one that
    // came first shows in the calls. Reasons the system words are logged as "<reason>".
    InstallRun install(const QString &dest, const QByteArray &attach,
                       const QByteArray &detach = "exit 0", const QByteArray &osascript = "exit 0")
    {
        const QByteArray go = path(u"go"_s).toUtf8(), log = path(u"calls"_s).toUtf8();
        const auto tool = [&](const QString &name, const QByteArray &body) {
            const QString file = path(u"tools/"_s + name);
            const QByteArray script = "#!/bin/sh\nprintf '%s\\n' \"" + name.toUtf8() + " $*\" >>'" +
                                      log + "'\n" + body + "\n";
            if (!body.isEmpty() && !writeFile(file, script, true))
                qFatal("cannot write a fake tool");
            return file;
        };
        const QByteArray hdiutil =
            "case $1 in\nattach) " + attach + "\n;;\ndetach) i=0; until [ -e '" + go +
            "' ] || [ $i = 100 ]; do sleep 0.1; i=$((i+1)); done\n[ -e '" + go +
            "' ] || echo 'detach before completion' >>'" + log + "'\n" + detach + ";;\nesac";
        InstallRun r = runInstaller(path(u"image.dmg"_s), dest,
                                    {tool(u"hdiutil"_s, attach.isEmpty() ? attach : hdiutil),
                                     tool(u"xattr"_s, "exit 0"), tool(u"osascript"_s, osascript),
                                     path(u"tools/ditto"_s)},
                                    [this] { writeFile(path(u"go"_s), "go"); });
        r.log.replaceInStrings(
            QRegularExpression(u"^(INST: failed to launch [^:]+: |INST: direct copy failed \\()"
                               u".+?(\\), retrying with privileges)?$"_s),
            u"\\1<reason>\\2"_s);
        return r;
    }

    QStringList mountedLog() const
    {
        return {u"INST: mounting "_s + path(u"image.dmg"_s), u"INST: mounted at "_s + m_volume};
    }

private slots:
    void init()
    {
        m_dir = testTempDir(u"inst-XXXXXX"_s);
        QVERIFY(m_dir->isValid());
        m_volume = path(u"volume"_s);
        QVERIFY(QDir().mkpath(m_volume));
    }

    void locatesBundle_data()
    {
        QTest::addColumn<Names>("volume");
        QTest::addColumn<Names>("mountPoints"); // "@": the volume
        QTest::addColumn<QString>("copied");
        QTest::newRow("named bundle beside others")
            << Names{u"Alpha.app"_s, u"Quorvel.app"_s, u"Zeta.app"_s} << Names{u"@"_s}
            << u"Quorvel.app"_s;
        QTest::newRow("first other bundle keeps its name")
            << Names{u"Quorvel.APP"_s, u"Beta.app"_s, u"notes.txt"_s} << Names{u"@"_s}
            << u"Beta.app"_s;
        QTest::newRow("a later entity carries the mount point")
            << Names{u"Quorvel.app"_s} << Names{QString(), u""_s, u"@"_s, u"/not/this/one"_s}
            << u"Quorvel.app"_s;
    }
    void locatesBundle()
    {
        QFETCH(Names, volume);
        QFETCH(Names, mountPoints);
        QFETCH(QString, copied);
        for (const QString &e : volume)
            QVERIFY(writeFile(m_volume + u'/' + e + u"/AppRun"_s, e.toUtf8(), true));
        const QString dest = path(u"Applications/"_s), app = dest + copied; // no "//"
        QVERIFY(QDir().mkpath(dest));

        const InstallRun r =
            install(dest, attachPrints(mountPoints.replaceInStrings(u"@"_s, m_volume)));
        QCOMPARE(r.app, app);
        QCOMPARE(r.stages, (QStringList{u"mount"_s, u"copy"_s}));
        QCOMPARE(entries(dest), QStringList{copied});
        QCOMPARE(readFile(app + u"/AppRun"_s), copied.toUtf8());
        QCOMPARE(r.log, mountedLog()
                            << u"INST: copying "_s + m_volume + u'/' + copied + u" -> "_s + app
                            << u"INST: install SUCCESS at "_s + app
                            << u"INST: detaching "_s + m_volume);
        QCOMPARE(calls(), (QStringList{u"hdiutil attach "_s + path(u"image.dmg"_s) +
                                           u" -nobrowse -noverify -readonly -plist"_s,
                                       u"xattr -dr com.apple.quarantine "_s + app,
                                       u"hdiutil detach "_s + m_volume + u" -quiet"_s}));
    }

    void noBundleThenForcedDetach()
    {
        // Only a bundle with a capital extension, and a detach that always fails.
        QVERIFY(writeFile(m_volume + u"/Quorvel.APP/AppRun"_s, "x", true));
        const InstallRun r = install(path(u"Applications"_s), attachPrints({m_volume}), "exit 16");
        QCOMPARE(r.error, kNotFound);
        QCOMPARE(r.stages, QStringList{u"mount"_s});
        QCOMPARE(r.log, mountedLog() << u"INST: detaching "_s + m_volume);
        QCOMPARE(calls().filter(u"detach"_s),
                 (QStringList{u"hdiutil detach "_s + m_volume + u" -quiet"_s,
                              u"hdiutil detach "_s + m_volume + u" -force -quiet"_s}));
    }

    void mountFailures_data()
    {
        QTest::addColumn<QByteArray>("attach"); // empty: hdiutil cannot be launched
        QTest::addColumn<Names>("logged");      // after "mounting"
        const auto failed = [](int rc) { return u"INST: hdiutil attach failed, rc=%1"_s.arg(rc); };
        QTest::newRow("exit 0, no output") << "exit 0"_ba << Names{failed(0)};
        QTest::newRow("non-zero with a plist")
            << QByteArray(attachPrints({u"/somewhere"_s}) + "\nexit 3") << Names{failed(3)};
        QTest::newRow("output not UTF-8") << "printf '\\377\\376'"_ba << Names{failed(0)};
        QTest::newRow("cannot be launched")
            << QByteArray() << Names{u"INST: failed to launch @: <reason>"_s, failed(-1)};
        QTest::newRow("unparsable") << "echo '<plist><dict><key>'"_ba << Names();
        QTest::newRow("no mount point") << attachPrints({QString(), u""_s}) << Names();
    }
    void mountFailures()
    {
        QFETCH(QByteArray, attach);
        QFETCH(Names, logged);
        const InstallRun r = install(path(u"Applications"_s), attach);
        QCOMPARE(r.error, kMountFailed);
        QCOMPARE(r.stages, QStringList{u"mount"_s});
        QVERIFY(calls().filter(u"detach"_s).isEmpty());
        QCOMPARE(r.log, Names{u"INST: mounting "_s + path(u"image.dmg"_s)} +
                            logged.replaceInStrings(u"@"_s, path(u"tools/hdiutil"_s)));
    }

    void privilegedCopyOutcomes_data()
    {
        QTest::addColumn<QByteArray>("osascript"); // empty: cannot be launched
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("logged");
        QTest::newRow("cancelled, said on stdout")
            << "echo 'User canceled.'; exit 1"_ba << kCancelled << u"rc=1 out=User canceled."_s;
        QTest::newRow("cancelled, said on stderr")
            << "echo '0:80: execution error: User canceled. (-128)' >&2; exit 1"_ba << kCancelled
            << u"rc=1 out=0:80: execution error: User canceled. (-128)"_s;
        QTest::newRow("other failure") << "echo 'partial'; echo 'ditto: disk full' >&2; exit 2"_ba
                                       << kCopyFailed << u"rc=2 out=partial | ditto: disk full"_s;
        QTest::newRow("cannot be launched") << QByteArray() << kCopyFailed << u"rc=-1 out="_s;
    }
    void privilegedCopyOutcomes()
    {
        QFETCH(QByteArray, osascript);
        QFETCH(QString, error);
        QFETCH(QString, logged);
        // A fifo cannot be copied: the plain copy fails halfway through the bundle.
        QVERIFY(writeFile(m_volume + u"/Quorvel.app/AppRun"_s, "new", true));
        QCOMPARE(::mkfifo(QFile::encodeName(m_volume + u"/Quorvel.app/zz-fifo"_s), 0644), 0);
        const QString dest = path(u"Applications"_s);
        QVERIFY(writeFile(dest + u"/Quorvel.app/AppRun"_s, "old", true));

        const InstallRun r = install(dest, attachPrints({m_volume}), "exit 0", osascript);
        QCOMPARE(r.error, error);
        QCOMPARE(r.stages, (QStringList{u"mount"_s, u"copy"_s, u"authorize"_s}));
        QStringList log = mountedLog()
                          << u"INST: copying "_s + m_volume + u"/Quorvel.app -> "_s + dest +
                                 u"/Quorvel.app"_s
                          << u"INST: direct copy failed (<reason>), retrying with privileges"_s;
        if (osascript.isEmpty())
            log << u"INST: failed to launch "_s + path(u"tools/osascript"_s) + u": <reason>"_s;
        QCOMPARE(r.log, log << u"INST: privileged copy failed, "_s + logged
                            << u"INST: detaching "_s + m_volume);
        QCOMPARE(readFile(dest + u"/Quorvel.app/AppRun"_s), "old"_ba);
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
    }
};

QTEST_GUILESS_MAIN(TstDmgInstaller)
#include "tst_dmg_installer.moc"
