// The verdict on a secret command's run, the same on every platform.
#pragma once

#include <string>

namespace Platform {

// The first line of output, without its line end, when the command finished
// in time, did not fail and printed one; else a one-line reason. The output
// is wiped either way. True when firstLine was set.
bool TakeFirstLine(bool timedOut, bool tooMuch, bool failed, std::string& output, std::string& firstLine,
                   std::string& reason);

}  // namespace Platform
