#include "engine/stale_images.h"
#include "install_run.h"
#include "real_tools.h"

#include <QStringDecoder>

#include <sys/stat.h>

namespace {

struct Ran
{
    int status = -1;
    QByteArray out, err;
};

// Runs the stand-in `tool`; status -1: it did not exit.
Ran run(const char *tool, const QStringList &args)
{
    QProcess p;
    p.start(standIn(tool), args);
    const bool exited = p.waitForFinished() && p.exitStatus() == QProcess::NormalExit;
    return {exited ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

} // namespace

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

    void cleanup()
    {
        // Whatever a failed test left mounted below its folder.
        for (const QString &mountPoint : mountsUnder(m_dir->path()))
            QProcess::execute(u"/bin/umount"_s, {u"-l"_s, mountPoint});
    }

    void unknownCommandLinesAreRefused_data()
    {
        // Arguments separated by "|"; "@": an image; "%NAME": a folder below the test's one that
        // has the image mounted without the stand-in.
        QTest::addColumn<QString>("commandLine");
        const QString script =
            u"osascript|-e|do shell script \"%1\" with administrator privileges"_s;
        // Detach takes down only what attach put up: a private mount point of its own.
        QTest::newRow("hdiutil detach, someone else's mount") << u"hdiutil|detach|%other|-quiet"_s;
        QTest::newRow("hdiutil detach, its own name in another folder")
            << u"hdiutil|detach|%sub/quorvel-volume.abcdef|-force|-quiet"_s;
        QTest::newRow("osascript, other script") << u"osascript|-e|display dialog \"hi\""_s;
        QTest::newRow("osascript, text after the clause") << script.arg(u"true"_s) + u"\nbeep"_s;
        QTest::newRow("osascript, unknown escape") << script.arg(u"\\q"_s);
        QTest::newRow("install-bundle, relative source") << u"install-bundle|tree|/a|Quorvel.app"_s;
        QTest::newRow("install-bundle, missing name") << u"install-bundle|/a|/b"_s;
    }
    void unknownCommandLinesAreRefused()
    {
        QFETCH(QString, commandLine);
        QStringList args = commandLine.replace(u'@', sampleImage("quorvel.dmg")).split(u'|');
        const QByteArray tool = args.takeFirst().toUtf8();
        QString foreign;
        for (QString &arg : args)
            if (arg.startsWith(u'%'))
                arg = foreign = m_dir->filePath(arg.mid(1));
        if (!foreign.isEmpty())
            QVERIFY(QDir().mkpath(foreign) &&
                    QProcess::execute(u"/usr/bin/squashfuse"_s,
                                      {u"-o"_s, u"ro"_s, sampleImage("quorvel.dmg"), foreign}) ==
                        0);
        const Ran r = run(tool.constData(), args);
        QVERIFY2(r.status > 0, r.err.constData());
        // Still mounted; cleanup() takes it down.
        if (!foreign.isEmpty())
            QCOMPARE(mountsUnder(foreign), QStringList{foreign});
    }

    // A mount point goes into the property list as text, and comes back as a path to detach;
    // under a folder it cannot print, hdiutil mounts elsewhere.
    void hdiutilAttachesAndDetaches_data()
    {
        QTest::addColumn<QByteArray>("tmpdir"); // below the test's folder
        QTest::newRow("plain") << "plain"_ba;
        QTest::newRow("blank") << "a b"_ba; // escaped in the mount table
        QTest::newRow("control character") << "a\001b"_ba;
        QTest::newRow("not UTF-8") << "\377\376"_ba;
    }
    void hdiutilAttachesAndDetaches()
    {
        QFETCH(QByteArray, tmpdir);
        const QByteArray odd = QFile::encodeName(m_dir->path()) + '/' + tmpdir;
        QCOMPARE(::mkdir(odd.constData(), 0700), 0);
        qputenv("TMPDIR", odd);
        // A killed run left one attached: info names its image, so that it can be detached.
        const QString stale = m_dir->filePath(u"left.dmg"_s);
        QVERIFY(QFile::copy(sampleImage("quorvel.dmg"), stale));
        QStringList mounts;
        for (const QString &image : {stale, sampleImage("quorvel.dmg")}) {
            const Ran attached = run("hdiutil", {u"attach"_s, image, u"-nobrowse"_s, u"-noverify"_s,
                                                 u"-readonly"_s, u"-plist"_s});
            QCOMPARE(attached.status, 0);
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString plist = utf8.decode(attached.out);
            QVERIFY(!utf8.hasError());
            const QString mp =
                QRegularExpression(u"<key>mount-point</key>\\s*<string>([^<]*)</string>"_s)
                    .match(plist)
                    .captured(1);
            for (const QChar c : mp)
                QVERIFY2(c.category() != QChar::Other_Control, qPrintable(mp));
            mounts << mountsUnder(mp);
        }
        QCOMPARE(mounts.size(), 2);
        StaleImages::detach(standInTools(), [&](const QString &image) { return image == stale; });
        QCOMPARE(mountsUnder(mounts[0]) + mountsUnder(mounts[1]), QStringList{mounts[1]});
        const QString mp = mounts[1];

        // A file held open keeps the plain detach from working; the forced one still does.
        QFile busy(mp + u"/Quorvel.app/quorvel.desktop"_s);
        QVERIFY(busy.open(QIODevice::ReadOnly));
        QVERIFY(run("hdiutil", {u"detach"_s, mp, u"-quiet"_s}).status != 0);
        QCOMPARE(run("hdiutil", {u"detach"_s, mp, u"-force"_s, u"-quiet"_s}).status, 0);
        busy.close();
        QCOMPARE(mountsUnder(mp), QStringList());
        QCOMPARE(::rmdir(odd.constData()), 0); // nothing else was left in it
    }
};

QTEST_GUILESS_MAIN(TstToolStandIns)
#include "tst_tool_standins.moc"
