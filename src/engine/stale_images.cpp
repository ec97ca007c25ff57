#include "engine/stale_images.h"

#include "diag/log.h"
#include "engine/plist_text.h"
#include "engine/tool_runner.h"

namespace StaleImages {

void detach(const SystemTools &tools, const std::function<bool(const QString &imagePath)> &isStale)
{
    ToolOutput output;
    if (runTool(tools.hdiutil, {QStringLiteral("info"), QStringLiteral("-plist")}, &output) != 0 ||
        !output.standardOutput)
        return;
    const PlistPtr owner = parsePlist(output.standardOutput->toUtf8());
    for (plist_t image : dictsAt(owner.get(), "images")) {
        if (!isStale(stringValue(plist_dict_get_item(image, "image-path")).value_or(QString())))
            continue;
        for (const QString &mountPoint :
             stringsAt(dictsAt(image, "system-entities"), "mount-point")) {
            ITLog("INST: detaching %@, left attached by an earlier run", mountPoint);
            runTool(tools.hdiutil, {QStringLiteral("detach"), mountPoint, QStringLiteral("-force"),
                                    QStringLiteral("-quiet")});
        }
    }
}

} // namespace StaleImages
