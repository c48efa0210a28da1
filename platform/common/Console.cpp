#include "platform/Console.h"

#include "platform/common/ConsoleRules.h"

namespace Platform {
namespace {

// One character of console text: CR LF becomes LF, a lone CR stays. An
// end-of-input character is pushed back, so every later read ends at it too.
int GetConsoleChar(FILE* in)
{
    const int c = std::getc(in);
    if (c != EOF && EndsConsoleInput(c)) {
        std::ungetc(c, in);
        return EOF;
    }
    if (c != '\r')
        return c;
    const int next = std::getc(in);
    if (next == '\n')
        return '\n';
    if (next != EOF)
        std::ungetc(next, in);
    return c;
}

}  // namespace

char* ReadConsoleLine(char* buffer, std::size_t size, FILE* in)
{
    if (size < 2)
        return nullptr;
    std::size_t n = 0;
    while (n < size - 1) {
        const int c = GetConsoleChar(in);
        if (c == EOF)
            break;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buffer[n] = '\0';
    return n ? buffer : nullptr;
}

const char* ProgramBaseName(const char* argv0, const char* def)
{
    if (!argv0)
        return def;
    const char* base = argv0;
    for (const char* p = argv0; *p; ++p)
        if (IsPathSeparator(*p))
            base = p + 1;
    return base;
}

}  // namespace Platform
