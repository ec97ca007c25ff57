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
    plist_t root = owner.get();
    plist_t images = root && plist_get_node_type(root) == PLIST_DICT
                         ? plist_dict_get_item(root, "images")
                         : nullptr;
    if (!images || plist_get_node_type(images) != PLIST_ARRAY)
        return;
    for (uint32_t i = 0, n = plist_array_get_size(images); i < n; ++i) {
        plist_t image = plist_array_get_item(images, i);
        if (plist_get_node_type(image) != PLIST_DICT ||
            !isStale(stringValue(plist_dict_get_item(image, "image-path")).value_or(QString())))
            continue;
        plist_t entities = plist_dict_get_item(image, "system-entities");
        if (!entities || plist_get_node_type(entities) != PLIST_ARRAY)
            continue;
        for (uint32_t k = 0, m = plist_array_get_size(entities); k < m; ++k) {
            plist_t entity = plist_array_get_item(entities, k);
            const QString mountPoint =
                plist_get_node_type(entity) == PLIST_DICT
                    ? stringValue(plist_dict_get_item(entity, "mount-point")).value_or(QString())
                    : QString();
            if (mountPoint.isEmpty())
                continue;
            ITLog("INST: detaching %@, left attached by an earlier run", mountPoint);
            runTool(tools.hdiutil, {QStringLiteral("detach"), mountPoint, QStringLiteral("-force"),
                                    QStringLiteral("-quiet")});
        }
    }
}

} // namespace StaleImages
