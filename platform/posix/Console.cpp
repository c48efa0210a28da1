#include "platform/Console.h"

#include "platform/common/ConsoleRules.h"

namespace Platform {

// Ctrl-Z has no meaning here: input ends at end of file.
const char* const END_OF_INPUT_KEY = "^D";

bool EndsConsoleInput(int) { return false; }

// A name copied from Windows may still carry its backslashes.
bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace Platform
