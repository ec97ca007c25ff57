#include "platform/app_launch.h"

#include <QProcess>

bool launchApplication(const QString &path)
{
    // The bundle is an AppDir: its AppRun starts the application, from inside the bundle.
    return QProcess::startDetached(path + QStringLiteral("/AppRun"), {}, path);
}
