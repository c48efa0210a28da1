// Content types by file extension: the per-extension "Content Type" values
// that the Windows registry keeps under HKEY_CLASSES_ROOT, or their stand-in.
#pragma once

#include <cstddef>

namespace Platform {

// Reads the string value valueName of the key keyPath under the class root
// into out (size bytes, terminator included). False, with out untouched, when
// the key or value is missing or the value does not fit in size bytes.
//
// POSIX stand-in: only keyPath ".ext" with valueName "Content Type" answers,
// from the mime.types files named in $SENDVALE_MIME_TYPES (colon-separated;
// an empty value means no database), else $HOME/.mime.types then
// /etc/mime.types. The first file and line listing ext (compared without
// regard to ASCII case) wins.
bool ReadRegistryValue(const char* keyPath, const char* valueName, char* out, std::size_t size);

}  // namespace Platform
