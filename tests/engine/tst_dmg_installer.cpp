#include "install_run.h"

#include <sys/stat.h>

using Names = QStringList;

// The installer driven by fake tools: shell scripts that record their calls.
class TstDmgInstaller : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_volume;         // what the fake attach "mounts"
    QStringList m_unwritable; // to be opened again before the folder goes

    QString path(const QString &name) const { return m_dir->filePath(name); }
    // Runs the installer on scripts that record their calls and run these bodies (empty: the
    // tool is not there). The detach waits until the completion has been delivered, so one that
    // came first shows in the calls. Reasons the system words are logged as "<reason>".
    InstallRun install(const QString &dest, const QByteArray &attach, const QByteArray &detach,
                       const QByteArray &osascript, const QString &appName)
    {
        const QByteArray go = path(u"go"_s).toUtf8(), log = path(u"calls"_s).toUtf8();
        const auto tool = [&](const QString &name, const QByteArray &body) {
            const QString file = path(u"tools/"_s + name);
            const QByteArray script = "#!/bin/sh\nprintf '%s\\n' \"" + name.toUtf8() + " $*\" >>'" +
                                      log + "'\n" + body + "\n";
            if (!body.isEmpty() && !writeFile(file, script, true))
                qFatal("cannot write a fake tool");
            return file;
        };
        const QByteArray hdiutil =
            "case $1 in\nattach) " + attach + "\n;;\ndetach) i=0; until [ -e '" + go +
            "' ] || [ $i = 100 ]; do sleep 0.1; i=$((i+1)); done\n[ -e '" + go +
            "' ] || echo 'detach before completion' >>'" + log + "'\n" + detach + ";;\nesac";
        InstallRun r = collectInstall(
            path(u"image.dmg"_s), dest,
            {tool(u"hdiutil"_s, attach.isEmpty() ? attach : hdiutil), tool(u"xattr"_s, "exit 0"),
             tool(u"osascript"_s, osascript), path(u"tools/ditto"_s),
             path(u"tools/install-bundle"_s)},
            [this] { writeFile(path(u"go"_s), "go"); }, appName);
        r.log.replaceInStrings(QRegularExpression(u"^(INST: failed to launch [^:]+: ).+$"_s),
                               u"\\1<reason>"_s);
        r.log.replaceInStrings(
            QRegularExpression(u"^(INST: direct copy failed \\().+(\\), retr)"_s),
            u"\\1<reason>\\2"_s);
        return r;
    }

