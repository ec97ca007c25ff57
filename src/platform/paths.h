#pragma once

#include <QString>
#include <QStringList>

// Where the setup finds and keeps things on this platform.
namespace Paths {

// Per-user folder that holds the diagnostic log (created by the log, not here).
QString logFolder();

// Per-user folder for what is kept between runs (created by its users, not here).
QString stateFolder();

// The setup's own bundle: the folder that holds the executable, Resources/ and libexec/.
QString bundlePath();

// The bundle's resource folder (slides.json, artwork); empty when the bundle is unknown.
QString resourcesFolder();

// Where the setup's private folders are made, most preferred first.
QStringList privateFolderBases();

// A folder only this user can enter, for the downloaded disk image: the image is later
// installed, maybe with administrator rights, so no one else may replace it. Made on the first
// call and the same for the rest of the process, which holds it as a live run's (RunFolder);
// empty when none could be made.
QString privateTemporaryFolder();

// Removes that folder and what is left in it, if this process made one.
void removePrivateTemporaryFolder();

// The install folder offered at first, as an absolute path.
QString defaultInstallFolder();

// Human-readable operating system version for the log header.
QString osVersionString();

} // namespace Paths
