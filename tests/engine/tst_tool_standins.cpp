#include "engine/plist_text.h"
#include "engine/stale_runs.h"
#include "install_run.h"
#include "platform/run_folder.h"
#include "real_tools.h"

#include <QStringDecoder>

#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kSample = sampleImage("quorvel.dmg");

struct Ran
{
    int status = -1;
    QByteArray out, err;
};

// Runs `program`; status -1: it did not exit.
Ran runProgram(const QString &program, const QStringList &args,
               const QProcessEnvironment &environment)
{
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(program, args);
    const bool exited = p.waitForFinished() && p.exitStatus() == QProcess::NormalExit;
    return {exited ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

// Runs the stand-in `tool`.
Ran run(const char *tool, const QStringList &args,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    return runProgram(standIn(tool), args, environment);
}

int detach(const QString &mountPoint, const QStringList &options = {})
{
    return run("hdiutil", QStringList{u"detach"_s, mountPoint} + options + QStringList{u"-quiet"_s})
        .status;
}

// Attaches `image` with the stand-in, as the installer does: its mount point, or empty. The
// property list is UTF-8 and the mount point printable, whatever the temporary folder is named;
// the image is mounted there alone, and nothing on it runs with more rights or reaches a device.
QString attach(const QString &image,
               const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
               const QString &hdiutil = standIn("hdiutil"))
{
    const Ran r = runProgram(
        hdiutil, {u"attach"_s, image, u"-nobrowse"_s, u"-noverify"_s, u"-readonly"_s, u"-plist"_s},
        environment);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    static_cast<void>(utf8.decode(r.out));
    const QStringList points =
        stringsAt(dictsAt(parsePlist(r.out).get(), "system-entities"), "mount-point");
    const QString mp = points.value(0);
    const bool printable =
        std::ranges::none_of(mp, [](QChar c) { return c.category() == QChar::Other_Control; });
    QList<QStringList> options;
    return r.status == 0 && !utf8.hasError() && points.size() == 1 && printable &&
                   mountsUnder(mp, &options) == QStringList{mp} && options[0].contains(u"ro"_s) &&
                   options[0].contains(u"nosuid"_s) && options[0].contains(u"nodev"_s)
               ? mp
               : QString();
}

// The sample cut to the length its superblock gives, the bytes it uses, plus `extra`.
QByteArray sampleCut(qint64 extra)
{
    const QByteArray image = readFile(kSample);
    qint64 used = 0;
    for (int i = 47; i >= 40; --i)
        used = (used << 8) | static_cast<unsigned char>(image.at(i));
    return image.left(used + extra);
}

// Moves the times of `path` (not through a link) two minutes back: not made a moment ago.
bool backdate(const QString &path)
{
    const timespec ago[2] = {{std::time(nullptr) - 120, 0}, {std::time(nullptr) - 120, 0}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), ago, AT_SYMLINK_NOFOLLOW) ==
           0;
}

bool chownToNobody(const QString &path)
{
    return chownAll(path, nobody()->pw_uid, nobody()->pw_gid);
}

// Mounts `image` at `mountPoint` with its record beside, as the stand-in run by "nobody" would:
// everything, the mount included, is nobody's. FUSE is root's alone here, so squashfuse runs
// with nobody as its real user (which FUSE records as the mount's owner) and root's rights.
bool mountAsNobody(const QString &image, const QString &mountPoint)
{
    if (!QDir().mkpath(mountPoint) || !chownToNobody(mountPoint) ||
        !writeFile(mountPoint + u".image"_s, QFile::encodeName(image) + '\n') ||
        !chownToNobody(mountPoint + u".image"_s))
        return false;
    QProcess p;
    p.setChildProcessModifier([uid = nobody()->pw_uid, gid = nobody()->pw_gid] {
        if (::setresgid(gid, -1, -1) != 0 || ::setresuid(uid, -1, -1) != 0)
            ::_exit(125);
    });
    p.start(u"/usr/bin/squashfuse"_s, {u"-o"_s, u"ro"_s, image, mountPoint});
    return p.waitForFinished() && p.exitCode() == 0 &&
           mountsUnder(mountPoint) == QStringList{mountPoint};
}

} // namespace

