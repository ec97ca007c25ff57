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

// A folder only this user can enter, for the downloaded disk image: the image is later
// installed, maybe with administrator rights, so no one else may replace it. Made on the first
// call and the same for the rest of the process; empty when none could be made.
QString privateTemporaryFolder();

// Removes that folder and what is left in it, if this process made one.
void removePrivateTemporaryFolder();

// Removes such folders of this user that earlier runs left behind when they were killed. Only
// for the one running instance to call.
void removeStaleTemporaryFolders();

// Whether `path` lies in such a folder of an earlier run (whether or not it is still there).
bool isStaleTemporaryPath(const QString &path);

// Human-readable operating system version for the log header.
QString osVersionString();

} // namespace Paths
