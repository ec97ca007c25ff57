#include "app/compiled_settings.h"

#include "build_settings.h"

namespace CompiledSettings {

MainWindowController::Settings controller()
{
    MainWindowController::Settings settings;
    settings.downloadBaseUrl = QString::fromUtf8(BuildSettings::downloadBaseUrl);
    settings.websiteBaseUrl = QString::fromUtf8(BuildSettings::websiteBaseUrl);
    settings.caFile = QString::fromUtf8(BuildSettings::caFile);
    settings.downloadLimit = BuildSettings::downloadLimit;
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
