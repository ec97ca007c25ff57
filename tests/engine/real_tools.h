#pragma once

#include "platform/system_tools.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <pwd.h>
#include <unistd.h>

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

// Mount points in this process's mount table that lie under `prefix`; with `options`, what the
// kernel applies to each (ro, nosuid, ...).
inline QStringList mountsUnder(const QString &prefix, QList<QStringList> *options = nullptr)
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return {QStringLiteral("cannot read the mount table")};
    QStringList found;
    for (const QByteArray &line : table.readAll().split('\n')) {
        QByteArray point = line.split(' ').value(4);
        point.replace("\\040", " ").replace("\\011", "\t").replace("\\012", "\n");
        const QString decoded = QFile::decodeName(point.replace("\\134", "\\"));
        if (decoded.startsWith(prefix)) {
            found << decoded;
            if (options)
                *options << QString::fromUtf8(line.split(' ').value(5)).split(u',');
        }
    }
    return found;
}

// Takes down every mount under `prefix`, the deepest first; false when one stays.
inline bool unmountUnder(const QString &prefix)
{
    QStringList mounted = mountsUnder(prefix);
    std::sort(mounted.rbegin(), mounted.rend());
    return std::ranges::all_of(mounted, [](const QString &p) {
        return QProcess::execute(QStringLiteral("/bin/umount"), {QStringLiteral("-l"), p}) == 0;
    });
}

// The user "nobody" where the tests run as root, to stand for an unprivileged user; else null.
inline const passwd *nobody()
{
    return ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
}

// Gives `path` and all below it, links themselves and not what they lead to, to uid:gid.
inline bool chownAll(const QString &path, uint uid, uint gid)
{
    return QProcess::execute(
               QStringLiteral("/bin/chown"),
               {QStringLiteral("-hR"), QStringLiteral("%1:%2").arg(uid).arg(gid), path}) == 0;
}
