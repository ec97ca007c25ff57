#include "engine/stale_runs.h"

#include "diag/log.h"
#include "engine/plist_text.h"
#include "engine/tool_runner.h"
#include "platform/run_folder.h"

#include <unistd.h>

namespace StaleRuns {

namespace {

// Whether the tool says this user attached `image`.
bool attachedByThisUser(plist_t image)
{
    plist_t owner = plist_dict_get_item(image, "owner-uid");
    uint64_t uid = 0;
    if (!owner || plist_get_node_type(owner) != PLIST_UINT)
        return false;
    plist_get_uint_val(owner, &uid);
    return uid == ::getuid();
}

} // namespace

void sweep(const SystemTools &tools, const QStringList &bases)
{
    // Each folder stays locked until it is gone: its run cannot have come back to life, and no
    // other clean-up takes it meanwhile.
    const std::vector<std::unique_ptr<RunFolder>> folders = RunFolder::takeAbandoned(bases);
    if (folders.empty())
        return;
    ToolOutput output;
    if (runTool(tools.hdiutil, {QStringLiteral("info"), QStringLiteral("-plist")}, &output) != 0 ||
        !output.standardOutput)
        return; // what is attached from them is unknown: they wait for a later run
    const PlistPtr listed = parsePlist(output.standardOutput->toUtf8());
    for (const std::unique_ptr<RunFolder> &folder : folders) {
        bool detached = true;
        for (plist_t image : dictsAt(listed.get(), "images")) {
            // Another user's record may name any file: the owner and the file itself decide.
            const std::optional<QString> file =
                stringValue(plist_dict_get_item(image, "image-path"));
            if (!file || !attachedByThisUser(image) || !folder->holds(*file))
                continue;
            for (const QString &mountPoint :
                 stringsAt(dictsAt(image, "system-entities"), "mount-point")) {
                ITLog("INST: detaching %@, left attached by an earlier run", mountPoint);
                detached = runTool(tools.hdiutil,
                                   {QStringLiteral("detach"), mountPoint, QStringLiteral("-force"),
                                    QStringLiteral("-quiet")}) == 0 &&
                           detached;
            }
        }
        // A folder whose image stays attached is kept, for a later run to try again.
        if (detached)
            folder->remove();
    }
}

} // namespace StaleRuns
