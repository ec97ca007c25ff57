#pragma once

#include "install_run.h"
#include "real_tools.h"

#include <QDataStream>
#include <QProcess>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

// The setup run by an unprivileged user ("nobody") from a test that runs as root, with a
// setuid stand-in for pkexec: the road of a desktop user, the prompt answered at once.
//
// Below `root` (a folder of the test): user/ is the user's own (home; private/, mode 0700,
// where the image lies; tmp/; state/ for the log; cwd/, the working folder), pkexec is the
// stand-in (setuid root, runnable by the user's group only), pkexec.log has a line per prompt.
struct UserRun
{
    QString root;
    uid_t uid = 0;
    gid_t gid = 0;
    QProcessEnvironment env; // added to the next runs

    QString user(const QString &name = QString()) const { return root + u"/user/" + name; }
    QString image() const { return user(QStringLiteral("private/image.dmg")); }

    bool own(const QString &path) const
    {
        return ::chown(QFile::encodeName(path).constData(), uid, gid) == 0;
    }

    // Empty when ready, else why the user's road cannot be taken here.
    QString prepare()
    {
        if (::geteuid() != 0)
            return QStringLiteral("only root can run the setup as another user");
        const passwd *pw = ::getpwnam("nobody");
        if (!pw)
            return QStringLiteral("there is no user 'nobody' here");
        uid = pw->pw_uid;
        gid = pw->pw_gid;
        // The user passes through the test's own folders to reach its tree.
        const QString top = qEnvironmentVariable("QUORVEL_TEST_TMP");
        for (QString dir = root; dir.startsWith(top) && dir.size() > top.size();
             dir = QFileInfo(dir).path())
            if (::chmod(QFile::encodeName(dir).constData(), 0755) != 0)
                return QStringLiteral("cannot open the test folders to the user");
        const std::pair<const char *, mode_t> dirs[] = {{"", 0755},    {"home", 0755},
                                                        {"cwd", 0755}, {"private", 0700},
                                                        {"tmp", 0700}, {"state", 0700}};
        for (const auto &[name, mode] : dirs) {
            const QString dir = user(QString::fromUtf8(name));
            if (!QDir().mkpath(dir) || !own(dir) || ::chmod(QFile::encodeName(dir), mode) != 0)
                return QStringLiteral("cannot make the user's folders");
        }
        const QString pkexec = root + QStringLiteral("/pkexec");
        if (!QFile::copy(QStringLiteral(QUORVEL_FAKE_PKEXEC), pkexec) ||
            ::chown(QFile::encodeName(pkexec).constData(), 0, gid) != 0 ||
            ::chmod(QFile::encodeName(pkexec).constData(), 04750) != 0)
            return QStringLiteral("cannot install the pkexec stand-in");
        struct statvfs fs;
        if (::statvfs(QFile::encodeName(pkexec).constData(), &fs) != 0 || (fs.f_flag & ST_NOSUID))
            return QStringLiteral("set-id programs do not work where the tests run");
        return {};
    }

    int prompts() const { return readFile(root + QStringLiteral("/pkexec.log")).count('\n'); }

    // Writes who ran the installation and what it reported, for install() to read.
    static bool report(QFile &out, const InstallRun &r)
    {
        QDataStream(&out) << static_cast<int>(::geteuid()) << r.completions << r.stages << r.success
                          << r.app.value_or(QString()) << r.error.value_or(QString()) << r.log;
        return out.flush();
    }

    // Installs from image() into `destDir` as the user, attaching with `hdiutil`, in a run of
    // this test program that calls report(). The root shim is always preloaded into the
    // privileged command: it acts only when `env` asks it to.
    InstallRun install(const QString &destDir, const QString &hdiutil) const
    {
        QProcessEnvironment e = env;
        const QString pairs[][2] = {
            {QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin")},
            {QStringLiteral("HOME"), user(QStringLiteral("home"))},
            {QStringLiteral("TMPDIR"), user(QStringLiteral("tmp"))},
            {QStringLiteral("XDG_STATE_HOME"), user(QStringLiteral("state"))},
            {QStringLiteral("XDG_CACHE_HOME"), user(QStringLiteral("tmp"))},
            {QStringLiteral("XDG_CONFIG_HOME"), user(QStringLiteral("home"))},
            {QStringLiteral("QUORVEL_TEST_PKEXEC"), root + QStringLiteral("/pkexec")},
            {QStringLiteral("QUORVEL_TEST_PKEXEC_LOG"), root + QStringLiteral("/pkexec.log")},
            {QStringLiteral("QUORVEL_TEST_ROOT_PRELOAD"), QStringLiteral(QUORVEL_ROOT_SHIM)}};
        for (const auto &pair : pairs)
            e.insert(pair[0], pair[1]);
        for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (qEnvironmentVariableIsSet(name))
                e.insert(QString::fromUtf8(name), qEnvironmentVariable(name));
        QProcess p;
        p.setProcessEnvironment(e);
        p.setWorkingDirectory(user(QStringLiteral("cwd")));
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.setChildProcessModifier([u = uid, g = gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(g) != 0 || ::setuid(u) != 0)
                ::_exit(125);
        });
        p.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--install"), image(), destDir, hdiutil});
        const bool exited = p.waitForFinished(180000) && p.exitStatus() == QProcess::NormalExit;
        InstallRun r;
        int ranAs = -1;
        QString app, error; // null: not reported
        QDataStream(p.readAllStandardOutput()) >> ranAs >> r.completions >> r.stages >> r.success >>
            app >> error >> r.log;
        r.app = app.isNull() ? std::nullopt : std::optional(app);
        r.error = error.isNull() ? std::nullopt : std::optional(error);
        QTest::qCompare(QList{exited ? p.exitCode() : -1, ranAs, r.completions},
                        QList{0, static_cast<int>(uid), 1}, "rc, uid, runs", "0, uid, 1", __FILE__,
                        __LINE__);
        return r;
    }
};

// An hdiutil that "mounts" the folder `volume`: for roads where the mount is not the point.
inline QString folderHdiutil(const QString &dir, const QString &volume)
{
    const QString tool = dir + QStringLiteral("/folder-hdiutil");
    const QByteArray plist = "<plist version=\"1.0\"><dict><key>system-entities</key><array><dict>"
                             "<key>mount-point</key><string>" +
                             volume.toUtf8() + "</string></dict></array></dict></plist>";
    const bool written = writeFile(tool,
                                   "#!/bin/sh\ncase $1 in\nattach) cat <<'EOF'\n" + plist +
                                       "\nEOF\n;;\ndetach) exit 0;;\n*) exit 1;;\nesac\n",
                                   true) &&
                         ::chmod(QFile::encodeName(tool).constData(), 0755) == 0;
    return written ? tool : QString();
}
