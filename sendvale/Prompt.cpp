#include "sendvale/Prompt.h"

#include <cstring>

#include "platform/Console.h"

char* PromptLine(const char* label, const char* hint, char* buffer, std::size_t size, FILE* in)
{
    if (label && hint)
        std::fprintf(stderr, "%s (%s): ", label, hint);
    else if (label)
        std::fprintf(stderr, "%s: ", label);
    std::fflush(stderr);
    if (!Platform::ReadConsoleLine(buffer, size, in))
        return nullptr;
    buffer[std::strcspn(buffer, "\r\n")] = '\0';
    return buffer;
}
