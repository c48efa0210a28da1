#include "platform/common/ClockSource.h"

#include <cerrno>
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

// A signal that does not end the program must not cut the wait short.
void SystemPause(std::uint32_t milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace Platform
