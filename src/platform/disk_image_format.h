#pragma once

#include <QString>

// Whether the file at `path` is a disk image this platform mounts (a SquashFS file on Linux, a
// UDIF image on macOS), judged by its format's fixed marks. A page a captive portal answered in
// its place fails here rather than at the mount.
bool hasDiskImageFormat(const QString &path);
