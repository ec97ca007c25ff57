#include "platform/system_tools.h"

SystemTools SystemTools::platformDefault()
{
    return {QStringLiteral("/usr/bin/hdiutil"), QStringLiteral("/usr/bin/xattr"),
            QStringLiteral("/usr/bin/osascript"), QStringLiteral("/usr/bin/ditto")};
}
