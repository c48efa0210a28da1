// Clock and process identity: the numbers of the MIME boundary and the Date
// header. Tests can freeze them through SetClockOverride.
#pragma once

#include <cstdint>
#include <functional>

namespace Platform {

std::int64_t CurrentTime();          // seconds since the epoch (C library time)
std::uint32_t CurrentProcessId();
std::uint32_t TickCount();           // milliseconds since system start, wrapping

// While an override is set, the three calls above return its values.
struct ClockOverride {
    std::int64_t time;
    std::uint32_t processId;
    std::uint32_t tickCount;
};
void SetClockOverride(const ClockOverride* values);  // null ends the override

// Waits that long. A signal that ends the program (platform/Interrupt.h)
// still ends it at once; any other only interrupts the wait for a moment.
void Pause(std::uint32_t milliseconds);
// While set, Pause calls it instead of waiting; an empty one ends that.
void SetPauseOverride(std::function<void(std::uint32_t milliseconds)> pause);

}  // namespace Platform
