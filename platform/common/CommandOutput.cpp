#include "platform/common/CommandOutput.h"

#include "platform/Text.h"

namespace Platform {

bool TakeFirstLine(bool timedOut, bool tooMuch, bool failed, std::string& output, std::string& firstLine,
                   std::string& reason)
{
    firstLine.clear();
    const std::size_t end = output.find_first_of("\r\n");
    if (timedOut)
        reason = "it did not finish in time";
    else if (tooMuch)
        reason = "it printed too much";
    else if (failed)
        reason = "it failed";
    else if (end == 0 || output.empty())
        reason = "it printed nothing";
    else
        firstLine.assign(output, 0, end == std::string::npos ? output.size() : end);
    WipeString(output);
    return !firstLine.empty();
}

}  // namespace Platform
