// install-bundle SRC DESTDIR NAME: installs a copy of the bundle folder SRC as DESTDIR/NAME.
// The installer's privileged command is this one call, run as root: it copies into a staging
// folder beside the bundle, clears the download quarantine mark in the copy, swaps the copy
// with the installed bundle in one step and removes the replaced one. What it makes is
// writable by its owner alone. Both paths must be absolute and free of symbolic links; missing
// folders of DESTDIR are made (mode 0755).
#include "platform/tree_copy.h"
#include "tool_support.h"

#include <string>
#include <sys/stat.h>

int main(int argc, char **argv)
{
    constexpr const char *kTool = "install-bundle";
    if (argc != 4 || argv[1][0] != '/' || argv[2][0] != '/')
        return fail(kTool, "usage: install-bundle /SRC /DESTDIR NAME", 64);
    ::umask(022); // the install folders it makes are for every user to read
    std::string leftover;
    const std::string error = TreeCopy::placeTree(
        argv[1], argv[2], argv[3],
        {.createFolders = true, .clearQuarantine = true, .restrictModes = true}, &leftover);
    if (!error.empty())
        return fail(kTool, error);
    if (!leftover.empty())
        fail(kTool, "installed, but " + leftover, 0);
    return 0;
}
