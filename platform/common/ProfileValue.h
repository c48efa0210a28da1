// The value rule both profile stores share.
#pragma once

#include <string>

namespace Platform {

// A stored value keeps to one line: line ends at the end of value are
// dropped and inner ones become blanks, so it can never start a line of its
// own. A null value gives an empty line.
std::string OneLineValue(const char* value);

}  // namespace Platform
