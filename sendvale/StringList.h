// Lines and file names collected over a run, kept in the order they came.
#pragma once

#include <string>
#include <vector>

using StringList = std::vector<std::string>;

// Appends a copy of text at the tail of the list.
void AppendString(const char* text, StringList& list);
