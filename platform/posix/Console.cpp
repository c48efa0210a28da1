#include "platform/Console.h"

#include "platform/common/ConsoleRules.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace Platform {

// Ctrl-Z has no meaning here: input ends at end of file.
const char* const END_OF_INPUT_KEY = "^D";

bool EndsConsoleInput(int) { return false; }

// A name copied from Windows may still carry its backslashes.
bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

void GuardStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        // open takes the lowest free number, and the lower ones are filled.
        while (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDWR);
            if (opened < 0)
                return;
            if (opened > 2) {
                close(opened);
                return;
            }
        }
    }
}

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) == 1; }

// POSIX streams have no text mode.
void SetBinaryMode(FILE*) {}

}  // namespace Platform
