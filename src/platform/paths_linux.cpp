#include "platform/paths.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>

#include <mutex>

#include <stdlib.h>

namespace Paths {

QString logFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // XDG base directories must be absolute; a relative value is ignored.
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return QDir::cleanPath(state + QStringLiteral("/Logs"));
}

QString bundlePath()
{
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    return exe.symLinkTarget().isEmpty() ? QString()
                                         : QFileInfo(exe.symLinkTarget()).absolutePath();
}

QString resourcesFolder()
{
    const QString bundle = bundlePath();
    return bundle.isEmpty() ? QString() : bundle + QStringLiteral("/Resources");
}

namespace {

// A fresh folder of mode 0700 under `base`, or empty.
QString makePrivateFolder(const QString &base)
{
    if (base.isEmpty() || !QDir().mkpath(base))
        return {};
    QByteArray pattern = QFile::encodeName(base + QStringLiteral("/quorvel-setup-XXXXXX"));
    return ::mkdtemp(pattern.data()) ? QFile::decodeName(pattern) : QString();
}

QString &privateFolder()
{
    static QString folder;
    return folder;
}

} // namespace

QString privateTemporaryFolder()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // A name no one can guess, so no one can have put a folder or a link there first.
        QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
        if (cache.isEmpty() || QDir::isRelativePath(cache))
            cache = QDir::homePath() + QStringLiteral("/.cache");
        privateFolder() = makePrivateFolder(QDir::tempPath());
        if (privateFolder().isEmpty())
            privateFolder() = makePrivateFolder(cache);
    });
    return privateFolder();
}

void removePrivateTemporaryFolder()
{
    if (!privateFolder().isEmpty())
        QDir(privateFolder()).removeRecursively();
}

QString osVersionString()
{
    return QSysInfo::prettyProductName() + QStringLiteral(", kernel ") + QSysInfo::kernelVersion();
}

} // namespace Paths
