// The user's settings store: sections of "Key=Value" lines, read and written
// one key at a time, with the contract of the Windows profile calls.
//
// POSIX keeps it in an INI file: $SENDVALE_PROFILE when set, else
// $XDG_CONFIG_HOME/sendvale/sendvale.ini ($XDG_CONFIG_HOME defaulting to
// $HOME/.config). Section and key names compare without regard to ASCII case;
// surrounding blanks of names and values are trimmed.
#pragma once

#include <cstddef>
#include <string>

namespace Platform {

// Copies the value stored under section/key, or def when the store, the
// section or the key is missing, into out: at most size-1 characters, always
// terminated (size 0 writes nothing). Returns the number of characters copied;
// a NUL byte inside the value is copied too, so a count above strlen(out)
// tells that the value held one.
std::size_t GetProfileString(const char* section, const char* key, const char* def,
                             char* out, std::size_t size);

// Stores value under section/key, creating section and key as needed. Only
// that key's line changes; every other line survives as it was. Line ends at
// the end of value are not stored; one inside it becomes a blank, since a
// value ends at its line end. Returns false when the store cannot be written,
// in which case it is left as it was.
bool WriteProfileString(const char* section, const char* key, const char* value);

// False when the store exists but is neither a regular file nor a pipe (a
// folder, a device such as /dev/zero, a socket): it is then never read. A
// pipe is read once, its lines serving every later read of the run; it is
// never written. Win32 has only its own store and always gives true.
bool ProfileKindUsable();

// Where the store lives, for messages; empty when no location can be found.
std::string ProfileLocation();

// Whether users other than the owner may read or write the store, so that a
// secret kept there is not trusted. A missing store is open to no one; a store
// without per-user modes (Win32) gives false for both.
bool ProfileOpenToOthers(bool& groupOrOthersRead, bool& groupOrOthersWrite);

}  // namespace Platform