private slots:
    void init()
    {
        m_dir = testTempDir(u"inst-XXXXXX"_s);
        m_volume = path(u"volume"_s);
        QVERIFY(m_dir->isValid() && QDir().mkpath(m_volume));
    }

    void cleanup()
    {
        for (const QString &p : std::exchange(m_unwritable, {}))
            QVERIFY(::geteuid() == 0 ? setImmutable(p, false)
                                     : QFile::setPermissions(p, QFile::Permissions(0x7700)));
    }

    // Only a real folder inside the mount point is a bundle; a link to one is not, nor is a
    // name that leads elsewhere. Without the named one, the first other bundle is taken. A mount
    // that fails fails the road, and what the attach said was attached is detached all the same.
    // The copy into an install folder this process cannot write asks for rights, and keeps the
    // old bundle when that fails; a missing folder is made by the user where the user can, and a
    // path that is not a folder fails: neither prompts. Nor does one that leads to a name the
    // privileged command could not be given exactly. ".." after a link is the link's target's
    // parent, as the kernel has it.
    void roads_data()
    {
        QTest::addColumn<QString>("appName");
        QTest::addColumn<Names>("volume");      // bundles; "X@": a link to a real one outside it
        QTest::addColumn<QString>("folder");    // below the test's folder, made if it ends in "/";
                                                // "locked": unwritable; "link": to the unwritable
                                                // Programm\351
        QTest::addColumn<QByteArray>("attach"); // "$": the volume; empty: cannot be launched
        QTest::addColumn<QByteArray>("osascript");
        QTest::addColumn<QString>("error");
        // After "mounted at", or after "mounting" when the mount fails, but for the last
        // "detaching $"; "@": the test's folder, "%": its real path, "$": the volume.
        QTest::addColumn<Names>("logged");
        const QString app = u"Quorvel.app"_s;
        const auto row = [&app](const char *tag, const QString &folder, const QByteArray &osascript,
                                const QString &error, const Names &logged,
                                const QByteArray &attach = attachPrints({u"$"_s}),
                                const Names &volume = {u"Quorvel.app"_s}) {
            QTest::newRow(tag) << app << volume << folder << attach << osascript << error << logged;
        };
        const auto copying = [](const QString &name, const QString &folder) {
            return Names{u"INST: copying $/"_s + name + u" -> @/"_s + folder + name};
        };
        const auto installed = [&copying](const QString &name, const QString &folder) {
            return copying(name, folder) << u"INST: install SUCCESS at @/"_s + folder + name;
        };
        const auto picks = [&row](const char *tag, const Names &volume, const Names &logged,
                                  const QByteArray &attach = attachPrints({u"$"_s})) {
            row(tag, u"Apps/"_s, "exit 0",
                logged.filter(u"SUCCESS"_s).isEmpty() ? kNotFound : QString(), logged, attach,
                volume);
        };
        picks("named bundle beside others", {u"Alpha.app"_s, app, u"Zeta.app"_s},
              installed(app, u"Apps/"_s));
        picks("first other bundle keeps its name",
              {u"Quorvel.APP"_s, u"Beta.app"_s, u"notes.txt"_s},
              Names{u"INST: Quorvel.app is not in the image, taking Beta.app"_s} +
                  installed(u"Beta.app"_s, u"Apps/"_s));
        picks("a later entity carries the mount point", {app}, installed(app, u"Apps/"_s),
              attachPrints({QString(), u""_s, u"$"_s, u"/not/this/one"_s}));
        picks("named bundle is a link", {u"Quorvel.app@"_s},
              {u"INST: not a bundle folder: $/Quorvel.app"_s});
        picks("the only other bundle is a link", {u"Other.app@"_s}, {});
        picks("capital extension, detach refused", {u"Quorvel.APP"_s}, {});
        for (const QString &name : {u"sub/Quorvel.app"_s, u"."_s, u".."_s}) {
            QTest::addRow("named %s", qPrintable(name))
                << name << Names() << u"Apps/"_s << attachPrints({u"$"_s}) << "exit 0"_ba
                << kNotFound << Names{u"INST: not a bundle folder: $/"_s + name};
        }
        const auto failed = [](int rc) { return u"INST: hdiutil attach failed, rc=%1"_s.arg(rc); };
        const QString unusable = u"INST: no usable mount point in the hdiutil output"_s;
        const auto mountFails = [&row](const char *tag, const QByteArray &attach,
                                       const Names &logged) {
            row(tag, u"Apps/"_s, "exit 0", kMountFailed, logged, attach);
        };
        mountFails("non-zero with a plist", attachPrints({u"/somewhere"_s}) + "\nexit 3",
                   {failed(3)});
        mountFails("output not UTF-8", "printf '\\377\\376'", {failed(0)});
        mountFails("cannot be launched", {},
                   {u"INST: failed to launch @/tools/hdiutil: <reason>"_s, failed(-1)});
        mountFails("unparsable", "echo '<plist><dict><key>'", {unusable});
        // Exit 0 says something was attached: what the output names is detached all the same.
        mountFails("mount point not a folder", attachPrints({u"/no/such/volume"_s, u"$"_s}),
                   {unusable, u"INST: detaching /no/such/volume"_s, u"INST: detaching $"_s});
        mountFails("only a device",
                   "cat <<'EOF'\n<plist version=\"1.0\"><dict><key>system-entities</key><array>"
                   "<dict><key>dev-entry</key><string>/dev/disk9</string></dict></array></dict>"
                   "</plist>\nEOF",
                   {unusable, u"INST: detaching /dev/disk9"_s});
        const Names direct = copying(app, u"Applications/"_s)
                             << u"INST: direct copy failed (<reason>), retrying with privileges"_s;
        const QString failedCopy = u"INST: privileged copy failed, "_s;
        // Answered after more than half a minute: the prompt has no time limit.
        row("cancelled late, said on stdout", u"locked"_s,
            "sleep 31; echo 'User canceled.'; exit 1", kCancelled,
            Names(direct) << failedCopy + u"rc=1 out=User canceled."_s);
        row("cancelled, said on stderr", u"locked"_s,
            "echo '0:80: execution error: User canceled. (-128)' >&2; exit 1", kCancelled,
            Names(direct) << failedCopy +
                                 u"rc=1 out=0:80: execution error: User canceled. (-128)"_s);
        row("other failure", u"locked"_s, "echo 'partial'; echo 'ditto: disk full' >&2; exit 2",
            kCopyFailed, Names(direct) << failedCopy + u"rc=2 out=partial | ditto: disk full"_s);
        row("missing, two levels", u"new/Apps"_s, "exit 1", {}, installed(app, u"new/Apps/"_s));
        row("missing, below a link and ..", u"link/../new"_s, "exit 1", {},
            installed(app, u"link/../new/"_s));
        row("a file", u"file"_s, "exit 1", kCopyFailed,
            copying(app, u"file/"_s)
                << u"INST: copy failed (cannot open folder %/file: Not a directory); "
                   u"administrator rights would not help"_s);
        row("link to a name in other bytes", u"link"_s, "exit 0", kCopyFailed,
            copying(app, u"link/"_s)
                << u"INST: direct copy failed (<reason>), retrying with privileges"_s
                << u"INST: refusing @/link: its real path, %/Programm\uFFFD, is not valid text"_s);
    }
    void roads()
    {
        QFETCH(QString, appName);
        QFETCH(Names, volume);
        QFETCH(QString, folder);
        QFETCH(QByteArray, attach);
        QFETCH(QByteArray, osascript);
        QFETCH(QString, error);
        QFETCH(Names, logged);
        const bool locked = folder == u"locked", mounted = error != kMountFailed;
        const QByteArray detach =
            QByteArray(QTest::currentDataTag()).endsWith("detach refused") ? "exit 16" : "exit 0";
        const QString dest = path(locked ? u"Applications"_s : folder);
        // Real bundles sit beside the volume and below it, within reach of a careless name.
        QVERIFY(writeFile(path(u"elsewhere.app/AppRun"_s), "x", true) &&
                writeFile(m_volume + u"/sub/Quorvel.app/AppRun"_s, "x", true) &&
                writeFile(path(u"file"_s), "f") && (!folder.endsWith(u'/') || QDir().mkpath(dest)));
        for (const QString &e : volume) {
            const QString at = m_volume + u'/' + e;
            QVERIFY(e.endsWith(u'@') ? QFile::link(path(u"elsewhere.app"_s), at.chopped(1))
                                     : writeFile(at + u"/AppRun"_s, e.toUtf8(), true));
        }
        if (folder == u"link") {
            const QByteArray named = QFile::encodeName(path(u"Programm"_s)) + '\351';
            QVERIFY(::mkdir(named, 0755) == 0 && ::symlink(named, QFile::encodeName(dest)) == 0);
        } else if (folder.startsWith(u"link/")) {
            QVERIFY(QDir().mkpath(path(u"sub/target"_s)) &&
                    QFile::link(path(u"sub/target"_s), path(u"link"_s)));
        } else if (locked) {
            QVERIFY(writeFile(dest + u"/Quorvel.app/AppRun"_s, "old", true));
        }
        if (locked || folder == u"link") {
            if (::geteuid() == 0 ? !setImmutable(dest + u"/."_s, true)
                                 : !QFile::setPermissions(dest, QFile::Permissions(0x5500)))
                QSKIP("cannot make a folder unwritable here");
            m_unwritable << dest + u"/."_s;
        }

        const InstallRun r =
            install(dest, attach.replace("$", m_volume.toUtf8()), detach, osascript, appName);
        const QString real = QFileInfo(m_dir->path()).canonicalFilePath();
        logged.replaceInStrings(u"@"_s, m_dir->path())
            .replaceInStrings(u"%"_s, real)
            .replaceInStrings(u"$"_s, m_volume);
        const bool copied = !logged.filter(u"INST: copying "_s).isEmpty();
        QCOMPARE(r.stages + Names{r.error.value_or(QString())},
                 Names({u"mount"_s, u"copy"_s, u"authorize"_s}).first(1 + copied + locked)
                     << error);
        Names log = {u"INST: mounting "_s + path(u"image.dmg"_s)};
        if (mounted)
            log << u"INST: mounted at "_s + m_volume;
        log << logged;
        if (mounted)
            log << u"INST: detaching "_s + m_volume;
        QCOMPARE(r.log, log);
        // What landed, or the old bundle where the folder is locked.
        const QString app = logged.filter(u"SUCCESS"_s).value(0).section(u" at "_s, 1),
                      landed = locked ? u"Quorvel.app"_s : QFileInfo(app).fileName();
        QCOMPARE(entries(dest), landed.isEmpty() ? Names() : Names{landed});
        QCOMPARE(readFile(dest + u'/' + landed + u"/AppRun"_s),
                 locked ? "old"_ba : landed.toUtf8());
        QCOMPARE(QFileInfo::exists(path(u"new"_s)), folder == u"new/Apps");
        // The attach, one call of the helper on the user's own copy beside the image where the
        // folder is locked, the quarantine cleared after a copy of its own, each detached once
        // after the completion.
        Names calls;
        if (!attach.isEmpty())
            calls << u"hdiutil attach "_s + path(u"image.dmg"_s) +
                         u" -nobrowse -noverify -readonly -plist"_s;
        if (!app.isEmpty())
            calls << u"xattr -dr com.apple.quarantine "_s + app;
        if (locked)
            calls << u"osascript -e do shell script \"'%1' --uid %4 '%2/.quorvel-bundle-X/"
                     u"Quorvel.app' '%3' 'Quorvel.app'\" with administrator privileges"_s
                         .arg(path(u"tools/install-bundle"_s), real,
                              QFileInfo(dest).canonicalFilePath())
                         .arg(::getuid());
        for (const QString &line : log.filter(u"INST: detaching "_s))
            calls << u"hdiutil detach "_s + line.mid(16) + u" -quiet"_s;
        if (detach != "exit 0")
            calls << u"hdiutil detach "_s + m_volume + u" -force -quiet"_s;
        QCOMPARE(QString::fromUtf8(readFile(path(u"calls"_s)))
                     .split(u'\n', Qt::SkipEmptyParts)
                     .replaceInStrings(QRegularExpression(u"bundle-\\w{6}/"_s), u"bundle-X/"_s),
                 calls);
    }
};

QTEST_GUILESS_MAIN(TstDmgInstaller)
#include "tst_dmg_installer.moc"
