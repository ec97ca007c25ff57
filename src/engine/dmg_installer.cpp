#include "engine/dmg_installer.h"

#include "diag/log.h"
#include "engine/main_thread.h"
#include "engine/plist_text.h"
#include "engine/tool_runner.h"
#include "platform/tree_copy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kStageMount = QStringLiteral("mount");
const QString kStageCopy = QStringLiteral("copy");
const QString kStageAuthorize = QStringLiteral("authorize");

const QString kMountFailed = QStringLiteral("Could not mount the disk image.");
const QString kAppNotFound = QStringLiteral("The application was not found in the disk image.");
const QString kCancelled =
    QStringLiteral("Installation was cancelled at the authorization prompt.");
const QString kCopyFailed =
    QStringLiteral("Could not copy the application to the install location.");

// Joins with exactly one separator, like appending a path component.
QString joinPath(QString dir, const QString &name)
{
    while (dir.size() > 1 && dir.endsWith(u'/'))
        dir.chop(1);
    if (!dir.endsWith(u'/'))
        dir += u'/';
    return dir + name;
}

QString pathExtension(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot < 0 ? QString() : name.mid(dot + 1);
}

std::string encoded(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

QString decoded(const std::string &text)
{
    return QFile::decodeName(QByteArray::fromStdString(text));
}

// One POSIX shell word: inside apostrophes everything is literal but the apostrophe.
QString shellQuoted(QString path)
{
    path.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + path + u'\'';
}

// Contents of an AppleScript string literal.
QString appleScriptEscaped(QString text)
{
    text.replace(u'\\', QStringLiteral("\\\\"));
    text.replace(u'"', QStringLiteral("\\\""));
    return text;
}

// What an attach printed: the non-empty mount points and the device entries of its entities.
struct AttachOutput
{
    QStringList mountPoints, devEntries;
};

AttachOutput parseAttach(const QByteArray &plistText)
{
    const PlistPtr owner = parsePlist(plistText);
    const QList<plist_t> entities = dictsAt(owner.get(), "system-entities");
    return {stringsAt(entities, "mount-point"), stringsAt(entities, "dev-entry")};
}

// A mount point to work in: an absolute path of plain text naming a folder.
bool usableMountPoint(const QString &path)
{
    if (!path.startsWith(u'/'))
        return false;
    for (const QChar c : path)
        if (c.category() == QChar::Other_Control)
            return false;
    return QFileInfo(path).isDir();
}

// A bundle name stays inside the mount point: one path component, not "." or "..".
bool plainName(const QString &name)
{
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') &&
           !name.contains(QChar(u'\0'));
}

enum class Entry
{
    Missing,
    Folder,
    Other
};

// What is at `path` itself, a link not followed.
Entry entryAt(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? Entry::Missing : Entry::Other;
    return S_ISDIR(st.st_mode) ? Entry::Folder : Entry::Other;
}

// `path` made absolute with every link resolved, as the bytes the file system holds: a name
// that is not valid text would not survive a trip through QString. Missing components at its
// end stay as written. The bundle helper walks such a path without following any link.
QByteArray resolvedPath(const QByteArray &absolute)
{
    QByteArray existing = absolute;
    for (;;) {
        if (char *real = ::realpath(existing.constData(), nullptr)) {
            QByteArray resolved(real);
            std::free(real);
            const QByteArray rest = absolute.mid(existing.size());
            return resolved == "/" && !rest.isEmpty() ? rest : resolved + rest;
        }
        const qsizetype slash = existing.lastIndexOf('/');
        if ((errno != ENOENT && errno != ENOTDIR) || slash <= 0)
            return absolute;
        existing.truncate(slash);
    }
}

// Not cleaned as text: "link/.." is the folder that holds the link's target, as the kernel has it.
QByteArray absoluteBytes(const QString &path)
{
    const QByteArray bytes = QFile::encodeName(path);
    return bytes.startsWith('/') ? bytes : QFile::encodeName(QDir::currentPath()) + '/' + bytes;
}

// The absolute `path` with every link resolved, as text for the privileged command, which takes its
// paths through a script's text: a real name that is not text would arrive as another name, which
// root would then make.
std::optional<QString> resolvedText(const QByteArray &path)
{
    const QByteArray resolved = resolvedPath(path);
    const QString text = QFile::decodeName(resolved);
    if (QFile::encodeName(text) == resolved)
        return text;
    ITLog("INST: refusing %@: its real path, %@, is not valid text", QFile::decodeName(path), text);
    return std::nullopt;
}

QString currentExceptionText()
{
    try {
        throw;
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

// A fresh folder of mode 0700 beside the disk image, removed with all it holds at scope end.
struct PrivateFolder
{
    QByteArray path;
    explicit PrivateFolder(const QString &besideFile)
    {
        QByteArray pattern = QFile::encodeName(joinPath(QFileInfo(besideFile).absolutePath(),
                                                        QStringLiteral(".quorvel-bundle-XXXXXX")));
        if (::mkdtemp(pattern.data()))
            path = pattern;
    }
    PrivateFolder(const PrivateFolder &) = delete;
    PrivateFolder &operator=(const PrivateFolder &) = delete;
    ~PrivateFolder()
    {
        if (!path.isEmpty())
            TreeCopy::removeTree(path.toStdString());
    }
};

} // namespace

// Detaches the mounted image however the steps after the mount end.
struct DMGInstaller::DetachAtScopeEnd
{
    DMGInstaller &installer;
    const QString mountPoint;
    ~DetachAtScopeEnd() { installer.detach(mountPoint); }
};

DMGInstaller::DMGInstaller(const QString &dmgPath, const QString &appName, const QString &destDir,
                           SystemTools tools)
    : dmgPath(dmgPath), appName(appName), destDir(destDir), tools(std::move(tools))
{}

void DMGInstaller::start()
{
    // The global pool is drained before the application object goes away, so a detach in
    // progress is not cut off at exit.
    runOnPool([self = shared_from_this()] { self->run(); });
}

void DMGInstaller::run()
{
    ITLog("INST: mounting %@", dmgPath);
    status(kStageMount);
    const Attached attached = attachDMG();
    const std::optional<QString> &mountPoint = attached.mountPoint;
    if (!mountPoint) {
        finishSuccess(false, std::nullopt, kMountFailed);
        for (const QString &leftover : attached.toDetach)
            detach(leftover);
        return;
    }
    ITLog("INST: mounted at %@", *mountPoint);

    const DetachAtScopeEnd detachGuard{*this, *mountPoint};
    try {
        install(*mountPoint);
    } catch (...) {
        // Every run ends with one completion, even one cut short; the guard still detaches.
        ITLog("INST: install failed: %@", currentExceptionText());
        if (!m_completed)
            finishSuccess(false, std::nullopt, kCopyFailed);
    }
}

void DMGInstaller::install(const QString &mountPoint)
{
    // Only a real folder inside the mount point: no name that leads out of it, no link.
    QString candidate = joinPath(mountPoint, appName);
    Entry found = plainName(appName) ? entryAt(candidate) : Entry::Other;
    if (found == Entry::Missing) {
        if (const std::optional<QString> first = firstAppInDirectory(mountPoint)) {
            ITLog("INST: %@ is not in the image, taking %@", appName, QFileInfo(*first).fileName());
            candidate = *first;
            found = Entry::Folder;
        }
    } else if (found == Entry::Other) {
        ITLog("INST: not a bundle folder: %@", candidate);
    }
    if (found != Entry::Folder)
        return finishSuccess(false, std::nullopt, kAppNotFound);

    const QString destination = joinPath(destDir, QFileInfo(candidate).fileName());
    ITLog("INST: copying %@ -> %@", candidate, destination);
    status(kStageCopy);
    if (const std::optional<QString> message = copyApp(candidate, destination))
        return finishSuccess(false, std::nullopt, *message);

    ITLog("INST: install SUCCESS at %@", destination);
    finishSuccess(true, destination, std::nullopt);
}

void DMGInstaller::status(const QString &stage)
{
    postToMainThread([self = shared_from_this(), stage] {
        if (self->onStatus)
            self->onStatus(stage);
    });
}

void DMGInstaller::finishSuccess(bool success, const std::optional<QString> &app,
                                 const std::optional<QString> &error)
{
    m_completed = true;
    postToMainThread([self = shared_from_this(), success, app, error] {
        if (self->onComplete)
            self->onComplete(success, app, error);
    });
}

DMGInstaller::Attached DMGInstaller::attachDMG()
{
    ToolOutput output;
    const int rc = runTool(tools.hdiutil,
                           {QStringLiteral("attach"), dmgPath, QStringLiteral("-nobrowse"),
                            QStringLiteral("-noverify"), QStringLiteral("-readonly"),
                            QStringLiteral("-plist")},
                           &output);
    if (rc != 0 || !output.standardOutput || output.standardOutput->isEmpty()) {
        ITLog("INST: hdiutil attach failed, rc=%d", rc);
        return {};
    }
    const AttachOutput printed = parseAttach(output.standardOutput->toUtf8());
    if (!printed.mountPoints.isEmpty() && usableMountPoint(printed.mountPoints.first()))
        return {printed.mountPoints.first(), {}};
    // It said it attached: whatever it names may be mounted, so it is detached all the same.
    ITLog("INST: no usable mount point in the hdiutil output");
    return {std::nullopt, printed.mountPoints.isEmpty() ? printed.devEntries : printed.mountPoints};
}

std::optional<QString> DMGInstaller::firstAppInDirectory(const QString &dir)
{
    const QStringList names = QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString &name : names)
        if (pathExtension(name) == u"app" && entryAt(joinPath(dir, name)) == Entry::Folder)
            return joinPath(dir, name);
    return std::nullopt;
}

std::optional<QString> DMGInstaller::copyApp(const QString &source, const QString &destination)
{
    // Missing folders the user can make are the user's own: no prompt, nothing of root's.
    TreeCopy::Placement how;
    how.createFolders = true;
    std::string leftover;
    const TreeCopy::Failure error =
        TreeCopy::placeTree(resolvedPath(absoluteBytes(source)).toStdString(),
                            resolvedPath(absoluteBytes(destDir)).toStdString(),
                            encoded(QFileInfo(destination).fileName()), how, &leftover);
    if (error.empty()) {
        if (!leftover.empty())
            ITLog("INST: the previous copy stays: %@", decoded(leftover));
        runTool(tools.xattr,
                {QStringLiteral("-dr"), QStringLiteral("com.apple.quarantine"), destination});
        return std::nullopt;
    }
    // Only a refusal by something of root's is worth the password: rights add no disk space,
    // and root must not take another user's entry.
    if (!error.rightsWouldMend()) {
        ITLog("INST: copy failed (%@); administrator rights would not help", decoded(error.text()));
        return kCopyFailed;
    }
    ITLog("INST: direct copy failed (%@), retrying with privileges", decoded(error.text()));
    return privilegedCopy(source, destination);
}

std::optional<QString> DMGInstaller::privilegedCopy(const QString &source,
                                                    const QString &destination)
{
    const std::optional<QString> target = resolvedText(absoluteBytes(destDir));
    if (!target)
        return kCopyFailed;
    // Root cannot read a user's FUSE mount (no user_allow_other on a stock system), so the
    // bundle leaves the image first as the user's own copy, beside the image: that folder is
    // private to the user, so no one else can change what root then copies.
    const PrivateFolder folder(dmgPath);
    if (folder.path.isEmpty()) {
        ITLog("INST: no private folder beside %@", dmgPath);
        return kCopyFailed;
    }
    const QByteArray bundlePath =
        folder.path + '/' + QFile::encodeName(QFileInfo(source).fileName());
    if (const TreeCopy::Failure error =
            TreeCopy::copyTree(encoded(source), bundlePath.toStdString());
        !error.empty()) {
        ITLog("INST: copy out of the image failed (%@)", decoded(error.text()));
        return kCopyFailed;
    }
    const std::optional<QString> bundle = resolvedText(bundlePath);
    if (!bundle)
        return kCopyFailed;

    status(kStageAuthorize);
    // One helper does it all from folder descriptors: copy beside the old bundle, clear the
    // quarantine mark, swap, remove the old one; on failure the old bundle stays. It acts for
    // this user only, on paths no one else can change by the time the prompt is answered.
    const QString command = QStringList{shellQuoted(tools.installBundle),
                                        QStringLiteral("--uid"),
                                        QString::number(::getuid()),
                                        shellQuoted(*bundle),
                                        shellQuoted(*target),
                                        shellQuoted(QFileInfo(destination).fileName())}
                                .join(u' ');
    const QString script = QStringLiteral("do shell script \"") + appleScriptEscaped(command) +
                           QStringLiteral("\" with administrator privileges");
    ToolOutput output;
    const int rc = runTool(tools.osascript, {QStringLiteral("-e"), script}, &output);
    if (rc == 0)
        return std::nullopt;

    // The script runner reports a dismissed prompt on either stream.
    QStringList printed;
    for (const std::optional<QString> &stream : {output.standardOutput, output.standardError})
        if (stream && !stream->trimmed().isEmpty())
            printed << stream->simplified();
    const QString out = printed.join(QStringLiteral(" | "));
    ITLog("INST: privileged copy failed, rc=%d out=%@", rc, out);
    if (out.contains(QStringLiteral("-128")) || out.contains(QStringLiteral("User canceled")))
        return kCancelled;
    return kCopyFailed;
}

void DMGInstaller::detach(const std::optional<QString> &mountPoint)
{
    if (!mountPoint)
        return;
    ITLog("INST: detaching %@", *mountPoint);
    if (runTool(tools.hdiutil, {QStringLiteral("detach"), *mountPoint, QStringLiteral("-quiet")}) !=
        0)
        runTool(tools.hdiutil, {QStringLiteral("detach"), *mountPoint, QStringLiteral("-force"),
                                QStringLiteral("-quiet")});
}
