#include "platform/CodePage.h"

#include <cstring>
#include <windows.h>

// winuser.h maps this name onto OemToCharA.
#undef OemToAnsi

namespace Platform {

// The counted form of OemToCharA: it converts exactly the bytes of the text
// and its terminator, so out can never be written past the length of in.
void OemToAnsi(const char* in, char* out)
{
    const std::size_t length = std::strlen(in) + 1;
    const DWORD count = length > 0x7fffffffu ? 0x7fffffffu : static_cast<DWORD>(length);
    OemToCharBuffA(in, out, count);
    out[length - 1] = '\0';
}

const char* TextCharset(const char*) { return "iso-8859-1"; }

}  // namespace Platform
