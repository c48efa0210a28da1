#include "platform/common/ClockSource.h"

#include <time.h>
#include <unistd.h>

namespace Platform {

std::uint32_t SystemProcessId() { return static_cast<std::uint32_t>(getpid()); }

std::uint32_t SystemTickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + ts.tv_nsec / 1000000;
    return static_cast<std::uint32_t>(ms);
}

}  // namespace Platform
