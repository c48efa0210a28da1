#include "transport/ServerName.h"

#include "platform/Text.h"

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
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

// A silent name service must not hold the run longer than a connect may
// take: the lookup runs on a thread of its own and is left to finish alone.
bool ResolveHost(const std::string& host, int port, Platform::SocketAddress& out, int timeoutMs, int& error,
                 bool& timedOut)
{
    struct CLookup {
        std::mutex m_Mutex;
        std::condition_variable m_Done;
        bool m_Finished = false;
        bool m_Found = false;
        int m_Error = 0;
        Platform::SocketAddress m_Address;
    };
    auto lookup = std::make_shared<CLookup>();
    auto work = [lookup, host, port] {
        Platform::SocketAddress address;
        const bool found = Platform::ResolveAddress(host.c_str(), port, address);
        const int error = Platform::LastSocketError();
        std::lock_guard<std::mutex> lock(lookup->m_Mutex);
        lookup->m_Found = found;
        lookup->m_Error = error;
        lookup->m_Address = address;
        lookup->m_Finished = true;
        lookup->m_Done.notify_all();
    };
    timedOut = false;
    try {
        std::thread(work).detach();
    } catch (const std::system_error&) {
        work();  // no thread to be had: wait as before
    }
    std::unique_lock<std::mutex> lock(lookup->m_Mutex);
    if (!lookup->m_Done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return lookup->m_Finished; })) {
        timedOut = true;
        return false;
    }
    error = lookup->m_Error;
    out = lookup->m_Address;
    return lookup->m_Found;
}

namespace {

struct CSchemeInfo {
    const char* m_Name;
    ServerScheme m_Scheme;
    int m_Port;
    bool m_News;
};

const CSchemeInfo SCHEMES[] = {
    {"smtp", ServerScheme::SMTP, 25, false},        {"submission", ServerScheme::SUBMISSION, 587, false},
    {"smtps", ServerScheme::SMTPS, 465, false},     {"submissions", ServerScheme::SMTPS, 465, false},
    {"nntp", ServerScheme::NNTP, 119, true},        {"nntps", ServerScheme::NNTPS, 563, true},
};


}  // namespace

ServerNameStatus ParseServer(const char* text, bool news, CServerName& out)
{
    out = CServerName{};
    const std::string name = text ? text : "";
    const std::size_t mark = name.find("://");
    if (mark == std::string::npos)
        return ParseServerName(text, news ? 119 : 25, out.m_Host, out.m_Port) ? ServerNameStatus::OK
                                                                              : ServerNameStatus::BAD_PORT;
    const std::string scheme = name.substr(0, mark);
    const CSchemeInfo* info = nullptr;
    for (const CSchemeInfo& s : SCHEMES)
        if (Platform::SameTextNoCase(scheme, s.m_Name))
            info = &s;
    if (!info)
        return ServerNameStatus::UNKNOWN_SCHEME;
    if (info->m_News != news)
        return ServerNameStatus::WRONG_KIND;
    out.m_Scheme = info->m_Scheme;
    std::string rest = name.substr(mark + 3);
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    // A bare IPv6 literal needs its brackets here; paths and logins have no
    // meaning for us.
    const bool bracketed = !rest.empty() && rest[0] == '[';
    if (rest.empty() || rest.find_first_of("/@?# ") != std::string::npos
        || (!bracketed && rest.find(':') != rest.rfind(':')))
        return ServerNameStatus::BAD_HOST;
    if (!ParseServerName(rest.c_str(), info->m_Port, out.m_Host, out.m_Port))
        return ServerNameStatus::BAD_PORT;
    return out.m_Host.empty() ? ServerNameStatus::BAD_HOST : ServerNameStatus::OK;
}
