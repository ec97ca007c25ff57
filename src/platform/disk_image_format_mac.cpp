#include "platform/disk_image_format.h"

#include <QFile>

namespace {
constexpr qint64 kTrailerSize = 512;
}

// A UDIF trailer: the last 512 bytes begin with "koly".
bool hasDiskImageFormat(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() >= kTrailerSize &&
           file.seek(file.size() - kTrailerSize) && file.read(4) == "koly";
}
