#pragma once

#include <QString>

// Starts the installed application bundle at `path` on its own, not as a child the setup
// waits for. False when it could not be started.
bool launchApplication(const QString &path);
