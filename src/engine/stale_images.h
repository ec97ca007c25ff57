#pragma once

#include "platform/system_tools.h"

#include <QString>

#include <functional>

// Disk images that a killed setup left attached: it ended before it could detach them.
namespace StaleImages {

// Detaches every attached image whose file lies where `isStale` says a killed run kept its
// download, each logged. Blocks while the hdiutil tool runs: for a worker at start-up.
void detach(const SystemTools &tools, const std::function<bool(const QString &imagePath)> &isStale);

} // namespace StaleImages
