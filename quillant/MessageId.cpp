#include "quillant/MessageId.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Random.h"
#include "quillant/Quillant.h"

namespace {

constexpr std::size_t MAX_LABEL = 63;
constexpr std::size_t MAX_NAME = 253;

std::uint32_t g_MessageIdCounter = 0;

bool IsLetterOrDigit(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsLabel(std::string_view label)
{
    if (label.empty() || label.size() > MAX_LABEL || label.front() == '-' || label.back() == '-')
        return false;
    for (char c : label)
        if (!IsLetterOrDigit(c) && c != '-')
            return false;
    return true;
}

}  // namespace

bool IsDomainName(std::string_view text)
{
    if (text.empty() || text.size() > MAX_NAME)
        return false;
    for (;;) {
        const std::size_t dot = text.find('.');
        if (!IsLabel(text.substr(0, dot)))
            return false;
        if (dot == std::string_view::npos)
            return true;
        text.remove_prefix(dot + 1);
    }
}

std::string MessageIdDomain(const char* sender, const char* hostName)
{
    if (const char* at = sender ? std::strrchr(sender, '@') : nullptr)
        if (IsDomainName(at + 1))
            return at + 1;
    if (hostName && IsDomainName(hostName))
        return hostName;
    return "localhost";
}

std::string MakeMessageId(const std::string& domain, RandomSource random)
{
    ++g_MessageIdCounter;
    unsigned char bytes[16];
    char unique[64];
    const long long now = static_cast<long long>(Platform::CurrentTime());
    if ((random ? random : Platform::RandomBytes)(bytes, sizeof bytes)) {
        int used = std::snprintf(unique, sizeof unique, "%lld.", now);
        for (unsigned char b : bytes)
            used += std::snprintf(unique + used, sizeof unique - static_cast<std::size_t>(used), "%02x", b);
    } else {
        std::snprintf(unique, sizeof unique, "%lld.%lu.%lu.%lu", now,
                      static_cast<unsigned long>(Platform::CurrentProcessId()),
                      static_cast<unsigned long>(Platform::TickCount()), static_cast<unsigned long>(g_MessageIdCounter));
    }
    return std::string("<") + unique + "@" + domain + ">";
}

// A message that already has an id keeps it: a resend is the same message.
void CQuillant::SetMessageId(const char* hostName)
{
    if (FindHeader("Message-ID", m_Headers.get()))
        return;
    const std::string id = MakeMessageId(MessageIdDomain(GetHeader("X-Sender", nullptr), hostName));
    SetHeader("Message-ID", id.c_str(), 0);
}
