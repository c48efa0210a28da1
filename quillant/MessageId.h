// Message-ID values (RFC 5322 section 3.6.4): "<unique@domain>", both sides
// dot-atom-text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A host name strict enough for either side of a msg-id: labels of 1 to 63
// letters, digits and inner hyphens, joined by single dots, 253 at most.
bool IsDomainName(std::string_view text);

// The id's domain: the sender address's domain when it is a valid name,
// else the local host's name when it is one, else "localhost".
std::string MessageIdDomain(const char* sender, const char* hostName);

using RandomSource = bool (*)(void* buffer, std::size_t size);

// "<time.random@domain>" with 128 random bits; without random bytes the
// time, process id, tick count and a process-wide counter stand in for them,
// so an id is always made.
std::string MakeMessageId(const std::string& domain, RandomSource random = nullptr);
