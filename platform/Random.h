// Random bytes from the operating system's generator, for values that must
// not repeat across processes started in the same second.
#pragma once

#include <cstddef>

namespace Platform {

// Fills buffer with size random bytes. False when the generator could not
// deliver them all; buffer is then of no use.
// POSIX: getrandom, else /dev/urandom. Win32: RtlGenRandom (advapi32).
bool RandomBytes(void* buffer, std::size_t size);

}  // namespace Platform
