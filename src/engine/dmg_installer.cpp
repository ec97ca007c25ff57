#include "engine/dmg_installer.h"

#include "diag/log.h"
#include "engine/main_thread.h"
#include "engine/tool_runner.h"
#include "platform/tree_copy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
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

std::filesystem::path fsPath(const QString &path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// Removes a file, a link (not its target) or a whole folder; failures are ignored.
void removeTree(const QString &path)
{
    std::error_code ignored;
    std::filesystem::remove_all(fsPath(path), ignored);
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

using PlistPtr = std::unique_ptr<void, decltype(&plist_free)>;

std::optional<QString> stringValue(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    char *value = nullptr;
    plist_get_string_val(node, &value);
    if (!value)
        return std::nullopt;
    QString text = QString::fromUtf8(value);
    std::free(value);
    return text;
}

// The first entity of the attach result with a non-empty "mount-point".
std::optional<QString> mountPointOf(const QByteArray &plistText)
{
    plist_t root = nullptr;
    plist_from_memory(plistText.constData(), static_cast<uint32_t>(plistText.size()), &root);
    const PlistPtr owner(root, &plist_free);
    if (!root || plist_get_node_type(root) != PLIST_DICT)
        return std::nullopt;
    plist_t entities = plist_dict_get_item(root, "system-entities");
    if (!entities || plist_get_node_type(entities) != PLIST_ARRAY)
        return std::nullopt;
    for (uint32_t i = 0, n = plist_array_get_size(entities); i < n; ++i) {
        plist_t entity = plist_array_get_item(entities, i);
        if (plist_get_node_type(entity) != PLIST_DICT)
            continue;
        const std::optional<QString> mountPoint =
            stringValue(plist_dict_get_item(entity, "mount-point"));
        if (mountPoint && !mountPoint->isEmpty())
            return mountPoint;
    }
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

bool isWritableFolder(const QString &path)
{
    return ::access(QFile::encodeName(path).constData(), W_OK) == 0;
}

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

QString DMGInstaller::stagingPath(const QString &destination)
{
    const QFileInfo info(destination);
    return joinPath(info.path(), u'.' + info.fileName() + QStringLiteral(".installing"));
}

void DMGInstaller::start()
{
    // The global pool is drained before the application object goes away, so a detach in
    // progress is not cut off at exit.
    QThreadPool::globalInstance()->start([self = shared_from_this()] { self->run(); });
}

void DMGInstaller::run()
{
    ITLog("INST: mounting %@", dmgPath);
    status(kStageMount);
    const std::optional<QString> mountPoint = attachDMG();
    if (!mountPoint)
        return finishSuccess(false, std::nullopt, kMountFailed);
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
    QString candidate = joinPath(mountPoint, appName);
    if (!QFileInfo::exists(candidate)) {
        if (const std::optional<QString> first = firstAppInDirectory(mountPoint))
            candidate = *first;
    }
    if (!QFileInfo::exists(candidate))
        return finishSuccess(false, std::nullopt, kAppNotFound);

    const QString destination = joinPath(destDir, QFileInfo(candidate).fileName());
    ITLog("INST: copying %@ -> %@", candidate, destination);
    status(kStageCopy);
    if (const std::optional<QString> message = copyApp(candidate, destination))
        return finishSuccess(false, std::nullopt, *message);

    runTool(tools.xattr,
            {QStringLiteral("-dr"), QStringLiteral("com.apple.quarantine"), destination});
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

std::optional<QString> DMGInstaller::attachDMG()
{
    ToolOutput output;
    const int rc = runTool(tools.hdiutil,
                           {QStringLiteral("attach"), dmgPath, QStringLiteral("-nobrowse"),
                            QStringLiteral("-noverify"), QStringLiteral("-readonly"),
                            QStringLiteral("-plist")},
                           &output);
    if (rc != 0 || !output.standardOutput || output.standardOutput->isEmpty()) {
        ITLog("INST: hdiutil attach failed, rc=%d", rc);
        return std::nullopt;
    }
    return mountPointOf(output.standardOutput->toUtf8());
}

std::optional<QString> DMGInstaller::firstAppInDirectory(const QString &dir)
{
    const QStringList names = QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString &name : names)
        if (pathExtension(name) == u"app")
            return joinPath(dir, name);
    return std::nullopt;
}

std::optional<QString> DMGInstaller::copyApp(const QString &source, const QString &destination)
{
    if (isWritableFolder(destDir)) {
        // The old bundle is replaced only by a complete copy.
        const QString staging = stagingPath(destination);
        removeTree(staging);
        std::string error = TreeCopy::copyTree(QFile::encodeName(source).toStdString(),
                                               QFile::encodeName(staging).toStdString());
        if (error.empty()) {
            // The old bundle steps aside rather than being removed, so that a failed rename
            // can put it back.
            const QString aside = staging + QStringLiteral(".previous");
            const bool hadOld =
                QFileInfo::exists(destination) || QFileInfo(destination).isSymLink();
            removeTree(aside);
            std::error_code ec;
            if (hadOld)
                std::filesystem::rename(fsPath(destination), fsPath(aside), ec);
            if (!ec)
                std::filesystem::rename(fsPath(staging), fsPath(destination), ec);
            if (!ec) {
                removeTree(aside);
                return std::nullopt;
            }
            std::error_code ignored;
            if (hadOld && !QFileInfo::exists(destination))
                std::filesystem::rename(fsPath(aside), fsPath(destination), ignored);
            error = "cannot replace " + QFile::encodeName(destination).toStdString() + ": " +
                    ec.message();
        }
        removeTree(staging);
        ITLog("INST: direct copy failed (%@), retrying with privileges",
              QFile::decodeName(QByteArray::fromStdString(error)));
    }
    return privilegedCopy(source, destination);
}

std::optional<QString> DMGInstaller::privilegedCopy(const QString &source,
                                                    const QString &destination)
{
    status(kStageAuthorize);
    // Copy beside the old bundle first, replace it only once the copy is complete, and
    // leave no half copy behind on failure.
    const QString staging = shellQuoted(stagingPath(destination));
    const QString command =
        QStringLiteral("/bin/rm -rf %1 && %2 %3 %1 && /bin/rm -rf %4 && /bin/mv %1 %4 || "
                       "{ /bin/rm -rf %1; exit 1; }")
            .arg(staging, shellQuoted(tools.ditto), shellQuoted(source), shellQuoted(destination));
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
