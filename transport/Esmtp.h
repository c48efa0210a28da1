// The byte rules of ESMTP that need no connection: what an EHLO reply
// offers, the name we greet with, and the SASL responses of each login.
#pragma once

#include <string>
#include <vector>

#include "quillant/Encoders.h"  // Base64Text

// The service extensions of one EHLO reply, keywords upper-cased.
class CCapabilities {
public:
    // Reads a whole reply: "250-NAME greeting", then a keyword with its
    // parameters on each further line.
    void Read(const char* reply);
    void Clear();
    bool Has(const char* keyword) const;
    // AUTH mechanisms as offered ("AUTH PLAIN LOGIN" or "AUTH=PLAIN LOGIN").
    bool OffersAuth(const char* mechanism) const;
    // Each line of the reply as the server wrote it, without code and line end.
    const std::vector<std::string>& Lines() const { return m_Lines; }

private:
    std::vector<std::string> m_Lines;
    std::vector<std::string> m_Keywords;
    std::vector<std::string> m_AuthMechanisms;
};

// The EHLO argument: the host name when it is fully qualified (holds a dot),
// else the address literal of the connection's local end ("[127.0.0.1]",
// "[IPv6:::1]").
std::string EhloName(const char* hostName, const std::string& localAddress, bool ipv6);

// ASCII letters upper-cased, as keywords and mechanisms compare.
std::string Upper(std::string text);

// The base64 responses of each mechanism.
std::string SaslPlain(const std::string& user, const std::string& password);
std::string SaslXoauth2(const std::string& user, const std::string& token);
std::string SaslOauthBearer(const std::string& user, const std::string& host, int port, const std::string& token);
