#include "platform/paths.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>

#include <mach-o/dyld.h>

namespace Paths {

QString logFolder()
{
    return QDir::homePath() + QStringLiteral("/Library/Logs");
}

QString stateFolder()
{
    return QDir::homePath() + QStringLiteral("/Library/Application Support");
}

QString bundlePath()
{
    char buf[4096];
    uint32_t size = sizeof buf;
    if (_NSGetExecutablePath(buf, &size) != 0)
        return {};
    // .../Quorvel Setup.app/Contents/MacOS/exe -> .../Quorvel Setup.app
    QDir dir = QFileInfo(QString::fromUtf8(buf)).absoluteDir();
    dir.cdUp();
    dir.cdUp();
    return dir.absolutePath();
}

QString resourcesFolder()
{
    const QString bundle = bundlePath();
    return bundle.isEmpty() ? QString() : bundle + QStringLiteral("/Contents/Resources");
}

QStringList privateFolderBases()
{
    return {};
}

QString privateTemporaryFolder()
{
    // The system's temporary folder on macOS is already the user's own.
    return QDir::tempPath();
}

void removePrivateTemporaryFolder() {}

QString defaultInstallFolder()
{
    return QStringLiteral("/Applications");
}

QString osVersionString()
{
    return QStringLiteral("Version ") + QSysInfo::productVersion();
}

} // namespace Paths
