// Text helpers shared by the platform layer and the composer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Platform {

// True when a and b are equal once 'A'-'Z' are folded to 'a'-'z'. Other
// bytes, those of 128 and above included, compare as they are: names such
// as header fields, extensions and profile keys must not depend on a locale.
bool SameTextNoCase(std::string_view a, std::string_view b);

// Length of the UTF-8 sequence at p (1 to 4), or 0 when it is not well
// formed: overlong forms, surrogates, code points past U+10FFFF and an ASCII
// byte (a sequence of one is not counted). Reads no further than a zero byte.
int Utf8SequenceLength(const unsigned char* p);

// Overwrites memory that held a secret, in a way the compiler keeps.
void WipeMemory(void* data, std::size_t size);
// Wipes the text's bytes, then empties it.
void WipeString(std::string& text);

}  // namespace Platform
