#include "install_run.h"
#include "real_tools.h"

using namespace Qt::StringLiterals;

// The stand-ins run on their own, as the installer runs them.
class TstToolStandIns : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

private slots:
    void init()
    {
        m_dir = testTempDir(u"tools-XXXXXX"_s);
        QVERIFY(m_dir->isValid());
        qputenv("TMPDIR", QFile::encodeName(m_dir->path()));
    }

    void unknownCommandLinesAreRefused_data()
    {
        QTest::addColumn<QString>("commandLine"); // arguments separated by "|"; "@": an image
        const QString script =
            u"osascript|-e|do shell script \"%1\" with administrator privileges"_s;
        QTest::newRow("hdiutil eject") << u"hdiutil|eject|@"_s;
        QTest::newRow("hdiutil attach, unknown option") << u"hdiutil|attach|@|-mountpoint|/mnt"_s;
        QTest::newRow("hdiutil attach, missing image") << u"hdiutil|attach|/no/such.dmg|-plist"_s;
        QTest::newRow("hdiutil detach, nothing mounted") << u"hdiutil|detach|/tmp|-quiet"_s;
        QTest::newRow("xattr -l") << u"xattr|-l|/tmp"_s;
        QTest::newRow("osascript, other script") << u"osascript|-e|display dialog \"hi\""_s;
        QTest::newRow("osascript, text after the clause") << script.arg(u"true"_s) + u"\nbeep"_s;
        QTest::newRow("osascript, unknown escape") << script.arg(u"\\q"_s);
        QTest::newRow("ditto, option") << u"ditto|-V|/a|/b"_s;
    }
    void unknownCommandLinesAreRefused()
    {
        QFETCH(QString, commandLine);
        QStringList args = commandLine.replace(u'@', sampleImage("quorvel.dmg")).split(u'|');
        const QByteArray tool = args.takeFirst().toUtf8();
        QProcess p;
        p.start(standIn(tool.constData()), args);
        QVERIFY(p.waitForFinished() && p.exitStatus() == QProcess::NormalExit);
        QVERIFY(p.exitCode() > 0);
        QCOMPARE(p.readAllStandardOutput(), QByteArray());
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.startsWith(QByteArray(tool + ": ")), err.constData());
    }

    void xattrLeavesLinkTargetsAlone()
    {
        const QString tree = m_dir->filePath(u"tree"_s), outside = m_dir->filePath(u"outside"_s);
        QVERIFY(writeFile(outside, "o") && setAttr(outside, "user.com.apple.quarantine"));
        QVERIFY(QDir().mkpath(tree) && QFile::link(outside, tree + u"/link"_s));
        QCOMPARE(QProcess::execute(standIn("xattr"), {u"-dr"_s, u"com.apple.quarantine"_s, tree}),
                 0);
        QVERIFY(hasAttr(outside, "user.com.apple.quarantine"));
    }

    void hdiutilMountsReadOnlyAndDetaches()
    {
        const auto hdiutil = [](const QStringList &args) {
            QProcess p;
            p.start(standIn("hdiutil"), args);
            return p.waitForFinished() && p.exitStatus() == QProcess::NormalExit ? p.exitCode()
                                                                                 : -1;
        };
        QCOMPARE(hdiutil({u"attach"_s, sampleImage("quorvel.dmg"), u"-nobrowse"_s, u"-noverify"_s,
                          u"-readonly"_s, u"-plist"_s}),
                 0);
        const QStringList mounts = mountsUnder(m_dir->path());
        QCOMPARE(mounts.size(), 1);
        const QString mountPoint = mounts[0];
        QVERIFY(!QFile(mountPoint + u"/Quorvel.app/new"_s).open(QIODevice::WriteOnly));

        // A file held open keeps the plain detach from working; the forced one still does.
        QFile busy(mountPoint + u"/Quorvel.app/quorvel.desktop"_s);
        QVERIFY(busy.open(QIODevice::ReadOnly));
        QVERIFY(hdiutil({u"detach"_s, mountPoint, u"-quiet"_s}) != 0);
        QCOMPARE(mountsUnder(m_dir->path()), mounts);
        QCOMPARE(hdiutil({u"detach"_s, mountPoint, u"-force"_s, u"-quiet"_s}), 0);
        busy.close();
        QCOMPARE(mountsUnder(m_dir->path()), QStringList());
        QVERIFY(!QFileInfo::exists(mountPoint));
    }
};

QTEST_GUILESS_MAIN(TstToolStandIns)
#include "tst_tool_standins.moc"
