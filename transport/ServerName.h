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
// port, waiting at most timeoutMs for the name service. False for an empty
// or unknown host, the unspecified address, or a lookup not done in time
// (timedOut); error holds the platform's reason.
bool ResolveHost(const std::string& host, int port, Platform::SocketAddress& out, int timeoutMs, int& error,
                 bool& timedOut);

// The URL forms bring ESMTP, TLS and logins; a bare name keeps the plain
// dialogue.
enum class ServerScheme { BARE, SMTP, SUBMISSION, SMTPS, NNTP, NNTPS };

struct CServerName {
    ServerScheme m_Scheme = ServerScheme::BARE;
    std::string m_Host;  // without brackets
    int m_Port = 0;
};

enum class ServerNameStatus { OK, BAD_PORT, UNKNOWN_SCHEME, WRONG_KIND, BAD_HOST };

// Reads a configured server name for mail (news false) or news. Besides the
// bare forms: smtp:// (25), submission:// (587), smtps:// and submissions://
// (465) for mail; nntp:// (119) and nntps:// (563) for news; each with an
// optional ":port" and a trailing "/". Schemes compare without regard to case.
ServerNameStatus ParseServer(const char* text, bool news, CServerName& out);

// Whether the dialogue starts TLS at connect or through STARTTLS.
inline bool ImplicitTls(ServerScheme s) { return s == ServerScheme::SMTPS || s == ServerScheme::NNTPS; }
