// install-bundle --uid UID SRC DESTDIR NAME: installs a copy of the bundle folder SRC as
// DESTDIR/NAME for the user UID. The installer's privileged command is this one call, run as
// root: it copies into a staging folder beside the bundle, clears the download quarantine mark in
// the copy, swaps the copy with the installed bundle in one step and removes the replaced one.
// What it makes is writable by its owner alone. Both paths must be absolute and free of symbolic
// links; missing folders of DESTDIR are made (mode 0755).
//
// The paths are read when the command runs, which may be long after the user's setup wrote them
// (a password prompt waits), so nothing is done when a folder on the way to either could be
// changed by anyone but root and UID: every folder on either way is root's or the user's, none
// open to others' writes unless sticky, and below the first of the user's on the way to SRC all
// are the user's.
#include "platform/tree_copy.h"
#include "tool_support.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace {

std::optional<uid_t> uidOf(const char *text)
{
    if (!text || !*text || std::strspn(text, "0123456789") != std::strlen(text))
        return std::nullopt;
    errno = 0;
    const unsigned long long value = std::strtoull(text, nullptr, 10);
    if (errno != 0 || value >= static_cast<uid_t>(-1))
        return std::nullopt;
    return static_cast<uid_t>(value);
}

} // namespace

int main(int argc, char **argv)
{
    constexpr const char *kTool = "install-bundle";
    const std::optional<uid_t> uid =
        argc == 6 && std::strcmp(argv[1], "--uid") == 0 ? uidOf(argv[2]) : std::nullopt;
    if (!uid || argv[3][0] != '/' || argv[4][0] != '/')
        return fail(kTool, "usage: install-bundle --uid UID /SRC /DESTDIR NAME", 64);
    // pkexec names the user who started it: the command must be for that one.
    if (const char *asked = std::getenv("PKEXEC_UID"); asked && uidOf(asked) != uid)
        return fail(kTool, std::string("refusing: the command is for uid ") + argv[2] +
                               ", but uid " + asked + " asked for it");
    ::umask(022); // the install folders it makes are for every user to read
    std::string leftover;
    const TreeCopy::Failure error = TreeCopy::placeTree(
        argv[3], argv[4], argv[5],
        {.createFolders = true, .clearQuarantine = true, .restrictModes = true, .actingFor = *uid},
        &leftover);
    if (!error.empty())
        return fail(kTool, error.text());
    if (!leftover.empty())
        fail(kTool, "installed, but " + leftover, 0);
    return 0;
}
