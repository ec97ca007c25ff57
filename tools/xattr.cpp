// xattr -d[r] NAME PATH...: removes one extended attribute, recursively with -r.
#include "tool_support.h"

#include <cerrno>
#include <cstring>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace {

std::string gName;
int gFailures = 0;

// Names without a namespace live in "user." on Linux, as macOS-style names have none.
std::string linuxName(const std::string &name)
{
    for (const char *ns : {"user.", "trusted.", "security.", "system."})
        if (name.rfind(ns, 0) == 0)
            return name;
    return "user." + name;
}

int removeFrom(const char *path, const struct stat *, int type, struct FTW *)
{
    // Links cannot carry user attributes on Linux; a missing attribute is the wanted state.
    if (type == FTW_SL)
        return 0;
    if (::lremovexattr(path, gName.c_str()) != 0 && errno != ENODATA && errno != ENOTSUP) {
        fail("xattr", std::string(path) + ": " + std::strerror(errno), 0);
        ++gFailures;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const bool recursive = mode == "-dr" || mode == "-rd";
    if (argc < 4 || (mode != "-d" && !recursive))
        return fail("xattr", "usage: xattr -d[r] NAME PATH...", 64);
    gName = linuxName(argv[2]);
    for (int i = 3; i < argc; ++i) {
        struct stat st;
        if (::lstat(argv[i], &st) != 0) {
            fail("xattr", std::string(argv[i]) + ": " + std::strerror(errno), 0);
            ++gFailures;
        } else if (recursive) {
            // FTW_PHYS: links are not followed out of the tree.
            ::nftw(argv[i], removeFrom, 16, FTW_PHYS);
        } else {
            removeFrom(argv[i], &st, S_ISLNK(st.st_mode) ? FTW_SL : FTW_F, nullptr);
        }
    }
    return gFailures == 0 ? 0 : 1;
}
