#include "platform/Console.h"

#include "platform/common/ConsoleRules.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace Platform {

const char* const END_OF_INPUT_KEY = "^Z";

namespace {
const int CTRL_Z = 0x1a;
}

// The C library's text mode already turns CR LF into LF and stops at Ctrl-Z,
// but only while the stream is in text mode; the shared reader does both as
// well, which keeps the rule when someone switched it to binary.
bool EndsConsoleInput(int c) { return c == CTRL_Z; }

bool IsPathSeparator(char c) { return c == '\\'; }

// A console program's missing standard handles are never handed to files
// or sockets opened later, so there is nothing to fill.
void GuardStandardStreams() {}

// _isatty also says yes for NUL and other character devices; only a console
// has a console mode.
bool IsTerminal(FILE* stream)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

void SetBinaryMode(FILE* stream)
{
    std::fflush(stream);
    _setmode(_fileno(stream), _O_BINARY);
}

}  // namespace Platform
