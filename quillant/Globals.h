// Process-wide settings and flags shared by the driver, the composition code
// and the transport. All start zero or empty unless noted.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/Files.h"

extern const char* g_ProgramName;  // base name of argv[0], starts every message
extern int g_Verbose;              // -v, forced on by interactive mode
extern int g_Debug;                // -d, also traces the server dialogue

extern char g_SmtpHost[128];       // starts with a placeholder host name
extern char g_Organization[128];
extern char g_NntpHost[128];
extern char g_NntpUser[32];
extern char g_NntpPassword[32];


// Copies src into dst, cutting it to size-1 characters; always terminates.
void CopyText(char* dst, std::size_t size, const char* src);

// Turns every CR and LF into a blank: text from outside must not end a
// header or command line early, nor start a new one.
void BlankLineBreaks(char* text);
std::string WithoutLineBreaks(std::string text);

// True when a byte of the text is 128 or more: it is not plain ASCII.
bool HasHighByte(const char* text);

// The messages that only verbose or debug mode prints.
inline bool Chatty() { return g_Verbose || g_Debug; }

