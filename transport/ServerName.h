// Server names as configured: "name", "name:port", "[IPv6-literal]" or
// "[IPv6-literal]:port"; a name with several colons and no brackets is a
// bare IPv6 literal.
#pragma once

#include <string>

#include "platform/Sockets.h"

// Splits text into host and port (defaultPort when none is given). False for
// a port that is not a number from 1 to 65535 or a malformed bracket.
bool ParseServerName(const char* text, int defaultPort, std::string& host, int& port);

// Resolves the host part of a server name to the address to connect to, with
// port. False for an empty or unknown host and for the unspecified address;
// the reason is left for Platform::LastSocketError().
bool ResolveHost(const std::string& host, int port, Platform::SocketAddress& out);
