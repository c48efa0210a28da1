// Console text: standard input read the way the console delivers it, and the
// platform's conventions for program names and the end-of-input key.
#pragma once

#include <cstddef>
#include <cstdio>

namespace Platform {

// The key that ends typed input, for prompts: "^D" on POSIX, "^Z" on Win32.
extern const char* const END_OF_INPUT_KEY;

// Reads one line of console text into buffer like fgets: at most size-1
// characters, up to and including the first LF, always terminated. A CR LF
// line end arrives as a single LF. Returns buffer, or null when the input
// ended before any character was read (or size is below 2).
char* ReadConsoleLine(char* buffer, std::size_t size, FILE* in);

// The program's name for messages: argv[0] after its last directory
// separator ('/' or '\' on POSIX, '\' on Win32), extension included.
// A null argv[0] gives def.
const char* ProgramBaseName(const char* argv0, const char* def);

// Opens the null device onto each of the standard descriptors 0, 1 and 2
// that is closed, so that no file or socket opened later takes its number
// and receives what was meant for the console. Called first thing in main.
void GuardStandardStreams();

// Whether the stream is a terminal (a console window on Win32).
bool IsTerminal(FILE* stream);

// Puts the stream in binary mode, so CR LF goes out byte for byte.
void SetBinaryMode(FILE* stream);

}  // namespace Platform
