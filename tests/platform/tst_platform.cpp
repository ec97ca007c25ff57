#include "platform/paths.h"
#include "platform/run_folder.h"
#include "platform/single_instance.h"
#include "platform/termination_signals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
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
        QTest::addColumn<QStringList>("other");     // what another user or the user did first
        QTest::newRow("one runtime folder") << u"a"_s << u"a"_s << QStringList();
        QTest::newRow("no runtime folder") << QString() << QString() << QStringList();
        QTest::newRow("two runtime folders") << u"a"_s << u"b"_s << QStringList();
        QTest::newRow("another user asks for the window")
            << u"a"_s << u"a"_s << QStringList{u"asks"_s};
        // The first still runs alone, and the second steps aside; no window can be raised.
        QTest::newRow("name held by another user") << u"a"_s << u"a"_s << QStringList{u"holds"_s};
        // A lock that cannot be trusted: no start is sure to be alone, though the second still
        // finds the first by its name, when the name is this user's.
        QTest::newRow("lock folder of another user")
            << u"a"_s << u"a"_s << QStringList{u"owns folder"_s};
        QTest::newRow("lock folder others may write")
            << u"a"_s << u"a"_s << QStringList{u"folder 0777"_s};
        QTest::newRow("lock file others may hold")
            << u"a"_s << u"a"_s << QStringList{u"file 0644"_s};
        QTest::newRow("lock file is a link") << u"a"_s << u"a"_s << QStringList{u"link"_s};
        QTest::newRow("no lock to trust, name held by another user")
            << u"a"_s << u"a"_s << QStringList{u"folder 0777"_s, u"holds"_s};
    }
    void oneInstancePerUser()
    {
        QFETCH(QString, firstRuntime);
        QFETCH(QString, secondRuntime);
        QFETCH(QStringList, other);
        const bool held = other.contains(u"holds");
        const bool spoilt = other.size() > (held || other.contains(u"asks") ? 1 : 0);
        const Claim first = spoilt ? Claim::NotSure : Claim::Alone;
        const Claim second = spoilt && held ? Claim::NotSure : Claim::AnotherRuns;
        const int asked = held ? 0 : 1;
        QTemporaryDir home; // private, as a session's runtime folder is
        QVERIFY(home.isValid());
        const auto setRuntime = [&home](const QString &name) {
            if (name.isEmpty())
                qunsetenv("XDG_RUNTIME_DIR");
            else if (::mkdir(QFile::encodeName(home.filePath(name)).constData(), 0700) == 0 ||
                     errno == EEXIST)
                qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.filePath(name)));
        };
        const QString id = u"tst.platform.%1"_s.arg(QCoreApplication::applicationPid());
        const QByteArray name = id.toUtf8() + '-' + QByteArray::number(::getuid());
        // The state folder and the lock's are made private where missing.
        const QString state = home.filePath(u"state/deeper"_s), lockFolder = state + u'/' + id;
        qputenv("XDG_STATE_HOME", QFile::encodeName(state));
        pid_t holder = -1;
        if ((held || other.contains(u"asks") || other.contains(u"owns folder")) && ::geteuid() != 0)
            QSKIP("needs root, to act as another user");
        const QByteArray lockFile = QFile::encodeName(lockFolder + u"/instance.lock"_s);
        if (held)
            QVERIFY((holder = nobodyAt(name, true)) > 0);
        if (other.contains(u"owns folder")) {
            const passwd *pw = ::getpwnam("nobody");
            QVERIFY(pw && QDir().mkpath(lockFolder) &&
                    ::chown(QFile::encodeName(lockFolder).constData(), pw->pw_uid, pw->pw_gid) ==
                        0);
        } else if (other.contains(u"folder 0777")) {
            QVERIFY(QDir().mkpath(lockFolder) &&
                    ::chmod(QFile::encodeName(lockFolder).constData(), 0777) == 0);
        } else if (other.contains(u"file 0644")) {
            QVERIFY(QDir().mkpath(lockFolder));
            const int fd = ::open(lockFile.constData(), O_CREAT | O_WRONLY, 0644);
            QVERIFY(fd >= 0 && ::fchmod(fd, 0644) == 0 && ::close(fd) == 0);
        } else if (other.contains(u"link")) {
            QVERIFY(QDir().mkpath(lockFolder) &&
                    ::symlink(QFile::encodeName(home.filePath(u"elsewhere"_s)).constData(),
                              lockFile.constData()) == 0);
        }
        QProcess child; // started by the first: it must not keep the lock when the first ends
        const auto endHolders = qScopeGuard([holder, &child] {
            if (holder > 0 && ::kill(holder, SIGKILL) == 0)
                ::waitpid(holder, nullptr, 0);
            child.kill();
            child.waitForFinished();
        });

        // Twice over, while the first pair lives on released: a start after the first window
        // has gone is a new setup.
        std::vector<std::unique_ptr<SingleInstance>> released;
        for (int round = 0; round < 2; ++round) {
            setRuntime(firstRuntime);
            auto one = std::make_unique<SingleInstance>(id);
            QSignalSpy raised(one.get(), &SingleInstance::activationRequested);
            QCOMPARE(one->claim(), first);
            if (round == 0) {
                child.start(u"/bin/sleep"_s, {u"30"_s});
                QVERIFY(child.waitForStarted());
            }
            struct stat st = {};
            if (!spoilt) {
                for (const QString &made : {home.filePath(u"state"_s), lockFolder})
                    QVERIFY(::lstat(QFile::encodeName(made).constData(), &st) == 0 &&
                            (st.st_mode & 07777) == 0700);
                QVERIFY(::lstat(lockFile.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
                        (st.st_mode & 07777) == 0600);
            }
            if (other.contains(u"asks"))
                QVERIFY(nobodyAt(name, false) > 0);
            setRuntime(secondRuntime);
            auto two = std::make_unique<SingleInstance>(id);
            QCOMPARE(two->claim(), second);
            QTRY_COMPARE(raised.size(), asked);
            QTest::qWait(100);
            QCOMPARE(raised.size(), asked);
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
