#pragma once

#include <QString>

// Where the setup finds and keeps things on this platform.
namespace Paths {

// Per-user folder that holds the diagnostic log (created by the log, not here).
QString logFolder();

// The setup's own bundle: the folder that holds the executable, Resources/ and libexec/.
QString bundlePath();

// The bundle's resource folder (slides.json, artwork); empty when the bundle is unknown.
QString resourcesFolder();

// Human-readable operating system version for the log header.
QString osVersionString();

} // namespace Paths
