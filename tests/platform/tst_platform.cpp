#include "platform/paths.h"
#include "platform/run_folder.h"
#include "platform/single_instance.h"
#include "platform/termination_signals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Claim = SingleInstance::Claim;

namespace {

// A process of the user "nobody" that holds the abstract socket `name` (`listen`), or that
// connects to it and asks for the window; the first ends when killed, the second at once.
// Its pid once it has done so, or -1.
pid_t nobodyAt(const QByteArray &name, bool listen)
{
    const passwd *pw = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
    int ready[2];
    if (!pw || ::pipe(ready) != 0)
        return -1;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.constData(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const auto *to = reinterpret_cast<const sockaddr *>(&address);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const bool done =
            ::setgid(pw->pw_gid) == 0 && ::setuid(pw->pw_uid) == 0 &&
            (listen ? ::bind(fd, to, length) == 0 && ::listen(fd, 1) == 0
                    : ::connect(fd, to, length) == 0 && ::write(fd, "activate\n", 9) == 9);
        if (!done || ::write(ready[1], "x", 1) != 1 || !listen)
            ::_exit(0);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ::close(ready[1]);
    const bool done = pid > 0 && ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    if (pid > 0 && (!listen || !done)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return done ? pid : -1;
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
        QTest::addColumn<QString>("firstRuntime");  // XDG_RUNTIME_DIR, below a private folder
        QTest::addColumn<QString>("secondRuntime"); // empty: none
        QTest::addColumn<QString>("other");         // what another user did first
        QTest::newRow("one runtime folder") << u"a"_s << u"a"_s << QString();
        QTest::newRow("no runtime folder") << QString() << QString() << QString();
        QTest::newRow("two runtime folders") << u"a"_s << u"b"_s << QString();
        QTest::newRow("instance folder made by another user")
            << QString() << QString() << u"folder"_s;
        QTest::newRow("another user asks for the window") << u"a"_s << u"a"_s << u"asks"_s;
        // Then no start can be sure it is alone: each runs, but sweeps nothing.
        QTest::newRow("name held by another user") << u"a"_s << u"a"_s << u"holds"_s;
    }
    void oneInstancePerUser()
    {
        QFETCH(QString, firstRuntime);
        QFETCH(QString, secondRuntime);
        QFETCH(QString, other);
        const bool held = other == u"holds";
        const Claim first = held ? Claim::NotSure : Claim::Alone;
        const Claim second = held ? Claim::NotSure : Claim::AnotherRuns;
        QTemporaryDir runtime; // private, as a session's runtime folder is
        QVERIFY(runtime.isValid());
        const auto setRuntime = [&runtime](const QString &name) {
            if (name.isEmpty())
                qunsetenv("XDG_RUNTIME_DIR");
            else if (::mkdir(QFile::encodeName(runtime.filePath(name)).constData(), 0700) == 0 ||
                     errno == EEXIST)
                qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.filePath(name)));
        };
        const QString id = u"tst.platform.%1"_s.arg(QCoreApplication::applicationPid());
        const QByteArray name = id.toUtf8() + '-' + QByteArray::number(::getuid());
        pid_t holder = -1;
        if (!other.isEmpty() && ::geteuid() != 0)
            QSKIP("needs root, to act as another user");
        // Where a guard without a runtime folder once kept its name.
        const QString shared = QDir::tempPath() + u"/quorvel-instance-%1"_s.arg(::getuid());
        QDir(shared).removeRecursively();
        if (other == u"folder") {
            const passwd *pw = ::getpwnam("nobody");
            QVERIFY(pw && QDir().mkpath(shared) &&
                    ::chown(QFile::encodeName(shared).constData(), pw->pw_uid, pw->pw_gid) == 0 &&
                    ::chmod(QFile::encodeName(shared).constData(), 0777) == 0);
        } else if (other == u"holds") {
            QVERIFY((holder = nobodyAt(name, true)) > 0);
        }
        const auto endHolder = qScopeGuard([holder] {
            if (holder > 0 && ::kill(holder, SIGKILL) == 0)
                ::waitpid(holder, nullptr, 0);
        });

        setRuntime(firstRuntime);
        SingleInstance one(id);
        QSignalSpy raised(&one, &SingleInstance::activationRequested);
        QCOMPARE(one.claim(), first);
        if (other == u"asks")
            QVERIFY(nobodyAt(name, false) > 0);
        setRuntime(secondRuntime);
        SingleInstance two(id);
        QCOMPARE(two.claim(), second);
        const int asked = second == Claim::AnotherRuns ? 1 : 0;
        QTRY_COMPARE(raised.size(), asked);
        QTest::qWait(100);
        QCOMPARE(raised.size(), asked);
        // Once the first gives the name up, the next start is a new setup.
        one.release();
        two.release();
        QCOMPARE(SingleInstance(id).claim(), holder > 0 ? Claim::NotSure : Claim::Alone);
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
        QVERIFY(::lstat(QFile::encodeName(folder), &st) == 0 && S_ISDIR(st.st_mode) &&
                (st.st_mode & 07777) == 0700 && st.st_uid == ::getuid());
        // Held as a live run's for as long as the process lives, and nothing left half made.
        for (const std::unique_ptr<RunFolder> &taken :
             RunFolder::takeAbandoned(Paths::privateFolderBases()))
            QVERIFY(taken->path() != folder);
        QCOMPARE(
            QDir(QDir::tempPath()).entryList({u".quorvel-setup-*"_s}, QDir::Dirs | QDir::Hidden),
            QStringList());
        QVERIFY(QFile(folder + u"/left"_s).open(QIODevice::WriteOnly));
        Paths::removePrivateTemporaryFolder();
        QVERIFY(!QFileInfo::exists(folder));
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
