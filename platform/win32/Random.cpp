#include "platform/Random.h"

#include <windows.h>

// RtlGenRandom's export name; advapi32 has had it since Windows XP.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace Platform {

bool RandomBytes(void* buffer, std::size_t size)
{
    unsigned char* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ULONG chunk = size > 0x10000u ? 0x10000u : static_cast<ULONG>(size);
        if (!SystemFunction036(p, chunk))
            return false;
        p += chunk;
        size -= chunk;
    }
    return true;
}

}  // namespace Platform
