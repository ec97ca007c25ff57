// Preloaded (through the fake pkexec) into the privileged command, to act at a chosen moment:
//   QUORVEL_TEST_SWAP_STAGING=PATH QUORVEL_TEST_SWAP_TARGET=TARGET: when the first folder "usr"
//       is about to be made, PATH moves to PATH.moved and a link to TARGET takes its place
//   QUORVEL_TEST_KILL_AT_RENAME=1: the first rename of any kind is a SIGKILL instead
//   QUORVEL_TEST_NO_EXCHANGE=NAME: no exchange of names, and the first rename onto NAME fails
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

void killAtRename()
{
    if (const char *kill = std::getenv("QUORVEL_TEST_KILL_AT_RENAME"); kill && *kill == '1')
        ::kill(::getpid(), SIGKILL);
}

} // namespace

extern "C" {

int mkdirat(int dir, const char *path, mode_t mode)
{
    static bool swapped = false;
    const char *staging = std::getenv("QUORVEL_TEST_SWAP_STAGING");
    const char *target = std::getenv("QUORVEL_TEST_SWAP_TARGET");
    if (!swapped && staging && target && std::strcmp(path, "usr") == 0) {
        swapped = true;
        const std::string moved = std::string(staging) + ".moved";
        real<int (*)(const char *, const char *)>("rename")(staging, moved.c_str());
        ::symlink(target, staging);
    }
    return real<int (*)(int, const char *, mode_t)>("mkdirat")(dir, path, mode);
}

int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    static bool failed = false;
    killAtRename();
    const char *name = std::getenv("QUORVEL_TEST_NO_EXCHANGE");
    if (!failed && name && std::strcmp(to, name) == 0) {
        failed = true;
        errno = EIO;
        return -1;
    }
    return real<int (*)(int, const char *, int, const char *)>("renameat")(fromDir, from, toDir,
                                                                           to);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    killAtRename();
    if ((flags & 2u) != 0 && std::getenv("QUORVEL_TEST_NO_EXCHANGE")) { // RENAME_EXCHANGE
        errno = EINVAL;
        return -1;
    }
    return real<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2")(
        fromDir, from, toDir, to, flags);
}
}
