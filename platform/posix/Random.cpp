#include "platform/Random.h"

#include <cerrno>
#include <cstdio>
#include <sys/random.h>

namespace Platform {
namespace {

// Kernels before getrandom, and sandboxes that forbid it, still have the device.
bool ReadUrandom(unsigned char* p, std::size_t size)
{
    FILE* device = std::fopen("/dev/urandom", "rb");
    if (!device)
        return false;
    const bool ok = std::fread(p, 1, size, device) == size;
    std::fclose(device);
    return ok;
}

}  // namespace

bool RandomBytes(void* buffer, std::size_t size)
{
    unsigned char* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got = getrandom(p, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return ReadUrandom(p, size);
        p += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace Platform
