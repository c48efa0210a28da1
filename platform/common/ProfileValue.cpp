#include "platform/common/ProfileValue.h"

namespace Platform {

std::string OneLineValue(const char* value)
{
    std::string line = value ? value : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return line;
}

}  // namespace Platform
