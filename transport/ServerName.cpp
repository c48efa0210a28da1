#include "transport/ServerName.h"

#include <cstring>

namespace {

bool ParsePort(const std::string& text, int& port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int value = std::stoi(text);
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

bool ParseBracketed(const std::string& text, std::string& host, int& port)
{
    const std::size_t close = text.find(']');
    if (close == std::string::npos)
        return false;
    host = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (rest.empty())
        return true;
    return rest[0] == ':' && ParsePort(rest.substr(1), port);
}

}  // namespace

bool ParseServerName(const char* text, int defaultPort, std::string& host, int& port)
{
    const std::string name = text ? text : "";
    port = defaultPort;
    if (!name.empty() && name[0] == '[')
        return ParseBracketed(name, host, port);
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos || name.find(':', colon + 1) != std::string::npos) {
        host = name;
        return true;
    }
    host = name.substr(0, colon);
    return ParsePort(name.substr(colon + 1), port);
}

bool ResolveHost(const std::string& host, int port, Platform::SocketAddress& out)
{
    return Platform::ResolveAddress(host.c_str(), port, out);
}
