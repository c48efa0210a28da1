// Code pages of message text: OEM to ANSI conversion and the charset label.
#pragma once

namespace Platform {

// Converts a zero-terminated text from the OEM code page to the ANSI code
// page, one byte for one byte, into out (at least as long as in; in == out
// is allowed). POSIX: a built-in table from code page 850 to Windows-1252;
// characters 1252 lacks get a look-alike: box lines '-', '|' and '+',
// shades and blocks '#', dotless i 'i', double low line '_'.
void OemToAnsi(const char* in, char* out);

// The charset a text part is labelled with when MM_CHARSET is not set.
// POSIX: "utf-8" when the text holds a byte of 128 or more and is valid
// UTF-8, else "iso-8859-1". Win32: always "iso-8859-1".
const char* TextCharset(const char* text);

}  // namespace Platform
