// The banner and the usage text.
#pragma once

extern const char* const PRODUCT_NAME;  // "Sendvale"
extern const char* const VERSION_TEXT;  // "1.10a"
// Two lines joined by CR LF TAB: it is also the X-Mailer value, folded.
extern const char* const BANNER_TEXT;

// Returns -1. With a null text prints the whole usage text. With a text, in
// verbose mode only, prints the two banner lines and "<text>: Unknown parameter".
int Usage(const char* text);

// --help: the usage text, the later options, server forms and [Setup] keys,
// the profile's path and the exit codes, on standard output. Returns 0, or
// -1 when standard output cannot be written.
int Help();
// --version: the version, the TLS library and the profile's path. As Help.
int Version();
