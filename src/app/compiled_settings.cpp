#include "app/compiled_settings.h"

#include "build_settings.h"
#include "platform/activity_hold.h"
#include "platform/app_launch.h"
#include "platform/processor.h"

#include <QCoreApplication>
#include <QDesktopServices>

namespace CompiledSettings {

MainWindowController::Settings controller()
{
    MainWindowController::Settings settings;
    SetupFlow::Settings &flow = settings.flow;
    flow.downloadBaseUrl = QString::fromUtf8(BuildSettings::downloadBaseUrl);
    flow.websiteBaseUrl = QString::fromUtf8(BuildSettings::websiteBaseUrl);
    flow.caFile = QString::fromUtf8(BuildSettings::caFile);
    flow.downloadLimit = BuildSettings::downloadLimit;
    flow.imagePublicKey = QByteArray(BuildSettings::imagePublicKey);
    flow.platform = {&QDesktopServices::openUrl, &::launchApplication, &beginActivityHold,
                     &::prefersArmImage, &QCoreApplication::quit};
    return settings;
}

AnalyticsSettings analytics()
{
    return {.host = QString::fromUtf8(BuildSettings::measurementProtocolHost),
            .measurementId = QString::fromUtf8(BuildSettings::measurementId),
            .apiSecret = QString::fromUtf8(BuildSettings::apiSecret),
            .caFile = QString::fromUtf8(BuildSettings::caFile)};
}

QString bundleIdentifier()
{
    return QString::fromUtf8(BuildSettings::bundleIdentifier);
}

} // namespace CompiledSettings
