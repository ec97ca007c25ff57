// Preloaded (through the fake pkexec) into the privileged command, to act at a chosen moment:
//   QUORVEL_TEST_SWAP_STAGING=TARGET: when the first folder "usr" is about to be made, the
//       staging folder (the first folder made whose name holds ".installing") moves to its name
//       with ".moved" added, and a link to TARGET takes its place
//   QUORVEL_TEST_KILL_AT_RENAME=N: the Nth rename of any kind is a SIGKILL instead (a refused
//       exchange does not count)
//   QUORVEL_TEST_NO_EXCHANGE=1: no exchange of names
//   QUORVEL_TEST_FAIL_RENAME=NAME: the first rename onto NAME fails
//   QUORVEL_TEST_FAIL_MKDIR=NAME: making a folder NAME fails, as on a full disk
//   QUORVEL_TEST_TAKE_STAGING=gone|foreign: the first staging folder is removed as soon as it is
//       made, as another run's clean-up would, or replaced by an empty folder of uid 4242's
//   QUORVEL_TEST_SWAP_SOURCE=UID: before install-bundle starts, its source folder moves to its
//       name with ".moved" added, and an empty folder of UID's takes its place
// Only the *at calls, which are all the bundle copy makes, are wrapped; the headers that
// declare them would clash, so they are not included.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>

namespace {

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

bool is(const char *variable, const char *value)
{
    const char *set = std::getenv(variable);
    return set && std::strcmp(set, value) == 0;
}

// Counts a rename; kills this process at the one named. False when it is to fail instead.
bool renameGoesAhead(const char *to)
{
    static int renames = 0;
    static bool failed = false;
    if (const char *kill = std::getenv("QUORVEL_TEST_KILL_AT_RENAME");
        kill && ++renames == std::atoi(kill))
        ::kill(::getpid(), SIGKILL);
    if (!failed && is("QUORVEL_TEST_FAIL_RENAME", to)) {
        failed = true;
        errno = EIO;
        return false;
    }
    return true;
}

using RenameAt = int (*)(int, const char *, int, const char *);
using MkdirAt = int (*)(int, const char *, mode_t);

__attribute__((constructor)) void swapSource()
{
    // install-bundle --uid UID SOURCE ...
    std::ifstream cmdline("/proc/self/cmdline");
    std::string args[4];
    for (std::string &arg : args)
        std::getline(cmdline, arg, '\0');
    const char *uid = std::getenv("QUORVEL_TEST_SWAP_SOURCE");
    if (!uid || !args[0].ends_with("/install-bundle"))
        return;
    const std::string &source = args[3];
    const int owner = std::atoi(uid);
    real<RenameAt>("renameat")(AT_FDCWD, source.c_str(), AT_FDCWD, (source + ".moved").c_str());
    if (real<MkdirAt>("mkdirat")(AT_FDCWD, source.c_str(), 0755) != 0 ||
        ::chown(source.c_str(), owner, owner) != 0)
        ::_exit(121);
}

} // namespace

extern "C" {

int mkdirat(int dir, const char *path, mode_t mode)
{
    static int stagingDir = -1;
    static std::string staging;
    static bool swapped = false;
    const char *target = std::getenv("QUORVEL_TEST_SWAP_STAGING");
    if (target && staging.empty() && std::strstr(path, ".installing")) {
        stagingDir = dir;
        staging = path;
    }
    if (target && !swapped && !staging.empty() && std::strcmp(path, "usr") == 0) {
        swapped = true;
        real<RenameAt>("renameat")(stagingDir, staging.c_str(), stagingDir,
                                   (staging + ".moved").c_str());
        ::symlinkat(target, stagingDir, staging.c_str());
    }
    if (is("QUORVEL_TEST_FAIL_MKDIR", path)) {
        errno = ENOSPC;
        return -1;
    }
    const int made = real<MkdirAt>("mkdirat")(dir, path, mode);
    static bool taken = false;
    const char *take = std::getenv("QUORVEL_TEST_TAKE_STAGING");
    if (made == 0 && take && !taken && std::strstr(path, ".installing-")) {
        taken = true;
        ::unlinkat(dir, path, AT_REMOVEDIR);
        if (std::strcmp(take, "foreign") == 0 &&
            (real<MkdirAt>("mkdirat")(dir, path, 0700) != 0 ||
             ::fchownat(dir, path, 4242, 4242, AT_SYMLINK_NOFOLLOW) != 0))
            ::_exit(121);
    }
    return made;
}

int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    if (!renameGoesAhead(to))
        return -1;
    return real<RenameAt>("renameat")(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    if ((flags & 2u) != 0 && std::getenv("QUORVEL_TEST_NO_EXCHANGE")) { // RENAME_EXCHANGE
        errno = EINVAL;
        return -1;
    }
    if (!renameGoesAhead(to))
        return -1;
    return real<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2")(
        fromDir, from, toDir, to, flags);
}
}
