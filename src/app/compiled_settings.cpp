#include "app/compiled_settings.h"

#include "build_settings.h"
#include "platform/activity_hold.h"
#include "platform/app_launch.h"
#ifndef Q_OS_MACOS
#include "platform/desktop_entry.h"
#endif
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
#ifdef Q_OS_MACOS
    const auto registerApplication = nullptr; // the system finds what is in its folder
#else
    const auto registerApplication = &DesktopEntry::add;
#endif
    flow.platform = {&QDesktopServices::openUrl, &::launchApplication,    &beginActivityHold,
                     &::prefersArmImage,         &QCoreApplication::quit, registerApplication};
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
