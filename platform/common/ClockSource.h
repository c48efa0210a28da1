// What each platform's clock file supplies: the live values behind the
// overridable calls of platform/Clock.h.
#pragma once

#include <cstdint>

namespace Platform {

std::uint32_t SystemProcessId();
std::uint32_t SystemTickCount();  // milliseconds since system start, wrapping
void SystemPause(std::uint32_t milliseconds);

}  // namespace Platform
