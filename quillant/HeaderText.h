// Header text that is not ASCII: encoded-words (RFC 2047) where section 5
// allows them, and extended parameters (RFC 2231) for attachment names.
// Both use the charset a text part with the same text would get.
#pragma once

#include <string>

// The field body to write for "name: value": unstructured text and the
// display names of address headers become encoded-words, folded so that no
// line passes 78 characters; addresses, other structured fields and values
// of plain ASCII stay as they are. Any fold in value is undone first.
std::string EncodeHeaderValue(const char* name, const std::string& value);

// ";\r\n\t" then attribute*=charset''percent-encoded-value, or numbered
// continuations (attribute*0*=, attribute*1*= ...) where one line of 78
// characters would not hold it.
std::string ExtendedParameter(const char* attribute, const char* value);
