// The Date header: an RFC 822 date-time in local time with a numeric zone.
#pragma once

#include <cstdint>

// Fills buf (at least 32 bytes) for the current instant, read once; returns buf.
// The result is 29 characters with the zone "GMT", 31 otherwise.
char* MakeArpaDate(char* buf);
// The same for a given calendar time (seconds since the epoch); the seam for tests.
char* MakeArpaDateAt(char* buf, std::int64_t t);
