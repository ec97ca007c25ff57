// Preloaded (through the fake pkexec) into the privileged command, to act at a chosen moment:
//   QUORVEL_TEST_SWAP_STAGING=TARGET: when the first folder "usr" is about to be made, the
//       staging folder (the first folder made whose name holds ".installing") moves to its name
//       with ".moved" added, and a link to TARGET takes its place
//   QUORVEL_TEST_KILL_AT_RENAME=N: the Nth rename of any kind is a SIGKILL instead (a refused
//       exchange does not count)
//   QUORVEL_TEST_NO_EXCHANGE=1: no exchange of names
//   QUORVEL_TEST_FAIL_RENAME=NAME: the first rename onto NAME fails
//   QUORVEL_TEST_FAIL_MKDIR=NAME: making a folder NAME fails, as on a full disk
// Only the *at calls, which are all the bundle copy makes, are wrapped; the headers that
// declare them would clash, so they are not included.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
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
        real<int (*)(int, const char *, int, const char *)>("renameat")(
            stagingDir, staging.c_str(), stagingDir, (staging + ".moved").c_str());
        ::symlinkat(target, stagingDir, staging.c_str());
    }
    if (is("QUORVEL_TEST_FAIL_MKDIR", path)) {
        errno = ENOSPC;
        return -1;
    }
    return real<int (*)(int, const char *, mode_t)>("mkdirat")(dir, path, mode);
}

int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    if (!renameGoesAhead(to))
        return -1;
    return real<int (*)(int, const char *, int, const char *)>("renameat")(fromDir, from, toDir,
                                                                           to);
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
