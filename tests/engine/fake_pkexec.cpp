// Stands in for pkexec once the prompt is answered: a setuid root copy that only the test user's
// group may run (found by the osascript stand-in through QUORVEL_TEST_PKEXEC) runs its
// arguments as root.
//   QUORVEL_TEST_PKEXEC_LOG      a file that gets one line per call
//   QUORVEL_TEST_PKEXEC_DISMISS  set: the prompt is dismissed
//   QUORVEL_TEST_ROOT_PRELOAD    preloaded into what runs as root (the loader drops LD_PRELOAD
//                                for set-id programs)
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    // A copy that a crashed test left behind must not stay a door to root.
    struct stat self;
    if (::stat("/proc/self/exe", &self) != 0 || std::time(nullptr) - self.st_mtime > 600) {
        std::fputs("pkexec: this test stand-in has expired\n", stderr);
        return 127;
    }
    if (argc < 2 || argv[1][0] != '/') {
        std::fputs("pkexec: usage: pkexec /PROGRAM [ARGUMENT...]\n", stderr);
        return 127;
    }
    if (const char *log = std::getenv("QUORVEL_TEST_PKEXEC_LOG")) {
        if (FILE *f = std::fopen(log, "a")) {
            std::fprintf(f, "uid %d runs %s\n", static_cast<int>(::getuid()), argv[1]);
            std::fclose(f);
        }
    }
    if (std::getenv("QUORVEL_TEST_PKEXEC_DISMISS"))
        return 126; // what pkexec says when the prompt is dismissed
    // As pkexec does: the program learns who asked.
    ::setenv("PKEXEC_UID", std::to_string(::getuid()).c_str(), 1);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(0, 0, 0) != 0 || ::setresuid(0, 0, 0) != 0) {
        std::perror("pkexec: cannot become root");
        return 127;
    }
    if (const char *shim = std::getenv("QUORVEL_TEST_ROOT_PRELOAD"); shim && shim[0] == '/') {
        ::setenv("LD_PRELOAD", shim, 1);
        // Sanitizer builds of the tools would refuse a library loaded ahead of their runtime.
        const char *asan = std::getenv("ASAN_OPTIONS");
        ::setenv("ASAN_OPTIONS",
                 (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    }
    ::execv(argv[1], argv + 1);
    std::perror("pkexec: cannot run the program");
    return 127;
}
