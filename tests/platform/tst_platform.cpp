#include "platform/desktop_entry.h"
#include "platform/paths.h"
#include "platform/run_folder.h"
#include "platform/single_instance.h"
#include "platform/termination_signals.h"
#include "test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

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

// An installed AppDir at `app`: AppRun, its own entry (with an action, whose Exec names the
// bundle's own files) and icon.
bool makeBundle(const QString &app)
{
    return writeFile(app + u"/usr/bin/quorvel"_s, "#!/bin/sh\n", true) &&
           QFile::link(u"usr/bin/quorvel"_s, app + u"/AppRun"_s) &&
           writeFile(app + u"/quorvel.svg"_s, "<svg xmlns='http://www.w3.org/2000/svg'/>") &&
           writeFile(app + u"/quorvel.desktop"_s,
                     "[Desktop Entry]\r\nType=Application\r\n"
                     "Name=Quorvel\nName[de]=Quorvel \xc3\xa4\n"
                     "Exec=AppRun --x=\"a\\\\\\\\b\" %U\nTryExec=AppRun\nIcon=quorvel\n"
                     "MimeType=x-scheme-handler/quorvel;\n"
                     "Actions=New;\n\n[Desktop Action New]\n"
                     "Name=New\nExec=AppRun --new\n");
}

// The entry as the desktop reads it (GLib): its command line, split into arguments after its
// field codes are expanded with no file, and its icon; "hidden" when its TryExec is gone.
QStringList desktopReads(const QString &entry)
{
    QProcess python;
    python.start(u"/usr/bin/python3"_s, {u"-c"_s, uR"py(
import re, sys, gi
from gi.repository import Gio, GLib
try:
    info = Gio.DesktopAppInfo.new_from_filename(sys.argv[1])
except TypeError: # no such entry: its TryExec is gone
    print("hidden")
else:
    line = re.sub("%(.)", lambda m: "%" if m[1] == "%" else "", info.get_commandline())
    print("\n".join(GLib.shell_parse_argv(line)[1] + [info.get_string("Icon")]))
)py"_s,
                                         entry});
    python.waitForFinished();
    return QString::fromUtf8(python.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
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

    // The installed application in the desktop's list, wherever it went: the entry validates,
    // starts that bundle's AppRun and shows its icon, hides once the bundle is gone, and is
    // replaced by the next install's; what was there is replaced, never written through.
    void desktopEntry_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("symlink"); // what an earlier install left: a link, or a hard link
        bool symlink = false;
        for (const char *folder : {"plain", "with  blanks", "it's \"quoted\"", "100%U sure %%",
                                   "$HOME `id` \\ (1);", "f\xc3\xbcr_\xe5\xba\x94\xe7\x94\xa8_$5"})
            QTest::newRow(folder) << QString::fromUtf8(folder) << (symlink = !symlink);
    }
    void desktopEntry()
    {
        QFETCH(QString, folder);
        QFETCH(bool, symlink);
        const std::unique_ptr<QTemporaryDir> dir = testTempDir(u"entry-XXXXXX"_s);
        const QString app = dir->filePath(folder + u"/Quorvel.app"_s),
                      other = dir->filePath(u"other/Quorvel.app"_s),
                      entry = DesktopEntry::applicationsFolder() + u"/quorvel.desktop"_s,
                      aside = dir->filePath(u"aside"_s);
        QVERIFY(entry.startsWith(qEnvironmentVariable("QUORVEL_TEST_TMP") + u'/'));
        QVERIFY(makeBundle(app) && makeBundle(other) && writeFile(aside, "kept") &&
                QDir().mkpath(DesktopEntry::applicationsFolder()));
        QFile::remove(entry);
        QFile::remove(DesktopEntry::applicationsFolder() + u"/mimeinfo.cache"_s);
        QVERIFY(symlink ? QFile::link(aside, entry)
                        : ::link(QFile::encodeName(aside), QFile::encodeName(entry)) == 0);
        QString detail;
        QVERIFY2(DesktopEntry::add(app, &detail), qPrintable(detail));
        QCOMPARE(detail, entry);
        QVERIFY(!QFileInfo(entry).isSymLink() && readFile(aside) == "kept");
        QProcess validate;
        validate.start(u"desktop-file-validate"_s, {entry});
        QVERIFY(validate.waitForFinished());
        QCOMPARE(validate.readAll() + validate.readAllStandardError(), QByteArray());
        QCOMPARE(validate.exitCode(), 0);
        QStringList reads = desktopReads(entry);
        QVERIFY(!folder.contains(u'%') || reads.takeFirst() == u"env");
        QCOMPARE(reads, (QStringList{app + u"/AppRun"_s, u"--x=a\\b"_s, app + u"/quorvel.svg"_s}));
        QVERIFY(!readFile(entry).contains("Action"));
        QThreadPool::globalInstance()->waitForDone();
        QVERIFY(readFile(DesktopEntry::applicationsFolder() + u"/mimeinfo.cache"_s)
                    .contains("x-scheme-handler/quorvel=quorvel.desktop"));

        QVERIFY(QDir(app).removeRecursively());
        QCOMPARE(desktopReads(entry), QStringList{u"hidden"_s});
        QVERIFY(DesktopEntry::add(other, &detail));
        QCOMPARE(desktopReads(entry).value(0), other + u"/AppRun"_s);
    }

    // An entry that cannot be written is told, and leaves nothing.
    void desktopEntryRefused()
    {
        const std::unique_ptr<QTemporaryDir> dir = testTempDir(u"entry-XXXXXX"_s);
        const QString app = dir->filePath(u"Quorvel.app"_s), bare = dir->filePath(u"Bare.app"_s);
        QVERIFY(makeBundle(app) && writeFile(bare + u"/AppRun"_s, "#!/bin/sh\n", true) &&
                writeFile(dir->filePath(u"data/applications"_s), "a file"));
        QString detail;
        QVERIFY(!DesktopEntry::add(bare, &detail));
        QCOMPARE(detail, u"the bundle has no .desktop file"_s);
        const auto restore =
            qScopeGuard([data = qgetenv("XDG_DATA_HOME")] { qputenv("XDG_DATA_HOME", data); });
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir->filePath(u"data"_s)));
        QVERIFY(!DesktopEntry::add(app, &detail));
        QCOMPARE(detail, u"cannot make "_s + dir->filePath(u"data/applications"_s));
    }

    // XDG base folders must be absolute: a relative one is ignored.
    void xdgFolders()
    {
        const QString home = QDir::homePath();
        qputenv("XDG_STATE_HOME", "state");
        qputenv("XDG_CACHE_HOME", "cache");
        qputenv("XDG_DATA_HOME", "data");
        QCOMPARE(DesktopEntry::applicationsFolder(), home + u"/.local/share/applications"_s);
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
