#include "install_run.h"
#include "real_tools.h"

#include <QProcess>

using namespace Qt::StringLiterals;

namespace {

struct Result
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Result run(const QString &tool, const QStringList &args)
{
    QProcess p;
    p.start(tool, args);
    p.waitForFinished(-1);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

QString tool(const char *name)
{
    return QStringLiteral(QUORVEL_LIBEXEC_DIR "/") + QString::fromUtf8(name);
}

} // namespace

// The stand-ins run on their own, as the installer runs them.
class TstToolStandIns : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }

private slots:
    void init()
    {
        m_dir = testTempDir(u"tools-XXXXXX"_s);
        QVERIFY(m_dir->isValid());
        qputenv("TMPDIR", QFile::encodeName(m_dir->path()));
    }

    void unknownCommandLinesAreRefused_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("args");
        const QString image = sampleImage("quorvel.dmg");
        QTest::newRow("hdiutil eject") << tool("hdiutil") << QStringList{u"eject"_s, image};
        QTest::newRow("hdiutil attach, unknown option")
            << tool("hdiutil") << QStringList{u"attach"_s, image, u"-mountpoint"_s, u"/mnt"_s};
        QTest::newRow("hdiutil attach, missing image")
            << tool("hdiutil") << QStringList{u"attach"_s, u"/no/such.dmg"_s, u"-plist"_s};
        QTest::newRow("hdiutil detach, nothing mounted")
            << tool("hdiutil") << QStringList{u"detach"_s, u"/tmp"_s, u"-quiet"_s};
        QTest::newRow("xattr -l") << tool("xattr") << QStringList{u"-l"_s, u"/tmp"_s};
        QTest::newRow("xattr, missing path")
            << tool("xattr") << QStringList{u"-dr"_s, u"name"_s, u"/no/such/path"_s};
        QTest::newRow("osascript, other script")
            << tool("osascript") << QStringList{u"-e"_s, u"display dialog \"hi\""_s};
        QTest::newRow("osascript, text after the clause")
            << tool("osascript")
            << QStringList{u"-e"_s,
                           u"do shell script \"true\" with administrator privileges\nbeep"_s};
        QTest::newRow("osascript, unknown escape")
            << tool("osascript")
            << QStringList{u"-e"_s, u"do shell script \"\\q\" with administrator privileges"_s};
        QTest::newRow("ditto, option") << tool("ditto") << QStringList{u"-V"_s, u"/a"_s, u"/b"_s};
    }
    void unknownCommandLinesAreRefused()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, args);
        const Result r = run(tool, args);
        QVERIFY(r.status > 0);
        QCOMPARE(r.out, QByteArray());
        QVERIFY(r.err.startsWith(QByteArray(QFileInfo(tool).fileName().toUtf8() + ": ")));
    }

    void xattrRemovesOneAttributeWithinTheTree()
    {
        const QString tree = path(u"tree"_s);
        const QString outside = path(u"outside"_s);
        QVERIFY(writeFile(tree + u"/a"_s, "a"));
        QVERIFY(writeFile(tree + u"/sub/b"_s, "b"));
        QVERIFY(writeFile(outside, "o"));
        QVERIFY(QFile::link(outside, tree + u"/link"_s));
        for (const QString &p : QStringList{tree, tree + u"/a"_s, tree + u"/sub/b"_s, outside})
            QVERIFY(setAttr(p, u"user.com.apple.quarantine"_s));
        QVERIFY(setAttr(tree + u"/a"_s, u"user.other"_s));
        QCOMPARE(run(tool("xattr"), {u"-dr"_s, u"com.apple.quarantine"_s, tree}).status, 0);
        for (const QString &p : QStringList{tree, tree + u"/a"_s, tree + u"/sub/b"_s})
            QVERIFY2(!hasAttr(p, u"user.com.apple.quarantine"_s), qPrintable(p));
        QVERIFY(hasAttr(tree + u"/a"_s, u"user.other"_s));
        QVERIFY(hasAttr(outside, u"user.com.apple.quarantine"_s)); // the link was not followed
        QCOMPARE(run(tool("xattr"), {u"-dr"_s, u"com.apple.quarantine"_s, tree}).status, 0);
    }

    void hdiutilMountsReadOnlyAndDetaches()
    {
        const Result attached =
            run(tool("hdiutil"), {u"attach"_s, sampleImage("quorvel.dmg"), u"-nobrowse"_s,
                                  u"-noverify"_s, u"-readonly"_s, u"-plist"_s});
        QVERIFY2(attached.status == 0, attached.err.constData());
        const QStringList mounts = mountsUnder(m_dir->path());
        QCOMPARE(mounts.size(), 1);
        const QString mountPoint = mounts[0];
        QVERIFY(attached.out.contains(QByteArray("<string>" + QFile::encodeName(mountPoint))));
        QVERIFY(QFileInfo(mountPoint + u"/Quorvel.app/AppRun"_s).isSymLink());
        QVERIFY(!QFile(mountPoint + u"/Quorvel.app/new"_s).open(QIODevice::WriteOnly));

        // A file held open keeps the plain detach from working; the forced one still does.
        QFile busy(mountPoint + u"/Quorvel.app/quorvel.desktop"_s);
        QVERIFY(busy.open(QIODevice::ReadOnly));
        QVERIFY(run(tool("hdiutil"), {u"detach"_s, mountPoint, u"-quiet"_s}).status != 0);
        QCOMPARE(mountsUnder(m_dir->path()), QStringList{mountPoint});
        QCOMPARE(run(tool("hdiutil"), {u"detach"_s, mountPoint, u"-force"_s, u"-quiet"_s}).status,
                 0);
        busy.close();
        QCOMPARE(mountsUnder(m_dir->path()), QStringList());
        QVERIFY(!QFileInfo::exists(mountPoint));
    }
};

QTEST_GUILESS_MAIN(TstToolStandIns)
#include "tst_tool_standins.moc"
