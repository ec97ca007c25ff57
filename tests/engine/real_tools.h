#pragma once

#include "platform/system_tools.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

#include <sys/xattr.h>

// The stand-ins built into the bundle's libexec/, and real SquashFS images.

inline SystemTools standInTools()
{
    const QString dir = QStringLiteral(QUORVEL_LIBEXEC_DIR "/");
    return {dir + QStringLiteral("hdiutil"), dir + QStringLiteral("xattr"),
            dir + QStringLiteral("osascript"), dir + QStringLiteral("ditto")};
}

inline QString sampleImage(const char *name)
{
    return QStringLiteral(QUORVEL_SAMPLE_DIR "/") + QString::fromUtf8(name);
}

// Packs the folder `root` into the SquashFS image `image`.
inline bool makeImage(const QString &root, const QString &image)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/mksquashfs"),
            {root, image, QStringLiteral("-noappend"), QStringLiteral("-no-progress"),
             QStringLiteral("-quiet")});
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
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
        point.replace("\\040", " ")
            .replace("\\011", "\t")
            .replace("\\012", "\n")
            .replace("\\134", "\\");
        if (QFile::decodeName(point).startsWith(prefix))
            found << QFile::decodeName(point);
    }
    return found;
}

inline bool hasAttr(const QString &path, const QString &name)
{
    return ::lgetxattr(QFile::encodeName(path).constData(), name.toUtf8().constData(), nullptr,
                       0) >= 0;
}

inline bool setAttr(const QString &path, const QString &name)
{
    return ::lsetxattr(QFile::encodeName(path).constData(), name.toUtf8().constData(), "1", 1, 0) ==
           0;
}
