#include "platform/paths.h"
#include "platform/run_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include <mutex>

namespace Paths {

QString logFolder()
{
    return stateFolder() + QStringLiteral("/Logs");
}

QString stateFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // XDG base directories must be absolute; a relative value is ignored.
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return QDir::cleanPath(state);
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

QStringList privateFolderBases()
{
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty() || QDir::isRelativePath(cache))
        cache = QDir::homePath() + QStringLiteral("/.cache");
    return {QDir::tempPath(), cache};
}

namespace {

std::unique_ptr<RunFolder> &ownFolder()
{
    static std::unique_ptr<RunFolder> folder;
    return folder;
}

} // namespace

QString privateTemporaryFolder()
{
    static std::once_flag once;
    std::call_once(once, [] { ownFolder() = RunFolder::make(privateFolderBases()); });
    return ownFolder() ? ownFolder()->path() : QString();
}

void removePrivateTemporaryFolder()
{
    if (ownFolder())
        ownFolder()->remove();
}

QString defaultInstallFolder()
{
    // Where a user keeps applications of their own: installing there needs no password. A home
    // whose name cannot be carried as text would name another folder; the system's then stands.
    const QByteArray home = qgetenv("HOME");
    if (home.isEmpty() || QFile::encodeName(QFile::decodeName(home)) != home ||
        QDir::homePath() == QStringLiteral("/"))
        return QStringLiteral("/Applications");
    return QDir::homePath() + QStringLiteral("/Applications");
}

QString osVersionString()
{
    return QSysInfo::prettyProductName() + QStringLiteral(", kernel ") + QSysInfo::kernelVersion();
}

} // namespace Paths
