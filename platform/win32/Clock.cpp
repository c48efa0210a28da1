#include "platform/common/ClockSource.h"

#include <windows.h>

namespace Platform {

std::uint32_t SystemProcessId() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

std::uint32_t SystemTickCount() { return static_cast<std::uint32_t>(GetTickCount()); }

void SystemPause(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

}  // namespace Platform
