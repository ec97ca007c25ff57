#include "engine/dmg_installer.h"
#include "install_run.h"

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using Names = QStringList;

namespace {

const QString kMountFailed = u"Could not mount the disk image."_s;
const QString kNotFound = u"The application was not found in the disk image."_s;
const QString kCancelled = u"Installation was cancelled at the authorization prompt."_s;
const QString kCopyFailed = u"Could not copy the application to the install location."_s;

// An attach answer whose entities carry these mount points (null: no such key).
QByteArray attachPlist(const QStringList &mountPoints)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                     "<key>system-entities</key><array>";
    for (const QString &mp : mountPoints) {
        xml += "<dict><key>content-hint</key><string>x</string>";
        if (!mp.isNull())
            xml += "<key>mount-point</key><string>" + mp.toUtf8() + "</string>";
        xml += "</dict>";
    }
    return xml + "</array></dict></plist>\n";
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

    QString writeTool(const QString &name, const QByteArray &body)
    {
        const QString tool = path(u"tools/"_s + name);
        const QByteArray script = "#!/bin/sh\nprintf '%s\\n' \"" + name.toUtf8() + " $*\" >>'" +
                                  path(u"calls"_s).toUtf8() + "'\n" + body + "\n";
        if (!writeFile(tool, script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            qFatal("cannot write a fake tool");
        return tool;
    }

    // Detach waits until the completion has been delivered, so a detach that came first shows.
    SystemTools fakeTools(const QByteArray &attachBody, const QByteArray &detachBody = "exit 0",
                          const QByteArray &osascriptBody = "exit 0")
    {
        const QByteArray go = path(u"go"_s).toUtf8();
        const QByteArray hdiutil = "case \"$1\" in\nattach) " + attachBody +
                                   "\n;;\ndetach)\n  i=0; while [ ! -e '" + go +
                                   "' ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done\n"
                                   "  [ -e '" +
                                   go + "' ] || echo 'detach before completion' >>'" +
                                   path(u"calls"_s).toUtf8() + "'\n  " + detachBody + " ;;\nesac";
        return {writeTool(u"hdiutil"_s, hdiutil), writeTool(u"xattr"_s, "exit 0"),
                writeTool(u"osascript"_s, osascriptBody), path(u"tools/no-ditto"_s)};
    }

    QByteArray printsMountPoint() const
    {
        return "cat <<'EOF'\n" + attachPlist({m_volume}) + "EOF";
    }

    void run(InstallRun &r, const SystemTools &tools, const QString &destDir)
    {
        r.whenComplete = [this] { writeFile(path(u"go"_s), "go"); };
        runInstaller(r, path(u"image.dmg"_s), u"Quorvel.app"_s, destDir, tools);
    }

    void makeBundle(const QString &bundle, const QByteArray &marker)
    {
        QVERIFY(writeFile(bundle + u"/AppRun"_s, marker,
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
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
        QTest::addColumn<Names>("entries");
        QTest::addColumn<QString>("copied");
        QTest::newRow("named bundle beside others")
            << Names{u"Alpha.app"_s, u"Quorvel.app"_s, u"Zeta.app"_s} << u"Quorvel.app"_s;
        QTest::newRow("first other bundle keeps its name")
            << Names{u"Quorvel.APP"_s, u"Beta.app"_s, u"notes.txt"_s} << u"Beta.app"_s;
        QTest::newRow("capital extension is not a bundle") << Names{u"Quorvel.APP"_s} << QString();
    }
    void locatesBundle()
    {
        QFETCH(Names, entries);
        QFETCH(QString, copied);
        for (const QString &e : entries)
            makeBundle(m_volume + u'/' + e, e.toUtf8());
        const QString dest = path(u"Applications"_s);
        QVERIFY(QDir().mkpath(dest));

        InstallRun r;
        run(r, fakeTools(printsMountPoint()), dest);
        QCOMPARE(r.completions, 1);
        QVERIFY(!calls().contains(u"detach before completion"_s));
        QCOMPARE(calls().last(), u"hdiutil detach "_s + m_volume + u" -quiet"_s);
        QCOMPARE(r.log.last(), u"INST: detaching "_s + m_volume);
        if (copied.isEmpty()) {
            QCOMPARE(r.error, kNotFound);
            QCOMPARE(r.stages, QStringList{u"mount"_s});
            QVERIFY(QDir(dest).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
            return;
        }
        const QString installed = dest + u'/' + copied;
        QVERIFY(r.success);
        QCOMPARE(r.app, installed);
        QCOMPARE(r.error, std::nullopt);
        QCOMPARE(r.stages, (QStringList{u"mount"_s, u"copy"_s}));
        QCOMPARE(readFile(installed + u"/AppRun"_s), copied.toUtf8());
        QVERIFY(QFileInfo(installed + u"/AppRun"_s).isExecutable());
        QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{copied});
        QVERIFY(calls().contains(u"xattr -dr com.apple.quarantine "_s + installed));
        QCOMPARE(
            r.log,
            (QStringList{
                u"INST: mounting "_s + path(u"image.dmg"_s), u"INST: mounted at "_s + m_volume,
                u"INST: copying "_s + m_volume + u'/' + copied + u" -> "_s + installed,
                u"INST: install SUCCESS at "_s + installed, u"INST: detaching "_s + m_volume}));
    }

    void mountFailures_data()
    {
        QTest::addColumn<QByteArray>("attach");
        QTest::addColumn<QString>("expectedLine"); // null: the failure is not logged
        QTest::newRow("exit 0, no output")
            << QByteArray("exit 0") << u"INST: hdiutil attach failed, rc=0"_s;
        QTest::newRow("non-zero with a plist")
            << QByteArray("printf '%s' '" + attachPlist({u"/somewhere"_s}) + "'; exit 3")
            << u"INST: hdiutil attach failed, rc=3"_s;
        QTest::newRow("output not UTF-8")
            << QByteArray("printf '\\377\\376'") << u"INST: hdiutil attach failed, rc=0"_s;
        QTest::newRow("cannot be launched")
            << QByteArray() << u"INST: hdiutil attach failed, rc=-1"_s;
        QTest::newRow("unparsable") << QByteArray("echo '<plist><dict><key>'") << QString();
        QTest::newRow("no mount point")
            << QByteArray("cat <<'EOF'\n" + attachPlist({QString(), u""_s}) + "EOF") << QString();
    }
    void mountFailures()
    {
        QFETCH(QByteArray, attach);
        QFETCH(QString, expectedLine);
        SystemTools tools = fakeTools(attach);
        if (attach.isEmpty())
            tools.hdiutil = path(u"tools/missing-hdiutil"_s);

        InstallRun r;
        run(r, tools, path(u"Applications"_s));
        QCOMPARE(r.completions, 1);
        QVERIFY(!r.success);
        QCOMPARE(r.app, std::nullopt);
        QCOMPARE(r.error, kMountFailed);
        QCOMPARE(r.stages, QStringList{u"mount"_s});
        QVERIFY(calls().filter(u"detach"_s).isEmpty());
        QStringList expected{u"INST: mounting "_s + path(u"image.dmg"_s)};
        if (attach.isEmpty())
            QVERIFY(
                r.log.value(1).startsWith(u"INST: failed to launch "_s + tools.hdiutil + u": "_s));
        if (attach.isEmpty())
            expected << r.log.value(1);
        if (!expectedLine.isNull())
            expected << expectedLine;
        QCOMPARE(r.log, expected);
    }

    void laterEntityCarriesMountPoint()
    {
        makeBundle(m_volume + u"/Quorvel.app"_s, "new");
        const QByteArray answer = attachPlist({QString(), u""_s, m_volume, u"/not/this/one"_s});
        InstallRun r;
        run(r, fakeTools("cat <<'EOF'\n" + answer + "EOF"), path(u"Apps"_s) + u'/');
        QVERIFY(r.success);
        QCOMPARE(r.app, path(u"Apps/Quorvel.app"_s));
    }

    void forcedDetachFollowsFailure_data()
    {
        QTest::addColumn<QByteArray>("detach");
        QTest::addColumn<int>("attempts");
        QTest::newRow("first detach works") << QByteArray("exit 0") << 1;
        QTest::newRow("forced detach follows")
            << QByteArray("case \"$*\" in *-force*) exit 0;; esac; exit 16") << 2;
        QTest::newRow("no third attempt") << QByteArray("exit 1") << 2;
    }
    void forcedDetachFollowsFailure()
    {
        QFETCH(QByteArray, detach);
        QFETCH(int, attempts);
        InstallRun r; // an empty volume: the run goes straight to the detach
        run(r, fakeTools(printsMountPoint(), detach), path(u"Applications"_s));
        QCOMPARE(r.error, kNotFound);
        QStringList expected{u"hdiutil detach "_s + m_volume + u" -quiet"_s};
        if (attempts == 2)
            expected << u"hdiutil detach "_s + m_volume + u" -force -quiet"_s;
        QCOMPARE(calls().filter(u"detach"_s), expected);
    }

    void privilegedCopyOutcomes_data()
    {
        QTest::addColumn<QByteArray>("osascript"); // empty: cannot be launched
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("logged");
        QTest::newRow("cancelled, said on stdout")
            << QByteArray("echo 'User canceled.'; exit 1") << kCancelled
            << u"INST: privileged copy failed, rc=1 out=User canceled."_s;
        QTest::newRow("cancelled, said on stderr")
            << QByteArray("echo '0:80: execution error: User canceled. (-128)' >&2; exit 1")
            << kCancelled
            << u"INST: privileged copy failed, rc=1 out=0:80: execution error: User canceled. (-128)"_s;
        QTest::newRow("other failure")
            << QByteArray("echo 'partial'; echo 'ditto: disk full' >&2; exit 2") << kCopyFailed
            << u"INST: privileged copy failed, rc=2 out=partial | ditto: disk full"_s;
        QTest::newRow("cannot be launched")
            << QByteArray() << kCopyFailed << u"INST: privileged copy failed, rc=-1 out="_s;
    }
    void privilegedCopyOutcomes()
    {
        QFETCH(QByteArray, osascript);
        QFETCH(QString, error);
        QFETCH(QString, logged);
        makeBundle(m_volume + u"/Quorvel.app"_s, "new");
        SystemTools tools = fakeTools(printsMountPoint(), "exit 0", osascript);
        if (osascript.isEmpty())
            tools.osascript = path(u"tools/missing-osascript"_s);

        InstallRun r; // a folder that does not exist counts as not writable
        run(r, tools, path(u"no/such/folder"_s));
        QCOMPARE(r.completions, 1);
        QCOMPARE(r.error, error);
        QCOMPARE(r.stages, (QStringList{u"mount"_s, u"copy"_s, u"authorize"_s}));
        QVERIFY(r.log.filter(u"direct copy failed"_s).isEmpty());
        QVERIFY2(r.log.contains(logged), qPrintable(r.log.join(u'\n')));
        QCOMPARE(r.log.last(), u"INST: detaching "_s + m_volume);
    }

    void failedPlainCopyKeepsOldBundle()
    {
        // A fifo cannot be copied: the plain copy fails halfway through the bundle.
        makeBundle(m_volume + u"/Quorvel.app"_s, "new");
        QCOMPARE(
            ::mkfifo(QFile::encodeName(m_volume + u"/Quorvel.app/zz-fifo"_s).constData(), 0644), 0);
        const QString dest = path(u"Applications"_s);
        makeBundle(dest + u"/Quorvel.app"_s, "old");

        InstallRun r;
        run(r, fakeTools(printsMountPoint(), "exit 0", "exit 1"), dest);
        QCOMPARE(r.error, kCopyFailed);
        QCOMPARE(r.stages.last(), u"authorize"_s);
        QCOMPARE(r.log.filter(u"INST: direct copy failed ("_s).size(), 1);
        QVERIFY(
            r.log.filter(u"direct copy failed"_s)[0].endsWith(u"), retrying with privileges"_s));
        QCOMPARE(readFile(dest + u"/Quorvel.app/AppRun"_s), QByteArray("old"));
        QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{u"Quorvel.app"_s});
    }
};

QTEST_GUILESS_MAIN(TstDmgInstaller)
#include "tst_dmg_installer.moc"
