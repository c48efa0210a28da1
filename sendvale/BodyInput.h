// The message text: lines from the text source, then every -t text file.
// Leading dots are left alone here; the transport makes the data transparent.
#pragma once

#include <cstdio>
#include <string>

#include "sendvale/StringList.h"

extern int g_DotTerminator;    // -.: a line holding a single dot ends the text
extern StringList g_BodyLines; // pieces read from the text source, line ends as read
extern StringList g_TextFiles; // -t names, in command-line order

// Reads the text source in pieces of at most 126 characters into
// g_BodyLines, stopping at end of input or, under -., at a single-dot line.
void ReadTextSource(FILE* source);

// The pieces one after the other, then the closing CR LF.
std::string JoinBodyLines(const StringList& pieces);

// A text file's content as it joins the message: an LF that is neither the
// first byte nor after a CR becomes CR LF. The content ends at a NUL byte.
std::string WidenLineEnds(const char* content);

// Appends every -t file, each read to its end. Returns false, with a message
// in verbose or debug mode, when one is missing, cannot be read, or is neither
// a regular file nor a pipe.
bool AppendTextFiles(std::string& text, const StringList& files);

// The whole message text: the text source (null for none) and the -t files.
// Returns false when a -t file fails; the run then ends with -1.
bool GatherMessageText(FILE* source, std::string& text);
