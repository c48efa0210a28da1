// The console prompt shared by interactive mode.
#pragma once

#include <cstddef>
#include <cstdio>

// Prints "label (hint): ", "label: " or nothing, then reads one line of
// console text from in (at most size-1 characters) and cuts it at its first
// CR or LF. Returns buffer, or null when the input has ended.
char* PromptLine(const char* label, const char* hint, char* buffer, std::size_t size, FILE* in);
