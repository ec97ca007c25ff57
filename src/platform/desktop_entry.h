#pragma once

#include <QString>

// The desktop's entry for an installed application bundle (an AppDir), so that the desktop's
// application list shows it. Written for the user who runs the setup, into
// $XDG_DATA_HOME/applications, from the bundle's own .desktop file.
namespace DesktopEntry {

// The user's applications folder: $XDG_DATA_HOME/applications, by default
// ~/.local/share/applications.
QString applicationsFolder();

// Writes the entry for the bundle at `appPath`, replacing the one of an earlier install (a
// temporary file renamed into place, so that no half entry is ever seen), then has
// update-desktop-database refresh the folder in the background when it is installed.
// True with the entry's path in `detail`; false with why it was not written.
bool add(const QString &appPath, QString *detail);

} // namespace DesktopEntry
