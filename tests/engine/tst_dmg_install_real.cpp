#include "install_run.h"
#include "real_tools.h"

#include <QDataStream>

#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Another user, and what they name beside the bundle, after ".Quorvel.app.installing".
constexpr uid_t kOther = 4242;
const QStringList kTaken{u""_s, u"-AAAAAAAAAAAA"_s, u"-AAAAAAAAAAAA.previous"_s};

// Names with the random part of a staging name as "X".
QStringList randomAsX(QStringList names)
{
    names.replaceInStrings(QRegularExpression(u"installing-[A-Za-z0-9]{12}"_s), u"installing-X"_s);
    names.sort();
    return names;
}

struct stat statOf(const QString &path)
{
    struct stat st = {};
    st.st_uid = ~0u;
    ::lstat(QFile::encodeName(path), &st);
    return st;
}

bool hasAttr(const QString &path, const char *name)
{
    return ::lgetxattr(QFile::encodeName(path).constData(), name, nullptr, 0) >= 0;
}

bool setAttr(const QString &path, const char *name)
{
    return ::lsetxattr(QFile::encodeName(path).constData(), name, "1", 1, 0) == 0;
}

// The setup run as "nobody" from a test that runs as root, with a setuid stand-in for pkexec
// that answers the prompt at once. Below `root`: user/ is the user's own (home/, private/ with
// the image, tmp/, state/ for the log, cwd/), pkexec and pkexec.log, a line per prompt.
struct UserRun
{
    QString root;
    uid_t uid = 0;
    gid_t gid = 0;
    QProcessEnvironment env; // for the root shim and the pkexec stand-in

    QString user(const QString &name) const { return root + u"/user/" + name; }
    QString image() const { return user(u"private/image.dmg"_s); }
    bool own(const QString &path) const { return ::chown(QFile::encodeName(path), uid, gid) == 0; }
    int prompts() const { return readFile(root + u"/pkexec.log"_s).count('\n'); }

    // Empty when ready, else why the user's road cannot be taken here.
    QString prepare()
    {
        const passwd *pw = nobody();
        if (!pw)
            return u"needs root and a user 'nobody'"_s;
        uid = pw->pw_uid;
        gid = pw->pw_gid;
        // The user passes through the test's own folders to reach its tree.
        const QString top = qEnvironmentVariable("QUORVEL_TEST_TMP");
        for (QString dir = root; dir.startsWith(top) && dir.size() > top.size();
             dir = QFileInfo(dir).path())
            if (::chmod(QFile::encodeName(dir), 0755) != 0)
                return u"cannot open the test folders to the user"_s;
        // The user's own tree; root (the privileged command) goes anywhere.
        for (const QString &name : {u""_s, u"home"_s, u"cwd"_s, u"private"_s, u"tmp"_s, u"state"_s})
            if (!QDir().mkpath(user(name)) || !own(user(name)) ||
                ::chmod(QFile::encodeName(user(name)), 0700) != 0)
                return u"cannot make the user's folders"_s;
        const QString pkexec = root + u"/pkexec"_s;
        struct statvfs fs;
        if (!QFile::copy(QStringLiteral(QUORVEL_FAKE_PKEXEC), pkexec) ||
            ::chown(QFile::encodeName(pkexec), 0, gid) != 0 ||
            ::chmod(QFile::encodeName(pkexec), 04750) != 0 ||
            ::statvfs(QFile::encodeName(pkexec), &fs) != 0 || (fs.f_flag & ST_NOSUID))
            return u"set-id programs cannot be made where the tests run"_s;
        return {};
    }

    // Installs from image() into `destDir` as the user, in a run of this program (see main()).
    // The root shim always goes into the privileged command; it acts only when `env` asks.
    InstallRun install(const QString &destDir, const QString &hdiutil) const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(env);
        e.insert(u"HOME"_s, user(u"home"_s));
        e.insert(u"TMPDIR"_s, user(u"tmp"_s));
        e.insert(u"XDG_STATE_HOME"_s, user(u"state"_s));
        e.insert(u"QUORVEL_TEST_PKEXEC"_s, root + u"/pkexec"_s);
        e.insert(u"QUORVEL_TEST_PKEXEC_LOG"_s, root + u"/pkexec.log"_s);
        e.insert(u"QUORVEL_TEST_ROOT_PRELOAD"_s, QStringLiteral(QUORVEL_ROOT_SHIM));
        QProcess p;
        p.setProcessEnvironment(e);
        p.setWorkingDirectory(user(u"cwd"_s));
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.setChildProcessModifier([u = uid, g = gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(g) != 0 || ::setuid(u) != 0)
                ::_exit(125);
        });
        p.start(QCoreApplication::applicationFilePath(),
                {u"--install"_s, image(), destDir, hdiutil});
        const bool exited = p.waitForFinished(180000) && p.exitStatus() == QProcess::NormalExit;
        InstallRun r;
        QString app, error; // null: not reported
        QDataStream(p.readAllStandardOutput()) >> r.completions >> r.stages >> r.success >> app >>
            error >> r.log;
        r.app = app.isNull() ? std::nullopt : std::optional(app);
        r.error = error.isNull() ? std::nullopt : std::optional(error);
        QTest::qVerify(exited && p.exitCode() == 0 && r.whole(), "exited 0, whole()", "", __FILE__,
                       __LINE__);
        return r;
    }
};

} // namespace

