#include "platform/processor.h"

#include <cstring>
#include <sys/utsname.h>

bool prefersArmImage()
{
    utsname name{};
    if (::uname(&name) != 0)
        return false;
    return std::strcmp(name.machine, "aarch64") == 0 || std::strcmp(name.machine, "arm64") == 0;
}
