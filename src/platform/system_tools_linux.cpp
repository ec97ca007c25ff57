#include "platform/paths.h"
#include "platform/system_tools.h"

SystemTools SystemTools::platformDefault()
{
    const QString libexec = Paths::bundlePath() + QStringLiteral("/libexec/");
    return {libexec + QStringLiteral("hdiutil"), libexec + QStringLiteral("xattr"),
            libexec + QStringLiteral("osascript"), libexec + QStringLiteral("ditto"),
            libexec + QStringLiteral("install-bundle")};
}
