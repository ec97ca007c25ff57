#include "platform/processor.h"

#include <cstdint>
#include <sys/sysctl.h>

bool prefersArmImage()
{
    // Also true for a setup running translated on Apple silicon.
    int64_t value = 0;
    size_t size = sizeof value;
    if (::sysctlbyname("hw.optional.arm64", &value, &size, nullptr, 0) != 0)
        return false;
    return value != 0;
}
