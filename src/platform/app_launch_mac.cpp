#include "platform/app_launch.h"

#include <QProcess>

bool launchApplication(const QString &path)
{
    return QProcess::startDetached(QStringLiteral("/usr/bin/open"), {path});
}
