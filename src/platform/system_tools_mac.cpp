#include "platform/paths.h"
#include "platform/system_tools.h"

SystemTools SystemTools::platformDefault()
{
    // The privileged helper is the setup's own (tools/install_bundle.cpp), shipped inside it.
    return {QStringLiteral("/usr/bin/hdiutil"), QStringLiteral("/usr/bin/xattr"),
            QStringLiteral("/usr/bin/osascript"), QStringLiteral("/usr/bin/ditto"),
            Paths::bundlePath() + QStringLiteral("/Contents/Helpers/install-bundle")};
}
