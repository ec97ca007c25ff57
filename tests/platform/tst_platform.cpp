#include "platform/paths.h"
#include "platform/single_instance.h"
#include "platform/termination_signals.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The platform services the setup flow leans on, where they can be checked for real.
class TstPlatform : public QObject
{
    Q_OBJECT

private slots:
    void oneInstanceAtATime()
    {
        QTemporaryDir runtime; // private, as a session's runtime folder is
        QVERIFY(runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        SingleInstance first(u"tst.platform"_s), second(u"tst.platform"_s);
        QSignalSpy raised(&first, &SingleInstance::activationRequested);
        QVERIFY(first.claim() && !second.claim());
        QTRY_COMPARE(raised.size(), 1);
        // What a run that was killed left behind does not keep the next one from starting.
        QVERIFY(
            QFile(runtime.filePath(u"tst.stale-%1"_s.arg(::getuid()))).open(QIODevice::WriteOnly));
        SingleInstance next(u"tst.stale"_s), later(u"tst.stale"_s);
        QVERIFY(next.claim() && !later.claim());
    }

    void privateChannelWithoutRuntimeFolder()
    {
        // Without a runtime folder the name lives in a folder of the user's own; where someone
        // else made that folder, the setup runs rather than trust it.
        qunsetenv("XDG_RUNTIME_DIR");
        const QString own = QDir::tempPath() + u"/quorvel-instance-%1"_s.arg(::getuid());
        QDir(own).removeRecursively(); // left by an earlier run of this test
        SingleInstance first(u"tst.private"_s), second(u"tst.private"_s);
        QVERIFY(first.claim() && !second.claim());
        first.release();
        QVERIFY(QFile::setPermissions(own, QFile::Permissions(0x7777)));
        SingleInstance third(u"tst.private"_s), fourth(u"tst.private"_s);
        QVERIFY(third.claim() && fourth.claim());
    }

    void signalsAskInsteadOfKilling()
    {
        TerminationSignals termination;
        QSignalSpy requested(&termination, &TerminationSignals::requested);
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            QCOMPARE(::raise(signal), 0);
        QTRY_VERIFY(!requested.isEmpty());
    }

    void privateTemporaryFolder()
    {
        const QString folder = Paths::privateTemporaryFolder();
        QCOMPARE(Paths::privateTemporaryFolder(), folder);
        QVERIFY(folder.startsWith(QDir::tempPath() + u"/quorvel-setup-"_s));
        struct stat st = {};
        QVERIFY(::lstat(QFile::encodeName(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
                (st.st_mode & 07777) == 0700 && st.st_uid == ::getuid());
        QVERIFY(QFile(folder + u"/left"_s).open(QIODevice::WriteOnly));
        Paths::removePrivateTemporaryFolder();
        QVERIFY(!QFileInfo::exists(folder));

        // What killed runs left is swept; a link with such a name is not followed.
        const QString left = QDir::tempPath() + u"/quorvel-setup-left"_s;
        const QString elsewhere = qEnvironmentVariable("QUORVEL_TEST_TMP") + u"/elsewhere"_s;
        QVERIFY(QDir().mkpath(left + u"/sub"_s) && QDir().mkpath(elsewhere + u"/kept"_s));
        const QString link = QDir::tempPath() + u"/quorvel-setup-link"_s;
        QFile::remove(link);
        QVERIFY(QFile::link(elsewhere, link));
        Paths::removeStaleTemporaryFolders();
        QVERIFY(!QFileInfo::exists(left) && QFileInfo(elsewhere + u"/kept"_s).isDir());
        // Images of such folders are stale; those of this run's own are not.
        const QString own = Paths::privateTemporaryFolder(), tmp = QDir::tempPath();
        for (const auto &[path, stale] : {std::pair<QString, bool>{left + u"/x.dmg"_s, true},
                                          {own + u"/x.dmg"_s, false},
                                          {left, false},
                                          {left + u"/../x.dmg"_s, false},
                                          {tmp + u"/quorvel-setupX/x.dmg"_s, false},
                                          {tmp + u"/other/quorvel-setup-a/x.dmg"_s, false}})
            QVERIFY2(Paths::isStaleTemporaryPath(path) == stale, qPrintable(path));
    }
};

QTEST_GUILESS_MAIN(TstPlatform)
#include "tst_platform.moc"
