// What each platform's console file supplies to the shared console reader.
#pragma once

namespace Platform {

// True for a character that ends typed input wherever it appears.
bool EndsConsoleInput(int c);
// True for a character that separates folders in a program's path.
bool IsPathSeparator(char c);

}  // namespace Platform
