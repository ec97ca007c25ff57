#include "platform/disk_image_format.h"

#include <QFile>

// A SquashFS superblock leads the file with the magic "hsqs" (0x73717368, little endian).
bool hasDiskImageFormat(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(4) == "hsqs";
}
