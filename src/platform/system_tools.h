#pragma once

#include <QString>

// Absolute paths of the system tools the disk-image installer runs. On macOS these are the
// system's own tools; elsewhere they are the stand-ins in the setup's libexec/ folder.
struct SystemTools
{
    QString hdiutil;
    QString xattr;
    QString osascript;
    QString ditto; // run inside the privileged shell command

    // The table of this platform.
    static SystemTools platformDefault();
};
