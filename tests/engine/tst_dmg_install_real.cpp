#include "install_run.h"
#include "real_tools.h"

#include <QDataStream>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

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
        const passwd *pw = ::getpwnam("nobody");
        if (::geteuid() != 0 || !pw)
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

    QString path(const QString &name) const { return m_dir->filePath(name); }

    // tree/Quorvel.app holding what bundles have: an executable behind a link, extended
    // attributes and the quarantine mark (on the bundle too), and a link out of the image to a
    // file with the mark. With a fifo, neither copy can take it. Everything is `owner`'s.
    void makeBundleTree(bool withFifo, uid_t owner, gid_t group)
    {
        const QString app = path(u"tree/Quorvel.app"_s), run = app + u"/usr/bin/run"_s,
                      data = app + u"/data"_s, outside = path(u"outside"_s);
        QVERIFY(writeFile(run, "#!/bin/sh\n") && writeFile(data, "1") && writeFile(outside, "o"));
        QVERIFY(QFile::link(u"usr/bin/run"_s, app + u"/AppRun"_s) &&
                QFile::link(outside, app + u"/outside"_s));
        QVERIFY(QProcess::execute(u"/bin/chown"_s, {u"-R"_s, u"%1:%2"_s.arg(owner).arg(group),
                                                    path(u"tree"_s)}) == 0 &&
                ::chmod(QFile::encodeName(run), 04750) == 0);
        for (const QString &p : {app, run, data, outside})
            QVERIFY(setAttr(p, "user.com.apple.quarantine"));
        QVERIFY(setAttr(data, "user.org.example.kept"));
        if (withFifo)
            QCOMPARE(::mkfifo(QFile::encodeName(app + u"/zz-fifo"_s), 0644), 0);
    }

    // The copy of makeBundleTree() at `app`, every entry `owner`'s.
    void expectIntactBundle(const QString &app, uint owner)
    {
        QCOMPARE(readFile(app + u"/data"_s), "1"_ba);
        QCOMPARE(QFile::symLinkTarget(app + u"/AppRun"_s), app + u"/usr/bin/run"_s);
        QCOMPARE(statOf(app + u"/usr/bin/run"_s).st_mode & 07777, 0750u); // no set-id bits
        QCOMPARE(statOf(app + u"/usr"_s).st_mode & 07777, 0755u); // open to all, as in the image
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
    }

    // The road without a prompt, with the stand-ins: an older copy is replaced, or kept whole
    // when the image cannot be mounted or copied.
    void plainRoad_data()
    {
        QTest::addColumn<QString>("image"); // a sample, or what the test makes
        QTest::addColumn<QString>("error"); // empty: installed
        QTest::newRow("intel sample") << u"quorvel.dmg"_s << QString();
        QTest::newRow("bundle with links and attributes") << u"tree"_s << QString();
        QTest::newRow("truncated") << u"truncated"_s << kMountFailed;
        // Nor does the copy out of the image take it: no prompt comes.
        QTest::newRow("neither copy takes a fifo") << u"tree with fifo"_s << kCopyFailed;
    }
    void plainRoad()
    {
        QFETCH(QString, image);
        QFETCH(QString, error);
        const QString dest = path(u"Applications"_s), app = dest + u"/Quorvel.app"_s;
        QVERIFY(writeFile(app + u"/AppRun"_s, "old"));
        QString file = path(u"image.dmg"_s);
        if (image.endsWith(u".dmg")) {
            file = sampleImage(image.toUtf8().constData());
        } else if (image == u"truncated") {
            QVERIFY(writeFile(file, readFile(sampleImage("quorvel.dmg")).left(600)));
        } else {
            makeBundleTree(image.endsWith(u"fifo"), ::getuid(), ::getgid());
            QVERIFY(makeImage(path(u"tree"_s), file));
        }

        const InstallRun r = collectInstall(file, dest, standInTools());
        QCOMPARE(r.app.value_or(r.error.value_or(QString())), error.isEmpty() ? app : error);
        QCOMPARE(r.stages.contains(u"authorize"_s), false);
        QCOMPARE(entries(dest), QStringList{u"Quorvel.app"_s});
        if (!error.isEmpty()) {
            QCOMPARE(entries(app), QStringList{u"AppRun"_s});
            QCOMPARE(readFile(app + u"/AppRun"_s), "old"_ba);
        } else if (image == u"tree") {
            expectIntactBundle(app, ::getuid());
        } else {
            QCOMPARE(entries(app), (QStringList{u".DirIcon"_s, u"AppRun"_s, u"quorvel.desktop"_s,
                                                u"quorvel.svg"_s, u"usr"_s}));
            QCOMPARE(readFile(app + u"/usr/share/quorvel/arch"_s), "x86_64\n"_ba);
        }
        QCOMPARE(mountsUnder(m_root), QStringList());
    }

    // The road that asks for administrator rights, taken by an unprivileged user. The old
    // bundle is root's, with a folder of root's in it, in shared/, a folder everyone may add
    // to (mode 1777, like /tmp): the user cannot replace it alone. system/ is root's.
    void privilegedRoad_data()
    {
        QTest::addColumn<QString>("dest");     // below the test's folder
        QTest::addColumn<QString>("env");      // for the root shim and the pkexec stand-in
        QTest::addColumn<QString>("error");    // empty: installed
        QTest::addColumn<QStringList>("left"); // in the folder after a failure
        const QString old = u"Quorvel.app"_s, staging = u".Quorvel.app.installing"_s;
        QTest::newRow("staging swapped for a link while root copies")
            << u"shared"_s
            << u"QUORVEL_TEST_SWAP_STAGING=@/shared/%1 QUORVEL_TEST_SWAP_TARGET=@/outside-root"_s
                   .arg(staging)
            << kCopyFailed << QStringList{staging, staging + u".moved"_s, old};
        QTest::newRow("killed before the swap") << u"shared"_s << u"QUORVEL_TEST_KILL_AT_RENAME=1"_s
                                                << kCopyFailed << QStringList{staging, old};
        QTest::newRow("prompt dismissed")
            << u"shared"_s << u"QUORVEL_TEST_PKEXEC_DISMISS=1"_s << kCancelled << QStringList{old};
        QTest::newRow("rename fails where the exchange is refused")
            << u"shared"_s << u"QUORVEL_TEST_NO_EXCHANGE=Quorvel.app"_s << kCopyFailed
            << QStringList{old};
        QTest::newRow("undeletable old file")
            << u"shared"_s << QString() << kCopyFailed << QStringList{old};
        // The user could move it aside, but not empty it: the plain copy must not start.
        QTest::newRow("old bundle of root's in the user's folder")
            << u"user/Apps"_s << QString() << QString() << QStringList();
        QTest::newRow("missing folder under a writable parent")
            << u"user/new/Apps"_s << QString() << QString() << QStringList();
        // Made by root, and the name passes through a shell word inside a script string.
        QTest::newRow("hostile name")
            << u"system/  a'b\"c\\\\d $(touch pwned)`touch pwned2`; touch pwned3; '\\''e \\\" "
               u"/Apps"_s
            << QString() << QString() << QStringList();
    }
    void privilegedRoad()
    {
        QFETCH(QString, dest);
        QFETCH(QString, env);
        QFETCH(QString, error);
        QFETCH(QStringList, left);
        const bool prompted = dest != u"user/new/Apps";
        if (const QString why = m_user.prepare(); !why.isEmpty())
            QSKIP(qPrintable(why));
        makeBundleTree(false, m_user.uid, m_user.gid);
        QVERIFY(writeFile(m_user.image(), "not read: the volume is a folder") &&
                m_user.own(m_user.image()));
        const QString shared = path(u"shared"_s), outside = path(u"outside-root"_s),
                      hdiutil = path(u"hdiutil"_s);
        QVERIFY(writeFile(shared + u"/Quorvel.app/AppRun"_s, "old") &&
                writeFile(shared + u"/Quorvel.app/lib/locked"_s, "old") &&
                QDir().mkpath(path(u"system"_s)) && QDir().mkpath(outside) &&
                ::chmod(QFile::encodeName(shared), 01777) == 0);
        // The volume is the folder tree/: here the mount is not the point.
        QVERIFY(writeFile(hdiutil, "#!/bin/sh\n[ $1 = attach ] || exit 0\n" +
                                       attachPrints({path(u"tree"_s)})) &&
                ::chmod(QFile::encodeName(hdiutil), 0755) == 0);
        for (const QString &pair : env.replace(u'@', m_dir->path()).split(u' ', Qt::SkipEmptyParts))
            m_user.env.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
        if (QByteArray(QTest::currentDataTag()).startsWith("undeletable")) {
            if (!setImmutable(shared + u"/Quorvel.app/lib/locked"_s, true))
                QSKIP("the file system here cannot make a file immutable");
            m_immutable << shared + u"/Quorvel.app/lib/locked"_s;
        } else if (dest == u"user/Apps") {
            QVERIFY(QDir().rename(shared, path(dest)) && m_user.own(path(dest)) &&
                    ::chmod(QFile::encodeName(path(dest)), 0755) == 0);
        }

        const InstallRun r = m_user.install(path(dest), hdiutil);
        // Root wrote nothing outside the destination, nothing else was run, and the private
        // copy beside the image is gone.
        QCOMPARE(entries(outside) + entries(m_user.user(u"cwd"_s)) +
                     entries(m_user.user(u"private"_s)),
                 QStringList{u"image.dmg"_s});
        const QString app = path(dest) + u"/Quorvel.app"_s;
        QCOMPARE(r.app.value_or(r.error.value_or(QString())), error.isEmpty() ? app : error);
        QCOMPARE((QList{r.stages.contains(u"authorize"_s) ? 1 : 0, m_user.prompts()}),
                 (QList{prompted ? 1 : 0, prompted ? 1 : 0}));
        if (error.isEmpty()) {
            QCOMPARE(entries(path(dest)), QStringList{u"Quorvel.app"_s});
            // Made, copied and cleared with the same rights: root's, or else the user's alone.
            expectIntactBundle(app, prompted ? 0 : m_user.uid);
        } else {
            // The old bundle, whole, and nothing of this run beside it but what the row says.
            QCOMPARE(entries(path(dest)), left);
            QCOMPARE(entries(app), (QStringList{u"AppRun"_s, u"lib"_s}));
            QCOMPARE(readFile(app + u"/AppRun"_s) + readFile(app + u"/lib/locked"_s), "oldold"_ba);
        }
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
