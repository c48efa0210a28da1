// Plain-ASCII text helpers shared by the platform layer and the composer.
#pragma once

#include <cstddef>
#include <string_view>

namespace Platform {

// True when a and b are equal once 'A'-'Z' are folded to 'a'-'z'. Other
// bytes, those of 128 and above included, compare as they are: names such
// as header fields, extensions and profile keys must not depend on a locale.
bool SameTextNoCase(std::string_view a, std::string_view b);

}  // namespace Platform
