#include "sendvale/StringList.h"

void AppendString(const char* text, StringList& list) { list.emplace_back(text ? text : ""); }
