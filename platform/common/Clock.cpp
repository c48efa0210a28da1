#include "platform/Clock.h"

#include <ctime>
#include <utility>

#include "platform/common/ClockSource.h"

namespace Platform {
namespace {
const ClockOverride* g_Override = nullptr;
std::function<void(std::uint32_t)> g_PauseOverride;
}

void SetClockOverride(const ClockOverride* values) { g_Override = values; }

std::int64_t CurrentTime()
{
    return g_Override ? g_Override->time : static_cast<std::int64_t>(std::time(nullptr));
}

std::uint32_t CurrentProcessId() { return g_Override ? g_Override->processId : SystemProcessId(); }

std::uint32_t TickCount() { return g_Override ? g_Override->tickCount : SystemTickCount(); }

void Pause(std::uint32_t milliseconds)
{
    if (g_PauseOverride)
        g_PauseOverride(milliseconds);
    else
        SystemPause(milliseconds);
}

void SetPauseOverride(std::function<void(std::uint32_t milliseconds)> pause) { g_PauseOverride = std::move(pause); }

}  // namespace Platform
