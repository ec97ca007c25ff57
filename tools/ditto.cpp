// ditto SRC DST: copies a bundle, creating DST's parent folders; links stay links.
#include "platform/tree_copy.h"
#include "tool_support.h"

#include <string>

int main(int argc, char **argv)
{
    if (argc != 3 || argv[1][0] == '-' || argv[2][0] == '-')
        return fail("ditto", "usage: ditto SRC DST (no options are supported)", 64);
    const std::string to = argv[2];
    const std::string::size_type slash = to.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeFolders(to.substr(0, slash)))
        return fail("ditto", "cannot create the folders of " + to);
    const TreeCopy::Failure error = TreeCopy::copyTree(argv[1], to);
    return error.empty() ? 0 : fail("ditto", error.text());
}
