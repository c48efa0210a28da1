#include "transport/Esmtp.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "transport/Settings.h"

namespace {

// The response is built in place so no copy of the secret lingers.
std::string EncodeWiping(std::string& raw)
{
    std::string encoded = Base64Text(raw);
    Platform::WipeString(raw);
    return encoded;
}

// RFC 5801 saslname: "," and "=" would end the field early.
std::string SaslName(const std::string& user)
{
    std::string out;
    for (const char c : user)
        out += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
    return out;
}

}  // namespace

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

void CCapabilities::Clear()
{
    m_Lines.clear();
    m_Keywords.clear();
    m_AuthMechanisms.clear();
}

void CCapabilities::Read(const char* reply)
{
    Clear();
    std::istringstream lines(reply ? reply : "");
    std::string line;
    for (bool first = true; std::getline(lines, line); first = false) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        m_Lines.push_back(line.size() > 4 ? line.substr(4) : "");
        if (first || line.size() < 5)
            continue;  // the first line names the server, not an extension
        std::istringstream words(line.substr(4));
        std::string keyword;
        words >> keyword;
        keyword = Upper(keyword);
        std::string mechanism;
        if (keyword.rfind("AUTH=", 0) == 0) {
            mechanism = keyword.substr(5);
            keyword = "AUTH";
        }
        if (keyword.empty())
            continue;
        m_Keywords.push_back(keyword);
        if (keyword != "AUTH")
            continue;
        do {
            if (!mechanism.empty())
                m_AuthMechanisms.push_back(Upper(mechanism));
        } while (words >> mechanism);
    }
}

bool CCapabilities::Has(const char* keyword) const
{
    return std::find(m_Keywords.begin(), m_Keywords.end(), Upper(keyword)) != m_Keywords.end();
}

bool CCapabilities::OffersAuth(const char* mechanism) const
{
    return std::find(m_AuthMechanisms.begin(), m_AuthMechanisms.end(), Upper(mechanism)) != m_AuthMechanisms.end();
}

std::string EhloName(const char* hostName, const std::string& localAddress, bool ipv6)
{
    if (hostName && std::strchr(hostName, '.'))
        return hostName;
    return (ipv6 ? "[IPv6:" : "[") + localAddress + "]";
}

std::string SaslPlain(const std::string& user, const std::string& password)
{
    std::string raw;
    raw.reserve(user.size() + password.size() + 2);
    raw += '\0';
    raw += user;
    raw += '\0';
    raw += password;
    return EncodeWiping(raw);
}

std::string SaslXoauth2(const std::string& user, const std::string& token)
{
    std::string raw = "user=" + user + "\x01" + "auth=Bearer " + token + "\x01\x01";
    return EncodeWiping(raw);
}

std::string SaslOauthBearer(const std::string& user, const std::string& host, int port, const std::string& token)
{
    std::string raw = "n,a=" + SaslName(user) + ",\x01" + "host=" + host + "\x01" + "port=" + std::to_string(port)
        + "\x01" + "auth=Bearer " + token + "\x01\x01";
    return EncodeWiping(raw);
}
