#include "platform/Clock.h"

#include <ctime>
#include <time.h>
#include <unistd.h>

namespace Platform {
namespace {
const ClockOverride* g_Override = nullptr;
}

void SetClockOverride(const ClockOverride* values) { g_Override = values; }

std::int64_t CurrentTime()
{
    return g_Override ? g_Override->time : static_cast<std::int64_t>(std::time(nullptr));
}

std::uint32_t CurrentProcessId()
{
    return g_Override ? g_Override->processId : static_cast<std::uint32_t>(getpid());
}

std::uint32_t TickCount()
{
    if (g_Override)
        return g_Override->tickCount;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + ts.tv_nsec / 1000000;
    return static_cast<std::uint32_t>(ms);
}

}  // namespace Platform
