#pragma once

#include "platform/system_tools.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

// The stand-ins built into the bundle's libexec/, real SquashFS images, and what they leave.

inline QString standIn(const char *name)
{
    return QStringLiteral(QUORVEL_LIBEXEC_DIR "/") + QString::fromUtf8(name);
}

inline SystemTools standInTools()
{
    return {standIn("hdiutil"), standIn("xattr"), standIn("osascript"), standIn("ditto"),
            standIn("install-bundle")};
}

inline QString sampleImage(const char *name)
{
    return QStringLiteral(QUORVEL_SAMPLE_DIR "/") + QString::fromUtf8(name);
}

// Packs the folder `root` into the SquashFS image `image`.
inline bool makeImage(const QString &root, const QString &image)
{
    return QProcess::execute(QStringLiteral("/usr/bin/mksquashfs"),
                             {root, image, QStringLiteral("-noappend"),
                              QStringLiteral("-no-progress"), QStringLiteral("-quiet")}) == 0;
}

// Mount points in this process's mount table that lie under `prefix`.
inline QStringList mountsUnder(const QString &prefix)
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return {QStringLiteral("cannot read the mount table")};
    QStringList found;
    for (const QByteArray &line : table.readAll().split('\n')) {
        QByteArray point = line.split(' ').value(4);
        point.replace("\\040", " ").replace("\\011", "\t").replace("\\012", "\n");
        const QString decoded = QFile::decodeName(point.replace("\\134", "\\"));
        if (decoded.startsWith(prefix))
            found << decoded;
    }
    return found;
}
