#include "platform/paths.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>

#include <mutex>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Paths {

QString logFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // XDG base directories must be absolute; a relative value is ignored.
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return QDir::cleanPath(state + QStringLiteral("/Logs"));
}

QString bundlePath()
{
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    return exe.symLinkTarget().isEmpty() ? QString()
                                         : QFileInfo(exe.symLinkTarget()).absolutePath();
}

QString resourcesFolder()
{
    const QString bundle = bundlePath();
    return bundle.isEmpty() ? QString() : bundle + QStringLiteral("/Resources");
}

namespace {

const QString kFolderPrefix = QStringLiteral("quorvel-setup-");

// Where private folders are made, most preferred first.
QStringList privateFolderBases()
{
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty() || QDir::isRelativePath(cache))
        cache = QDir::homePath() + QStringLiteral("/.cache");
    return {QDir::tempPath(), cache};
}

// A fresh folder of mode 0700 under `base`, or empty.
QString makePrivateFolder(const QString &base)
{
    if (base.isEmpty() || !QDir().mkpath(base))
        return {};
    QByteArray pattern = QFile::encodeName(base + u'/' + kFolderPrefix + QStringLiteral("XXXXXX"));
    return ::mkdtemp(pattern.data()) ? QFile::decodeName(pattern) : QString();
}

QString &privateFolder()
{
    static QString folder;
    return folder;
}

} // namespace

QString privateTemporaryFolder()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // A name no one can guess, so no one can have put a folder or a link there first.
        for (const QString &base : privateFolderBases()) {
            privateFolder() = makePrivateFolder(base);
            if (!privateFolder().isEmpty())
                break;
        }
    });
    return privateFolder();
}

void removePrivateTemporaryFolder()
{
    if (!privateFolder().isEmpty())
        QDir(privateFolder()).removeRecursively();
}

void removeStaleTemporaryFolders()
{
    for (const QString &base : privateFolderBases()) {
        const QStringList names =
            QDir(base).entryList({kFolderPrefix + u'*'}, QDir::Dirs | QDir::Hidden);
        for (const QString &name : names) {
            const QString path = base + u'/' + name;
            struct stat st = {};
            // Only real folders of this user's; never one reached through a link.
            if (path == privateFolder() || ::lstat(QFile::encodeName(path).constData(), &st) != 0 ||
                !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
                continue;
            QDir(path).removeRecursively();
        }
    }
}

bool isStaleTemporaryPath(const QString &path)
{
    const QString own = privateFolder();
    if (!own.isEmpty() && path.startsWith(own + u'/'))
        return false;
    if (path.contains(QStringLiteral("/../")))
        return false;
    for (const QString &base : privateFolderBases()) {
        // As given, and with links resolved, as a tool may print it.
        for (const QString &folder : {QDir::cleanPath(base), QFileInfo(base).canonicalFilePath()}) {
            const QString prefix = folder + u'/' + kFolderPrefix;
            // quorvel-setup-XXXXXX/...: one folder of ours, and something in it.
            if (!folder.isEmpty() && path.startsWith(prefix) &&
                path.indexOf(u'/', prefix.size()) > prefix.size())
                return true;
        }
    }
    return false;
}

QString osVersionString()
{
    return QSysInfo::prettyProductName() + QStringLiteral(", kernel ") + QSysInfo::kernelVersion();
}

} // namespace Paths