// Real images mounted by the hdiutil stand-in, copied for real, detached for real.
class TstDmgInstallReal : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_rootDir, m_dir;
    QString m_root;
    UserRun m_user;
    QStringList m_immutable; // to be freed before the folder goes
    QStringList m_mounts;    // to be taken down before the folder goes
    int m_held = -1;         // a lock a live run would hold

    QString path(const QString &name) const { return m_dir->filePath(name); }

    // Mounts with `/bin/mount ARGS... AT` (root only), to be taken down in cleanup().
    bool mount(const QStringList &args, const QString &at)
    {
        if (::geteuid() != 0 || !QDir().mkpath(at) ||
            QProcess::execute(u"/bin/mount"_s, args + QStringList{at}) != 0)
            return false;
        m_mounts.prepend(at);
        return true;
    }

    // tree/Quorvel.app holding what bundles have: an executable behind a link, extended
    // attributes and the quarantine mark (on the bundle too), and a link out of the image to a
    // file with the mark, with modes open to all and set-id bits. With a fifo, neither copy can
    // take it. Everything is `owner`'s.
    void makeBundleTree(bool withFifo, uid_t owner, gid_t group)
    {
        const QString app = path(u"tree/Quorvel.app"_s), run = app + u"/usr/bin/run"_s,
                      data = app + u"/data"_s, outside = path(u"outside"_s);
        QVERIFY(writeFile(run, "#!/bin/sh\n") && writeFile(data, "1") && writeFile(outside, "o"));
        QVERIFY(QFile::link(u"usr/bin/run"_s, app + u"/AppRun"_s) &&
                QFile::link(outside, app + u"/outside"_s));
        QVERIFY(chownAll(path(u"tree"_s), owner, group));
        for (const auto &[name, mode] : {std::pair{u"/usr/bin/run"_s, 06777},
                                         {u"/data"_s, 0666},
                                         {u"/usr/bin"_s, 0777},
                                         {u"/usr"_s, 02775}})
            QVERIFY(::chmod(QFile::encodeName(app + name), mode) == 0);
        for (const QString &p : {app, run, data, outside})
            QVERIFY(setAttr(p, "user.com.apple.quarantine"));
        QVERIFY(setAttr(data, "user.org.example.kept"));
        if (withFifo)
            QCOMPARE(::mkfifo(QFile::encodeName(app + u"/zz-fifo"_s), 0644), 0);
    }

    // The copy of makeBundleTree() at `app`, every entry `owner`'s. Modes are kept but for the
    // set-id bits; a copy made with administrator rights (`restricted`) has no group or other
    // write bits either.
    void expectIntactBundle(const QString &app, uint owner, bool restricted)
    {
        QCOMPARE(readFile(app + u"/data"_s), "1"_ba);
        QCOMPARE(QFile::symLinkTarget(app + u"/AppRun"_s), app + u"/usr/bin/run"_s);
        const uint open = restricted ? 0 : 022;
        QCOMPARE((QList<uint>{statOf(app + u"/usr/bin/run"_s).st_mode & 07777,
                              statOf(app + u"/data"_s).st_mode & 07777,
                              statOf(app + u"/usr/bin"_s).st_mode & 07777,
                              statOf(app + u"/usr"_s).st_mode & 07777}),
                 (QList<uint>{0755 | open, 0644 | open, 0755 | open, 0755 | (open & 020)}));
        // Only the mark goes: other attributes travel with the copy.
        QVERIFY(hasAttr(app + u"/data"_s, "user.org.example.kept"));
        // Clearing the mark does not follow the link out of the bundle.
        QVERIFY(hasAttr(path(u"outside"_s), "user.com.apple.quarantine"));
        for (const QString &p : QStringList{app, app + u"/data"_s, app + u"/usr/bin/run"_s}) {
            QCOMPARE(statOf(p).st_uid, owner);
            QVERIFY2(!hasAttr(p, "user.com.apple.quarantine"), qPrintable(p));
        }
    }

