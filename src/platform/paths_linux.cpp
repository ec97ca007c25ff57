#include "platform/paths.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>

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

QString osVersionString()
{
    return QSysInfo::prettyProductName() + QStringLiteral(", kernel ") + QSysInfo::kernelVersion();
}

} // namespace Paths
