// Preloaded into the disk-image stand-in: QUORVEL_TEST_SQUAT=N makes the record beside each of
// the first N mount points it makes before it can, as another user watching the folder would.
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

extern "C" char *mkdtemp(char *pattern) noexcept
{
    static const auto real = reinterpret_cast<char *(*)(char *)>(::dlsym(RTLD_NEXT, "mkdtemp"));
    static int squatted = 0;
    char *made = real(pattern);
    const char *squat = std::getenv("QUORVEL_TEST_SQUAT");
    if (made && squat && squatted < std::atoi(squat)) {
        ++squatted;
        const int fd = ::open((std::string(made) + ".image").c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0)
            ::close(fd);
    }
    return made;
}
