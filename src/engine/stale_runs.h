#pragma once

#include "platform/system_tools.h"

#include <QStringList>

// What this user's killed runs of the setup left: their private folders (RunFolder), and the
// disk images attached from them that they ended before detaching.
namespace StaleRuns {

// Detaches those images, each logged, and removes those folders in `bases`; never a live run's,
// nor anything of another user's. Blocks while the hdiutil tool runs: for a worker at start-up.
void sweep(const SystemTools &tools, const QStringList &bases);

} // namespace StaleRuns
