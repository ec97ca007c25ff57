#pragma once

#include <QString>

// Absolute paths of the system tools the disk-image installer runs. On macOS these are the
// system's own tools; elsewhere they are the stand-ins in the setup's libexec/ folder.
struct SystemTools
{
    QString hdiutil;
    QString xattr;
    QString osascript;
    QString ditto; // the bundle copy as a tool; the installer copies in process, the same way
    // The setup's own helper, the whole of the privileged shell command: copies a bundle
    // beside the installed one, clears its quarantine mark and swaps it into place, working
    // from folder descriptors (install-bundle SRC DESTDIR NAME).
    QString installBundle = {};

    // The table of this platform.
    static SystemTools platformDefault();
};