// The stand-ins run on their own, as the installer runs them.
class TstToolStandIns : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_elsewhere; // mount points made outside the test's folder

    QString path(const QString &name) const { return m_dir->filePath(name); }

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
        unmountUnder(m_dir->path());
        for (const QString &mountPoint : std::exchange(m_elsewhere, {}))
            if (!mountsUnder(mountPoint).isEmpty() &&
                QProcess::execute(u"/bin/umount"_s, {u"-l"_s, mountPoint}) == 0) {
                QDir().rmdir(mountPoint);
                QFile::remove(mountPoint + u".image"_s);
            }
    }

    void unknownCommandLinesAreRefused_data()
    {
        // Arguments separated by "|"; "@": the sample. Made below the test's folder first:
        // "%NAME" has the sample mounted without the stand-in, "&NAME" mounted by another user,
        // "~NAME" is a link to a mount point the stand-in made, "^NAME" the sample a byte short.
        QTest::addColumn<QString>("commandLine");
        const QString script =
            u"osascript|-e|do shell script \"%1\" with administrator privileges"_s;
        // Detach takes down only what attach put up for this user: a private mount point of its
        // own, named as it is, not through a link.
        QTest::newRow("hdiutil detach, someone else's mount") << u"hdiutil|detach|%other|-quiet"_s;
        QTest::newRow("hdiutil detach, its own name in another folder")
            << u"hdiutil|detach|%sub/quorvel-volume.abcdef|-force|-quiet"_s;
        QTest::newRow("hdiutil detach, another user's image")
            << u"hdiutil|detach|&quorvel-volume.nobody|-force|-quiet"_s;
        QTest::newRow("hdiutil detach, a link to its own mount")
            << u"hdiutil|detach|~quorvel-volume.linked|-force|-quiet"_s;
        QTest::newRow("hdiutil attach, an image a byte short")
            << u"hdiutil|attach|^short.dmg|-plist"_s;
        QTest::newRow("osascript, other script") << u"osascript|-e|display dialog \"hi\""_s;
        QTest::newRow("osascript, text after the clause") << script.arg(u"true"_s) + u"\nbeep"_s;
        QTest::newRow("osascript, unknown escape") << script.arg(u"\\q"_s);
        QTest::newRow("install-bundle, relative source")
            << u"install-bundle|--uid|0|tree|/a|Quorvel.app"_s;
        QTest::newRow("install-bundle, missing name") << u"install-bundle|--uid|0|/a|/b"_s;
        QTest::newRow("install-bundle, no user") << u"install-bundle|/a|/b|Quorvel.app"_s;
        QTest::newRow("install-bundle, user not a number")
            << u"install-bundle|--uid|0x0|/a|/b|Quorvel.app"_s;
    }
    void unknownCommandLinesAreRefused()
    {
        QFETCH(QString, commandLine);
        if (commandLine.contains(u'&') && !nobody())
            QSKIP("needs root and a user 'nobody'");
        QStringList args = commandLine.replace(u'@', kSample).split(u'|');
        const QByteArray tool = args.takeFirst().toUtf8();
        for (QString &arg : args) {
            const QString at = path(arg.mid(1));
            if (arg.startsWith(u'%'))
                QVERIFY(QDir().mkpath(at) &&
                        QProcess::execute(u"/usr/bin/squashfuse"_s,
                                          {u"-o"_s, u"ro"_s, kSample, at}) == 0);
            else if (arg.startsWith(u'&'))
                QVERIFY(mountAsNobody(kSample, at));
            else if (arg.startsWith(u'~')) // a link to no name, when attach fails, is refused
                QVERIFY(QFile::link(attach(kSample), at));
            else if (arg.startsWith(u'^'))
                QVERIFY(writeFile(at, sampleCut(-1)));
            else
                continue;
            arg = at;
        }
        const QStringList mounted = mountsUnder(m_dir->path()), there = entries(m_dir->path());
        const Ran r = run(tool.constData(), args);
        QVERIFY2(r.status > 0, r.err.constData());
        // Nothing taken down, nothing put up or left; cleanup() takes down what is there.
        QCOMPARE(mountsUnder(m_dir->path()), mounted);
        QCOMPARE(entries(m_dir->path()), there);
    }

    // The privileged helper acts for one user, on paths that only root and that user control: a
    // folder of a third user's, or one others may write to (unless sticky), on the way to the
    // user's copy or to the install folder is refused before anything is made, and a bundle of a
    // third user's is not replaced. Folders by name: shared/ is root's, sticky and open to all;
    // group/ root's and open to the group; root/ root's; other/ a third user's; user/ and mine/
    // the user's, o+w/ the user's and open to others; Apps/ is made by the helper.
    // The tag says who started pkexec ("asked for by"), and whose bundle is there ("over").
    void installBundleTrustsOnlyRootAndTheUser_data()
    {
        QTest::addColumn<QString>("from"); // the user's copy, Quorvel.app
        QTest::addColumn<QString>("to");   // the install folder
        QTest::addColumn<bool>("installed");
        const QString copy = u"shared/user/Quorvel.app"_s, apps = u"shared/Apps"_s;
        QTest::newRow("sticky folder of root's") << copy << apps << true;
        QTest::newRow("asked for by the user") << copy << apps << true;
        QTest::newRow("asked for by another user") << copy << apps << false;
        QTest::newRow("into a folder of the user's") << copy << u"shared/mine/Apps"_s << true;
        QTest::newRow("copy in a third user's folder")
            << u"shared/other/user/Quorvel.app"_s << apps << false;
        QTest::newRow("copy in a folder open to the group")
            << u"group/user/Quorvel.app"_s << apps << false;
        QTest::newRow("copy in a folder of the user's open to others")
            << u"shared/o+w/Quorvel.app"_s << apps << false;
        QTest::newRow("copy in a folder of root's inside the user's")
            << u"shared/user/root/Quorvel.app"_s << apps << false;
        QTest::newRow("into a third user's folder") << copy << u"shared/other/Apps"_s << false;
        QTest::newRow("into a folder open to the group") << copy << u"group/Apps"_s << false;
        QTest::newRow("over the user's bundle") << copy << apps << true;
        QTest::newRow("over a third user's bundle") << copy << apps << false;
    }
    void installBundleTrustsOnlyRootAndTheUser()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(bool, installed);
        const QByteArray tag = QTest::currentDataTag();
        const QString old = tag.startsWith("over the user")  ? u"user"_s
                            : tag.startsWith("over a third") ? u"other"_s
                                                             : QString();
        if (!nobody())
            QSKIP("needs root and a user 'nobody'");
        const uid_t user = nobody()->pw_uid, other = 4242;
        const QMap<QString, std::pair<uid_t, mode_t>> folders{
            {u"shared"_s, {0, 01777}},       {u"group"_s, {0, 0775}},
            {u"root"_s, {0, 0755}},          {u"Apps"_s, {0, 0755}},
            {u"user"_s, {user, 0700}},       {u"mine"_s, {user, 0700}},
            {u"other"_s, {other, 0755}},     {u"o+w"_s, {user, 0757}},
            {u"Quorvel.app"_s, {user, 0755}}};
        const QString bundle = path(to) + u"/Quorvel.app"_s;
        for (const QString &way : {from, old.isEmpty() ? to.section(u'/', 0, -2) : to}) {
            QString made = m_dir->path();
            for (const QString &name : way.split(u'/')) {
                made += u'/' + name;
                const auto [owner, mode] = folders.value(name);
                QVERIFY(QDir().mkpath(made) &&
                        ::chown(QFile::encodeName(made), owner, owner) == 0 &&
                        ::chmod(QFile::encodeName(made), mode) == 0);
            }
        }
        const uid_t oldOwner = folders.value(old).first;
        QVERIFY(old.isEmpty() || (QDir().mkpath(bundle) &&
                                  ::chown(QFile::encodeName(bundle), oldOwner, oldOwner) == 0));
        QVERIFY(writeFile(path(from) + u"/AppRun"_s, "new") &&
                chownToNobody(path(from) + u"/AppRun"_s));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (tag.startsWith("asked for by"))
            env.insert(u"PKEXEC_UID"_s, QString::number(tag.endsWith("the user") ? user : other));

        const Ran r =
            run("install-bundle",
                {u"--uid"_s, QString::number(user), path(from), path(to), u"Quorvel.app"_s}, env);
        QVERIFY2((r.status == 0) == installed, r.err.constData());
        if (installed) {
            QCOMPARE(readFile(bundle + u"/AppRun"_s), "new"_ba);
            QCOMPARE(QFileInfo(bundle).ownerId(), 0u);
        } else if (old.isEmpty()) {
            QVERIFY(!QFileInfo::exists(path(to))); // nothing made
        } else {                                   // kept as it was, and nothing beside it
            QCOMPARE(QFileInfo(bundle).ownerId(), oldOwner);
            QCOMPARE(entries(path(to)) + entries(bundle), QStringList{u"Quorvel.app"_s});
        }
        QCOMPARE(entries(path(from)), QStringList{u"AppRun"_s});
    }

    // A mount point goes into the property list as text, and comes back as a path to detach;
    // under a folder it cannot print, hdiutil mounts elsewhere. An image in that folder is
    // listed by its whole path.
    void hdiutilAttachesAndDetaches_data()
    {
        QTest::addColumn<QByteArray>("tmpdir"); // below the test's folder
        QTest::newRow("plain") << "plain"_ba;
        QTest::newRow("blank") << "a b"_ba; // escaped in the mount table
        QTest::newRow("control character") << "a\001b"_ba;
        QTest::newRow("not UTF-8") << "\377\376"_ba;
        QTest::newRow("line break") << "a\nb"_ba;
    }
    void hdiutilAttachesAndDetaches()
    {
        QFETCH(QByteArray, tmpdir);
        const QByteArray odd = QFile::encodeName(m_dir->path()) + '/' + tmpdir;
        QCOMPARE(::mkdir(odd.constData(), 0700), 0);
        qputenv("TMPDIR", odd);
        // An image exactly as long as it says is whole.
        const QString exact = QFile::decodeName(odd + "/exact.dmg");
        QVERIFY(writeFile(exact, sampleCut(0)));
        const QStringList images{QFileInfo(exact).canonicalFilePath(),
                                 QFileInfo(kSample).canonicalFilePath()};
        const QStringList &mounts = m_elsewhere;
        for (const QString &image : images) {
            m_elsewhere << attach(image);
            QVERIFY(!mounts.last().isEmpty());
        }
        // Info lists each with its image and its owner, read from the mount.
        const PlistPtr info = parsePlist(run("hdiutil", {u"info"_s, u"-plist"_s}).out);
        QMap<QString, QString> listed; // mount point -> image, owner
        for (plist_t image : dictsAt(info.get(), "images")) {
            uint64_t owner = ~0ull;
            if (plist_t uid = plist_dict_get_item(image, "owner-uid"))
                plist_get_uint_val(uid, &owner);
            for (const QString &mp : stringsAt(dictsAt(image, "system-entities"), "mount-point"))
                listed[mp] = stringValue(plist_dict_get_item(image, "image-path")).value_or(u""_s) +
                             u' ' + QString::number(owner);
        }
        for (int i : {0, 1})
            QCOMPARE(listed.value(mounts[i]), images[i] + u' ' + QString::number(::getuid()));
        QCOMPARE(detach(mounts[0]), 0);
        QCOMPARE(mountsUnder(mounts[0]) + mountsUnder(mounts[1]), QStringList{mounts[1]});

        // A file held open keeps the plain detach from working; the forced one still does.
        QFile busy(mounts[1] + u"/Quorvel.app/quorvel.desktop"_s);
        QVERIFY(busy.open(QIODevice::ReadOnly));
        QVERIFY(detach(mounts[1]) != 0);
        QCOMPARE(detach(mounts[1], {u"-force"_s}), 0);
        busy.close();
        QCOMPARE(mountsUnder(mounts[1]), QStringList());
        QVERIFY(QFile::remove(exact));
        QCOMPARE(::rmdir(odd.constData()), 0); // nothing else was left in it
    }

    // The one-file setup carries squashfuse beside hdiutil: that one mounts the image when only
    // root or the user could have put it there, the system's otherwise.
    void hdiutilPrefersTheSquashfuseBesideIt_data()
    {
        QTest::addColumn<QString>("beside"); // the file mode, or how it is not to be trusted
        QTest::addColumn<bool>("used");
        QTest::newRow("the user's") << u"755"_s << true;
        QTest::newRow("open to the group") << u"775"_s << false;
        QTest::newRow("open to others") << u"757"_s << false;
        QTest::newRow("a link") << u"link"_s << false;
        QTest::newRow("in a folder open to others") << u"folder"_s << false;
    }
    void hdiutilPrefersTheSquashfuseBesideIt()
    {
        QFETCH(QString, beside);
        QFETCH(bool, used);
        const QString libexec = path(u"libexec"_s), trace = path(u"trace"_s);
        QCOMPARE(::mkdir(QFile::encodeName(libexec).constData(), 0755), 0);
        const QString hdiutil = libexec + u"/hdiutil"_s;
        QVERIFY(QFile::copy(standIn("hdiutil"), hdiutil));
        const QString script =
            beside == u"link" ? path(u"squashfuse"_s) : libexec + u"/squashfuse"_s;
        QVERIFY(writeFile(script, "#!/bin/sh\necho \"$@\" >>'" + QFile::encodeName(trace) +
                                      "'\nexec /usr/bin/squashfuse \"$@\"\n"));
        const uint mode = beside.toUInt(nullptr, 8);
        QCOMPARE(::chmod(QFile::encodeName(script).constData(), mode ? mode : 0755), 0);
        if (beside == u"link")
            QVERIFY(QFile::link(script, libexec + u"/squashfuse"_s));
        if (beside == u"folder")
            QCOMPARE(::chmod(QFile::encodeName(libexec).constData(), 0757), 0);

        const QString mountPoint =
            attach(kSample, QProcessEnvironment::systemEnvironment(), hdiutil);
        QVERIFY(!mountPoint.isEmpty());
        QCOMPARE(QFile::exists(trace), used);
        QCOMPARE(detach(mountPoint), 0);
    }

    // What killed runs left beside the mount points and in the temporary folder, and what
    // clears it. The next attach or info takes the mount points and records that killed attaches
    // and detaches left; the setup at start (here as root) takes this user's killed runs'
    // private folders and detaches the images attached from them. What is at work, not empty,
    // another user's, not a folder, or named alike stays; a record someone made first only costs
    // the attach another name. Nothing else goes, and nothing is left beside.
    void onlyWhatKilledRunsLeftGoes_data()
    {
        QTest::addColumn<QStringList>("scene");
        QTest::addColumn<QString>("action"); // "attach" (and detach), "info", or "sweep"
        // A mount point "folder" or "link", its "record", ... left by hdiutil; "gone": they go.
        const auto left = [](const char *tag, const QString &what, const QString &action) {
            QTest::newRow(tag) << QStringList{u"left "_s + what} << action;
        };
        left("attach killed before its record", u"folder gone"_s, u"attach"_s);
        left("attach killed before it mounted", u"folder record gone"_s, u"info"_s);
        left("detach killed after its rmdir", u"record gone"_s, u"attach"_s);
        left("an attach at work", u"folder record locked"_s, u"attach"_s);
        left("a mount point made a moment ago", u"folder recent"_s, u"info"_s);
        left("a record made a moment ago", u"record recent"_s, u"attach"_s);
        left("not empty", u"folder record file"_s, u"attach"_s);
        left("another user's mount point", u"folder nobody"_s, u"info"_s);
        left("another user's record", u"record nobody"_s, u"attach"_s);
        left("a link in its place", u"link record"_s, u"attach"_s);
        left("records made first by someone else", u"squat"_s, u"attach"_s);
        const auto sweep = [](const char *tag, const QStringList &scene) {
            QTest::newRow(tag) << scene << u"sweep"_s;
        };
        sweep("another user's folder", {u"foreign folder"_s});
        sweep("another user's mount", {u"foreign mount"_s});
        sweep("a live run's folder and mount", {u"live"_s});
        sweep("a killed run's folder and mount", {u"killed"_s});
        sweep("a killed run beside a live one", {u"live"_s, u"killed"_s});
        sweep("another user's mount of a killed run's image",
              {u"killed"_s, u"foreign mount of killed"_s});
        sweep("a link to another user's folder", {u"foreign mount"_s, u"link to foreign"_s});
        sweep("a link to a folder of this user's", {u"link to own"_s});
        sweep("the user's folders named alike", {u"named alike"_s});
        sweep("a run killed before it named its folder", {u"unnamed gone"_s});
        sweep("unnamed folders at work or not left empty",
              {u"unnamed recent"_s, u"unnamed locked"_s, u"unnamed not empty"_s});
    }
    void onlyWhatKilledRunsLeftGoes()
    {
        QFETCH(QStringList, scene);
        QFETCH(QString, action);
        if (scene.join(u' ').contains(QRegularExpression(u"foreign|nobody"_s)) && !nobody())
            QSKIP("needs root and a user 'nobody'");
        const QStringList bases = {m_dir->path()};
        // A folder as a run makes it in `base`, left by the run's end.
        const auto runFolder = [](const QString &base) {
            const std::unique_ptr<RunFolder> run = RunFolder::make({base});
            return run ? run->path() : QString();
        };
        QString foreign, image; // another user's run's folder; the image of the run made last
        QStringList gone, kept; // what goes, and what stays inside what stays
        std::unique_ptr<RunFolder> live, killed, unnamed;
        QFile lock;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString &part : scene) {
            const QStringList what = part.split(u' ');
            const auto has = [&what](QStringView word) { return what.contains(word); };
            if (has(u"left")) {
                const QString point = path(u"quorvel-volume.Left01"_s);
                lock.setFileName(point + u".image"_s);
                QVERIFY(QDir().mkdir(path(u"elsewhere"_s)) &&
                        (!has(u"folder") || QDir().mkdir(point)) &&
                        (!has(u"link") || QFile::link(path(u"elsewhere"_s), point)) &&
                        (!has(u"file") || writeFile(point + u"/kept"_s, "1")) &&
                        (!has(u"record") ||
                         writeFile(lock.fileName(), QFile::encodeName(kSample) + '\n')) &&
                        (!has(u"locked") ||
                         (lock.open(QIODevice::ReadOnly) && ::flock(lock.handle(), LOCK_EX) == 0)));
                for (const QString &made : {point, lock.fileName()}) {
                    if (!QFileInfo::exists(made))
                        continue;
                    QVERIFY((!has(u"nobody") || chownToNobody(made)) &&
                            (has(u"recent") || backdate(made)));
                    if (has(u"gone"))
                        gone << made;
                }
                if (has(u"squat")) {
                    environment.insert(u"QUORVEL_TEST_SQUAT"_s, u"2"_s);
                    environment.insert(u"LD_PRELOAD"_s, u"" QUORVEL_SQUAT_SHIM ""_s);
                    // A sanitizer build would refuse a library loaded ahead of its runtime.
                    environment.insert(u"ASAN_OPTIONS"_s, environment.value(u"ASAN_OPTIONS"_s) +
                                                              u":verify_asan_link_order=0"_s);
                }
            } else if (part == u"live" || part == u"killed") {
                std::unique_ptr<RunFolder> &run = part == u"live" ? live : killed;
                run = RunFolder::make(bases);
                QVERIFY(run);
                image = run->path() + u"/quorvel.dmg"_s;
                const QString mountPoint = QFile::copy(kSample, image) ? attach(image) : QString();
                QVERIFY(!mountPoint.isEmpty());
                if (run == killed)
                    gone << run->path() << mountPoint << mountPoint + u".image"_s;
            } else if (has(u"foreign")) {
                if (!has(u"killed")) {
                    foreign = runFolder(m_dir->path());
                    image = foreign + u"/quorvel.dmg"_s;
                    QVERIFY(!foreign.isEmpty() && QFile::copy(kSample, image) &&
                            chownToNobody(foreign));
                    kept << image;
                }
                QVERIFY(!has(u"mount") || mountAsNobody(image, path(u"quorvel-volume.nobody"_s)));
            } else if (part == u"named alike") {
                // Only a run's own names, the prefix and six characters, and its mark inside:
                // not the user's own folders, nor a copy of a run's.
                const QString copy = runFolder(m_dir->path()) + u'2';
                QVERIFY(QDir().rename(copy.chopped(1), copy));
                for (const QString &folder :
                     {path(u"quorvel-setup-notes"_s), path(u"quorvel-setup-1.0"_s),
                      path(u"quorvel-setup-backup"_s), copy}) {
                    QVERIFY(writeFile(folder + u"/kept"_s, "1") &&
                            ::chmod(QFile::encodeName(folder).constData(), 0700) == 0);
                    kept << folder + u"/kept"_s;
                }
            } else if (has(u"unnamed")) {
                // A run's folder under the name it has while it is made.
                std::unique_ptr<RunFolder> run = RunFolder::make(bases);
                QVERIFY(run);
                const QString folder = path(u'.' + QFileInfo(run->path()).fileName());
                QVERIFY(QDir().rename(run->path(), folder) &&
                        (!has(u"not") || writeFile(folder + u"/kept"_s, "1")) &&
                        (has(u"recent") || backdate(folder)));
                if (has(u"gone"))
                    gone << folder;
                if (has(u"locked"))
                    unnamed = std::move(run);
            } else {
                // Named as a run's folder, leading to one: of another user's, or of this
                // user's outside the folders swept.
                QVERIFY(QDir().mkdir(path(u"elsewhere"_s)));
                const QString target = has(u"own") ? runFolder(path(u"elsewhere"_s)) : foreign;
                QVERIFY(writeFile(target + u"/kept"_s, "1") &&
                        QFile::link(target, path(u"quorvel-setup-linked"_s)));
                kept << target + u"/kept"_s;
            }
        }
        killed.reset(); // its lock ends, as it does when a run is killed
        QStringList mounted = mountsUnder(m_dir->path()), there = entries(m_dir->path());
        for (const QString &p : gone) {
            mounted.removeOne(p);
            there.removeOne(QFileInfo(p).fileName());
        }

        if (action == u"sweep")
            StaleRuns::sweep(standInTools(), bases);
        else if (action == u"info")
            QCOMPARE(run("hdiutil", {u"info"_s, u"-plist"_s}).status, 0);
        else
            QCOMPARE(detach(attach(kSample, environment)), 0);
        QStringList after = entries(m_dir->path());
        if (scene.contains(u"left squat")) // records that are not the stand-in's to remove
            QCOMPARE(after.removeIf([](const QString &n) { return n.endsWith(u".image"); }),
                     qsizetype(2));
        // Another user's FUSE mount cannot even be looked at by root: the mount table tells.
        QCOMPARE(std::tuple(after, mountsUnder(m_dir->path())), std::tuple(there, mounted));
        for (const QString &p : kept)
            QVERIFY2(QFileInfo::exists(p), qPrintable(p));
    }
};

QTEST_GUILESS_MAIN(TstToolStandIns)
#include "tst_tool_standins.moc"