private slots:
    void initTestCase()
    {
        // Without it the tree would land below / and UserRun::prepare() would open / to all.
        QVERIFY2(!qEnvironmentVariableIsEmpty("QUORVEL_TEST_TMP"), "run it through ctest");
        m_rootDir = testTempDir(u"real-XXXXXX"_s);
        m_root = m_rootDir->path();
        // Private mount points of the stand-in land here; shell commands run from cwd/.
        qputenv("TMPDIR", QFile::encodeName(m_root));
        QVERIFY(m_rootDir->isValid() && QDir().mkpath(m_root + u"/cwd"_s) &&
                QDir::setCurrent(m_root + u"/cwd"_s));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>(m_root + u"/t-XXXXXX"_s);
        QVERIFY(m_dir->isValid());
        m_user = UserRun();
        m_user.root = m_dir->path();
    }

    void cleanup()
    {
        for (const QString &p : std::exchange(m_immutable, {}))
            QVERIFY(setImmutable(p, false));
        // Wherever the code under test moved them: a mount left behind outlives the test.
        m_mounts.clear();
        QVERIFY(unmountUnder(m_dir->path()));
        if (m_held >= 0)
            ::close(std::exchange(m_held, -1));
    }

    // The road without a prompt, with the stand-ins: an older copy is replaced by
    // makeBundleTree()'s, or kept whole when the image cannot be mounted or copied.
    void plainRoad_data()
    {
        QTest::addColumn<QString>("error"); // empty: installed
        QTest::newRow("bundle with links and attributes") << QString();
        QTest::newRow("truncated") << kMountFailed;
        // Nor does the copy out of the image take it: no prompt comes.
        QTest::newRow("neither copy takes a fifo") << kCopyFailed;
        // Nor is a folder mounted in the old bundle, or in a killed run's staging folder, emptied.
        QTest::newRow("something mounted in the old bundle") << kCopyFailed;
    }
    void plainRoad()
    {
        QFETCH(QString, error);
        const QByteArray tag = QTest::currentDataTag();
        const QString dest = path(u"Applications"_s), app = dest + u"/Quorvel.app"_s,
                      file = path(u"image.dmg"_s);
        QVERIFY(writeFile(app + u"/AppRun"_s, "old"));
        QStringList left{u"Quorvel.app"_s}, old{u"AppRun"_s};
        if (tag.startsWith("something mounted")) {
            left.prepend(u".Quorvel.app.installing-DeadDeadDead"_s);
            old << u"usr"_s;
            QVERIFY(writeFile(path(u"kept/file"_s), "kept"));
            for (const QString &at :
                 QStringList{app + u"/usr"_s, dest + u'/' + left[0] + u"/usr"_s})
                if (!mount({u"--bind"_s, path(u"kept"_s)}, at))
                    QSKIP("needs root and bind mounts");
        }
        makeBundleTree(tag.contains("fifo"), ::getuid(), ::getgid());
        QVERIFY(makeImage(path(u"tree"_s), file) &&
                (error != kMountFailed || writeFile(file, readFile(file).left(600))));

        const InstallRun r = collectInstall(file, dest, standInTools());
        QCOMPARE(r.app.value_or(r.error.value_or(QString())), error.isEmpty() ? app : error);
        QCOMPARE(r.stages.contains(u"authorize"_s), false);
        QCOMPARE(entries(dest), left);
        if (!error.isEmpty()) {
            QCOMPARE(entries(app), old);
            QCOMPARE(readFile(app + u"/AppRun"_s), "old"_ba);
            QCOMPARE(readFile(path(u"kept/file"_s)), old.size() > 1 ? "kept"_ba : ""_ba);
        } else {
            expectIntactBundle(app, ::getuid(), false);
        }
        // The image is detached; what the test mounted stays.
        const QStringList mounted = mountsUnder(m_root);
        QCOMPARE(QSet(mounted.begin(), mounted.end()), QSet(m_mounts.begin(), m_mounts.end()));
    }

    // The road that asks for administrator rights, taken by an unprivileged user. The old
    // bundle is root's, with a folder of root's in it, in shared/, a folder everyone may add
    // to (mode 1777, like /tmp): the user cannot replace it alone. system/ is root's.
    void privilegedRoad_data()
    {
        QTest::addColumn<QString>("dest");     // below the test's folder
        QTest::addColumn<QString>("runs");     // each run's QUORVEL_TEST_ settings, "|" between
        QTest::addColumn<QString>("error");    // of the last run; empty: installed
        QTest::addColumn<QStringList>("left"); // in the folder at the end
        QTest::addColumn<int>("prompts");
        const QString old = u"Quorvel.app"_s, staging = u".Quorvel.app.installing-X"_s;
        const auto row = [](const char *tag, const QString &dest, const QString &runs,
                            const QString &error, int prompts = 1,
                            const QStringList &left = {u"Quorvel.app"_s}) {
            QTest::newRow(tag) << dest << runs << error << left << prompts;
        };
        const QString shared = u"shared"_s, none;
        // Where the file system refuses the exchange, the kill leaves the bundle aside.
        const QString killedAside = u"NO_EXCHANGE=1 KILL_AT_RENAME=2 | "_s;
        QStringList taken{staging, old};
        for (const QString &name : kTaken)
            taken << u".Quorvel.app.installing"_s + name;
        row("staging swapped for a link while root copies", shared,
            u"SWAP_STAGING=@/outside-root"_s, kCopyFailed, 1,
            {staging, staging + u".moved"_s, old});
        row("killed before the swap", shared, u"KILL_AT_RENAME=1"_s, kCopyFailed, 1,
            {staging, old});
        row("killed between the renames, then a run", u"system/Apps"_s, killedAside, none, 2);
        row("killed between the renames, then a failing run", u"system/Apps"_s,
            killedAside + u"FAIL_MKDIR=usr"_s, kCopyFailed, 2);
        row("prompt dismissed", shared, u"PKEXEC_DISMISS=1"_s, kCancelled);
        row("rename fails where the exchange is refused", shared,
            u"NO_EXCHANGE=1 FAIL_RENAME=Quorvel.app"_s, kCopyFailed);
        row("undeletable old file", shared, none, kCopyFailed);
        // The user could move it aside, but not empty it: the plain copy must not start.
        row("old bundle of root's in the user's folder", u"user/Apps"_s, none, none);
        row("missing folder under a writable parent", u"user/new/Apps"_s, none, none, 0);
        // Made by root, and the name passes through a shell word inside a script string.
        row("hostile name",
            u"system/  a'b\"c\\\\d $(touch pwned)`touch pwned2`; touch pwned3; '\\''e \\\" /Apps"_s,
            none, none);
        // Names taken in the folder, which has no bundle yet, or root's. The user's own copy needs
        // no prompt, and root takes nothing of another user's.
        row("names taken in a shared folder", shared, none, none, 0, taken);
        row("names taken in a folder only root may fill", u"group"_s, none, none, 1, taken);
        // user/link leads to user/Programm\351, a folder whose name is not valid UTF-8.
        row("below a link to a folder named in other bytes", u"user/link/new/Apps"_s, none, none,
            0);
        // Root installs nothing from or into folders a third user controls: the user's copy is
        // replaced before root reads it (by one of that user's, or of root's, inside the user's
        // folders), or the folder chosen lies in that user's folder.
        row("source replaced by another user's folder", shared, u"SWAP_SOURCE=4242"_s, kCopyFailed);
        row("source replaced by a folder of root's", shared, u"SWAP_SOURCE=0"_s, kCopyFailed);
        row("in another user's folder", u"pub/apps/Quorvel"_s, none, kCopyFailed, 0, {});
        // Rights would not mend these: no prompt.
        row("another user's bundle in a shared folder", shared, none, kCopyFailed, 0);
        row("another user's link in a shared folder", shared, none, kCopyFailed, 0);
        row("another user's folder in root's bundle", shared, none, kCopyFailed, 0);
        row("full disk", u"small/Apps"_s, none, kCopyFailed, 0);
        row("read-only file system", u"small/Apps"_s, none, kCopyFailed, 0);
        // Another run's clean-up takes the new staging folder, or another user its name, before
        // it is locked: a fresh one is made.
        row("staging folder taken away at once", shared, u"TAKE_STAGING=gone"_s, none);
        row("staging name taken by another user at once", shared, u"TAKE_STAGING=foreign"_s, none,
            1, {staging, old});
    }
    void privilegedRoad()
    {
        QFETCH(QString, dest);
        QFETCH(QString, runs);
        QFETCH(QString, error);
        QFETCH(QStringList, left);
        QFETCH(int, prompts);
        const QByteArray tag = QTest::currentDataTag();
        if (const QString why = m_user.prepare(); !why.isEmpty())
            QSKIP(qPrintable(why));
        makeBundleTree(false, m_user.uid, m_user.gid);
        QVERIFY(writeFile(m_user.image(), "not read: the volume is a folder") &&
                m_user.own(m_user.image()));
        const QString shared = path(u"shared"_s), outside = path(u"outside-root"_s),
                      hdiutil = path(u"hdiutil"_s), app = path(dest) + u"/Quorvel.app"_s,
                      prefix = path(dest) + u"/.Quorvel.app.installing"_s;
        QVERIFY(writeFile(shared + u"/Quorvel.app/AppRun"_s, "old") &&
                writeFile(shared + u"/Quorvel.app/lib/locked"_s, "old") &&
                QDir().mkpath(path(u"system"_s)) && QDir().mkpath(outside) &&
                ::chmod(QFile::encodeName(shared), 01777) == 0);
        // The volume is the folder tree/: here the mount is not the point.
        QVERIFY(writeFile(hdiutil, "#!/bin/sh\n[ $1 = attach ] || exit 0\n" +
                                       attachPrints({path(u"tree"_s)})) &&
                ::chmod(QFile::encodeName(hdiutil), 0755) == 0);
        if (tag.startsWith("undeletable")) {
            if (!setImmutable(shared + u"/Quorvel.app/lib/locked"_s, true))
                QSKIP("the file system here cannot make a file immutable");
            m_immutable << shared + u"/Quorvel.app/lib/locked"_s;
        } else if (dest == u"user/Apps" || dest == u"system/Apps") {
            QVERIFY(QDir().rename(shared, path(dest)) &&
                    (dest.startsWith(u"system") || m_user.own(path(dest))) &&
                    ::chmod(QFile::encodeName(path(dest)), 0755) == 0);
        } else if (tag.startsWith("names taken")) {
            QVERIFY(QDir().mkpath(path(dest)) &&
                    (dest == u"group" ? QDir().rename(shared + u"/Quorvel.app"_s, app)
                                      : QDir(app).removeRecursively()) &&
                    ::chown(QFile::encodeName(path(dest)), 0, kOther) == 0 &&
                    ::chmod(QFile::encodeName(path(dest)), dest == u"group" ? 01775 : 01777) == 0);
            // What another user made beside the bundle under every name the setup might use, and
            // the installing user's (root where it prompts): a staging folder a live run holds
            // locked, and a staging folder and an aside copy that killed runs left (they go).
            const QStringList owns{u"-LiveLiveLive"_s, u"-DeadDeadDead"_s,
                                   u"-DeadDeadDead.previous"_s};
            for (const QString &name : kTaken + owns)
                QVERIFY(writeFile(prefix + name + u"/AppRun"_s, "planted") &&
                        ::chown(QFile::encodeName(prefix + name),
                                kTaken.contains(name) ? kOther
                                : prompts             ? 0
                                                      : m_user.uid,
                                kOther) == 0);
            m_held = ::open(QFile::encodeName(prefix + u"-LiveLiveLive"_s), O_RDONLY | O_DIRECTORY);
            QVERIFY(m_held >= 0 && ::flock(m_held, LOCK_EX) == 0);
        } else if (tag.startsWith("another user's")) {
            const QString app = shared + u"/Quorvel.app"_s, elsewhere = path(u"elsewhere.app"_s);
            if (tag.contains("link"))
                QVERIFY(QDir().rename(app, elsewhere) && QFile::link(elsewhere, app));
            QVERIFY(chownAll(tag.contains("root's") ? app + u"/lib" : app, kOther, kOther));
        } else if (dest.startsWith(u"pub")) {
            QVERIFY(QDir().mkpath(path(u"pub/apps"_s)) &&
                    ::chmod(QFile::encodeName(path(u"pub"_s)), 01777) == 0 &&
                    ::chown(QFile::encodeName(path(u"pub/apps"_s)), kOther, kOther) == 0);
        } else if (dest.startsWith(u"small")) {
            // A file system of its own, too small for the new copy beside the old one, or
            // read-only; all in it is the user's.
            QVERIFY(writeFile(path(u"tree/Quorvel.app/big"_s), QByteArray(1 << 20, 'b')) &&
                    m_user.own(path(u"tree/Quorvel.app/big"_s)));
            if (!mount({u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=512k"_s, u"tmpfs"_s},
                       path(u"small"_s)))
                QSKIP("needs root and tmpfs");
            QVERIFY(QDir().mkpath(path(dest)) &&
                    QProcess::execute(u"/bin/cp"_s, {u"-a"_s, shared + u"/Quorvel.app"_s,
                                                     path(dest) + u"/Quorvel.app"_s}) == 0 &&
                    chownAll(path(dest), m_user.uid, m_user.gid) &&
                    (!tag.startsWith("read-only") ||
                     mount({u"-o"_s, u"remount,ro"_s}, path(u"small"_s))));
        } else if (dest.contains(u"link")) {
            const QByteArray named = QFile::encodeName(m_user.user(u"Programm"_s)) + '\351';
            QVERIFY(::mkdir(named, 0755) == 0 && ::chown(named, m_user.uid, m_user.gid) == 0 &&
                    ::symlink("Programm\351", QFile::encodeName(m_user.user(u"link"_s))) == 0);
        }

        InstallRun r;
        bool prompted = false; // the last run
        for (const QString &run : runs.replace(u'@', m_dir->path()).split(u'|')) {
            m_user.env = QProcessEnvironment();
            for (const QString &pair : run.split(u' ', Qt::SkipEmptyParts))
                m_user.env.insert(u"QUORVEL_TEST_"_s + pair.section(u'=', 0, 0),
                                  pair.section(u'=', 1));
            const int before = m_user.prompts();
            r = m_user.install(path(dest), hdiutil);
            prompted = m_user.prompts() > before;
            QCOMPARE(r.stages.contains(u"authorize"_s), prompted);
        }
        // Root wrote nothing outside the destination, nothing else was run, the private copy
        // beside the image is gone, and no name was made from a path decoded with losses.
        QCOMPARE(entries(outside) + entries(m_user.user(u"cwd"_s)) +
                     entries(m_user.user(u"private"_s)),
                 QStringList{u"image.dmg"_s});
        QVERIFY(::nftw(
                    QFile::encodeName(m_dir->path()),
                    [](const char *p, const struct stat *, int, FTW *) {
                        return std::strstr(p, "\xEF\xBF\xBD") ? 1 : 0; // U+FFFD
                    },
                    16, FTW_PHYS) == 0);
        QCOMPARE(r.app.value_or(r.error.value_or(QString())), error.isEmpty() ? app : error);
        QCOMPARE(m_user.prompts(), prompts);
        QCOMPARE(randomAsX(entries(path(dest))), randomAsX(left));
        // What rights would not mend fails without a prompt, saying why.
        QCOMPARE(r.log.filter(u"administrator rights would not help"_s).size(),
                 error == kCopyFailed && !prompted ? 1 : 0);
        if (error.isEmpty()) {
            // Made, copied and cleared with the same rights: root's, or else the user's alone.
            expectIntactBundle(app, prompted ? 0 : m_user.uid, prompted);
        } else if (left.contains(u"Quorvel.app"_s)) {
            // The old bundle, whole.
            QCOMPARE(entries(app), (QStringList{u"AppRun"_s, u"lib"_s}));
            QCOMPARE(readFile(app + u"/AppRun"_s) + readFile(app + u"/lib/locked"_s), "oldold"_ba);
        }
        if (tag.startsWith("another user's"))
            QCOMPARE(statOf(tag.contains("root's") ? app + u"/lib" : app).st_uid, kOther);
        for (const QString &name : kTaken + QStringList{u"-LiveLiveLive"_s}) // untouched
            QVERIFY(!tag.startsWith("names taken") ||
                    (readFile(prefix + name + u"/AppRun"_s) == "planted" &&
                     (statOf(prefix + name).st_uid == kOther) == kTaken.contains(name)));
    }
};

// With "--install IMAGE DESTDIR HDIUTIL" (from UserRun::install, as the user): one installation
// with the stand-ins, HDIUTIL in place of the hdiutil one, reported on stdout.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 5 && args[1] == u"--install") {
        SystemTools tools = standInTools();
        tools.hdiutil = args[4];
        const InstallRun r = collectInstall(args[2], args[3], tools);
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly))
            return 1;
        QDataStream(&out) << r.completions << r.stages << r.success << r.app.value_or(QString())
                          << r.error.value_or(QString()) << r.log;
        return out.flush() ? 0 : 1;
    }
    TstDmgInstallReal test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_dmg_install_real.moc"
