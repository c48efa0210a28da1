// Transfer encoders: base64 (RFC 2045) and quoted-printable, each for a byte
// stream read to its end and for a zero-terminated text. They never fail on
// their own. The first failed write, or an error already on the output
// stream, ends an encoder at once (without reading on); the error stays on
// the output (ferror) for its owner. A read error ends a stream encoder early
// and stays on the input (ferror) for the caller to act on.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// pad: 0 for three data bytes, 1 when b3 is padding, 2 when b2 and b3 are.
void Base64EncodeGroup(int b1, int b2, int b3, int pad, FILE* out);
// 76-character lines; the input stays open. Flushes out.
void Base64EncodeStream(FILE* in, FILE* out);
// 72-character lines. Flushes out.
void Base64EncodeText(const char* text, FILE* out);
// Base64 of the bytes in one piece, no line breaks (encoded-words, SASL).
std::string Base64Text(std::string_view bytes);
// Soft breaks after more than 72 characters; a CR LF line end stays whole.
void QPEncodeStream(FILE* in, FILE* out);
void QPEncodeText(const char* text, FILE* out);
