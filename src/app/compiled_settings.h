#pragma once

#include "app/main_window_controller.h"
#include "diag/analytics.h"

// The settings this program was built with: the hosts, the analytics ids, the trust anchors,
// the images' signing key and the largest download. The program has no other configuration.
namespace CompiledSettings {
MainWindowController::Settings controller();
AnalyticsSettings analytics();
QString bundleIdentifier();
} // namespace CompiledSettings
