#include "platform/paths.h"
#include "platform/run_folder.h"
#include "platform/single_instance.h"
#include "platform/termination_signals.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Claim = SingleInstance::Claim;

namespace {

// Runs `act` as the user nobody as far as sockets go: the kernel takes a socket's user from
// the effective ids when it listens or connects, and tells it to whoever is at the other end.
bool asNobody(const passwd *nobody, const std::function<bool()> &act)
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    const bool done = ::setegid(nobody->pw_gid) == 0 && ::seteuid(nobody->pw_uid) == 0 && act();
    return ::seteuid(uid) == 0 && ::setegid(gid) == 0 && done;
}

// The type and permission bits of `path` (a link not followed) when it is this user's, else 0.
uint ownMode(const QString &path)
{
    struct stat st = {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && st.st_uid == ::getuid()
               ? st.st_mode & (S_IFMT | 07777)
               : 0;
}

} // namespace

// The platform services the setup flow leans on, where they can be checked for real.
class TstPlatform : public QObject
{
    Q_OBJECT

private slots:
    // One setup per user, whatever the session's folders say and whatever other users do.
    void oneInstancePerUser_data()
    {
        QTest::addColumn<QString>("nobody"); // what the user "nobody" does first
        QTest::addColumn<QString>("lock");   // a command that spoils the lock, in its folder
        QTest::newRow("alone") << u""_s << u""_s;
        QTest::newRow("another user asks for the window") << u"asks"_s << u""_s;
        // The first still runs alone, and the second steps aside; no window can be raised.
        QTest::newRow("name held by another user") << u"holds"_s << u""_s;
        // A lock that cannot be trusted: no start is sure to be alone, though the second still
        // finds the first by its name, when the name is this user's.
        QTest::newRow("lock folder of another user") << u""_s << u"chown nobody ."_s;
        QTest::newRow("lock folder others may write") << u""_s << u"chmod 0777 ."_s;
        QTest::newRow("lock file others may hold")
            << u""_s << u"touch instance.lock && chmod 0644 instance.lock"_s;
        QTest::newRow("lock file is a link") << u""_s << u"ln -s ../elsewhere instance.lock"_s;
        QTest::newRow("no lock to trust, name held by another user")
            << u"holds"_s << u"chmod 0777 ."_s;
    }
    void oneInstancePerUser()
    {
        QFETCH(QString, nobody);
        QFETCH(QString, lock);
        const passwd *pw = ::getpwnam("nobody");
        if ((!nobody.isEmpty() || lock.contains(u"nobody")) && (::geteuid() != 0 || !pw))
            QSKIP("needs root and the user nobody, to act as another user");
        const bool held = nobody == "holds"_L1;
        QTemporaryDir home; // private, as a session's runtime folder is
        const QString id = u"tst.platform.%1"_s.arg(QCoreApplication::applicationPid());
        const QString name = id + u'-' + QString::number(::getuid());
        // The state folder and the lock's are made private where missing.
        const QString state = home.filePath(u"state/deeper"_s), lockFolder = state + u'/' + id;
        qputenv("XDG_STATE_HOME", QFile::encodeName(state));
        QVERIFY(home.isValid() && QDir(home.path()).mkdir(u"run"_s));
        QVERIFY(lock.isEmpty() ||
                (QDir().mkpath(lockFolder) &&
                 QProcess::execute(u"sh"_s, {u"-ec"_s, u"cd \"$0\"; "_s + lock, lockFolder}) == 0));
        QLocalServer squatter;
        squatter.setSocketOptions(QLocalServer::AbstractNamespaceOption);
        QVERIFY(!held || asNobody(pw, [&] { return squatter.listen(name); }));
        QProcess child; // started by the first: it must not keep the lock when the first ends
        const auto endChild = qScopeGuard([&child] {
            child.kill();
            child.waitForFinished();
        });

        // Twice over, while the first pair lives on released: a start after the first window
        // has gone is a new setup.
        std::vector<std::unique_ptr<SingleInstance>> released;
        for (int round = 0; round < 2; ++round) {
            // Only the second has a runtime folder: a lock or name found through it would
            // keep the two apart, as two sessions of the user would be.
            qunsetenv("XDG_RUNTIME_DIR");
            auto one = std::make_unique<SingleInstance>(id);
            QSignalSpy raised(one.get(), &SingleInstance::activationRequested);
            QCOMPARE(one->claim(), lock.isEmpty() ? Claim::Alone : Claim::NotSure);
            if (round == 0) {
                child.start(u"/bin/sleep"_s, {u"30"_s});
                QVERIFY(child.waitForStarted());
            }
            for (const QString &made : {home.filePath(u"state"_s), state, lockFolder})
                QVERIFY2(!lock.isEmpty() || ownMode(made) == (S_IFDIR | 0700u), qPrintable(made));
            QLocalSocket asker;
            asker.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
            if (nobody == "asks"_L1)
                QVERIFY(asNobody(pw, [&] {
                    asker.connectToServer(name);
                    return asker.write("activate\n") == 9 && asker.waitForBytesWritten();
                }));
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.filePath(u"run"_s)));
            auto two = std::make_unique<SingleInstance>(id);
            QCOMPARE(two->claim(), !lock.isEmpty() && held ? Claim::NotSure : Claim::AnotherRuns);
            QTRY_COMPARE(raised.size(), held ? 0 : 1);
            QTest::qWait(100);
            QCOMPARE(raised.size(), held ? 0 : 1);
            one->release();
            two->release();
            released.push_back(std::move(one));
            released.push_back(std::move(two));
        }
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
        QCOMPARE(ownMode(folder), S_IFDIR | 0700u);
        // Held as a live run's for as long as the process lives, and nothing left half made.
        for (const std::unique_ptr<RunFolder> &taken :
             RunFolder::takeAbandoned(Paths::privateFolderBases()))
            QVERIFY(taken->path() != folder);
        QCOMPARE(
            QDir(QDir::tempPath()).entryList({u".quorvel-setup-*"_s}, QDir::Dirs | QDir::Hidden),
            QStringList());
        QVERIFY(QFile(folder + u"/left"_s).open(QIODevice::WriteOnly));
        Paths::removePrivateTemporaryFolder();
        QVERIFY(!QDir(folder).exists());
    }

    // XDG base folders must be absolute: a relative one is ignored.
    void xdgFolders()
    {
        const QString home = QDir::homePath();
        qputenv("XDG_STATE_HOME", "state");
        qputenv("XDG_CACHE_HOME", "cache");
        QCOMPARE(Paths::logFolder(), home + u"/.local/state/Logs"_s);
        QCOMPARE(Paths::privateFolderBases().value(1), home + u"/.cache"_s);
        qputenv("XDG_STATE_HOME", QFile::encodeName(home + u"/s"_s));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(home + u"/c"_s));
        QCOMPARE(Paths::logFolder(), home + u"/s/Logs"_s);
        QCOMPARE(Paths::privateFolderBases(), QStringList({QDir::tempPath(), home + u"/c"_s}));
    }
};

QTEST_GUILESS_MAIN(TstPlatform)
#include "tst_platform.moc"
