#include <gtest/gtest.h>

#include <set>
#include <string>

#include "quillant/MessageId.h"

namespace {

// RFC 5322 msg-id with dot-atom-text on both sides. (std::regex trips
// GCC 12's uninitialized-use warning in the sanitizer build.)
bool IsDotAtomText(const std::string& text)
{
    std::size_t start = 0;
    for (std::size_t dot; (dot = text.find('.', start)) != std::string::npos; start = dot + 1)
        if (dot == start)
            return false;
    return start < text.size()
        && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$%&'*+-/=?^_`{|}~.")
        == std::string::npos;
}

bool IsMsgId(const std::string& id)
{
    const std::size_t at = id.find('@');
    return id.size() > 2 && id.front() == '<' && id.back() == '>' && at != std::string::npos
        && IsDotAtomText(id.substr(1, at - 1)) && IsDotAtomText(id.substr(at + 1, id.size() - at - 2));
}

TEST(MessageId, DomainFromSenderElseHostElseLocalhost)
{
    const struct {
        const char* sender;
        const char* host;
        const char* domain;
    } rows[] = {
        {"me@mail.example.com", "host.example", "mail.example.com"},
        {"a@b@x-1.example", "host", "x-1.example"},
        {"me", "host.example", "host.example"},
        {nullptr, "host.example", "host.example"},
        {"me@[127.0.0.1]", "h", "h"},
        {"me@example..com", "h", "h"},
        {"me@example.com.", "h", "h"},
        {"me@-x.example", "h", "h"},
        {"me@ex_ample.com", "h", "h"},
        {"me@example.com>", "my_host", "localhost"},
        {"(NULL)", "", "localhost"},
        {"me@x", "host.", "x"},
        {nullptr, nullptr, "localhost"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(MessageIdDomain(row.sender, row.host), row.domain) << (row.sender ? row.sender : "null");
    EXPECT_TRUE(IsDomainName(std::string(63, 'a') + "." + std::string(63, 'b')));
    EXPECT_FALSE(IsDomainName(std::string(64, 'a')));
    EXPECT_FALSE(IsDomainName(std::string(127, 'a') + "." + std::string(127, 'b')));
    EXPECT_FALSE(IsMsgId("<a..b@c>") || IsMsgId("<a@c.>") || IsMsgId("<a b@c>") || IsMsgId("<@c>"));
}

// A thousand ids in one second, from the random source and without it.
TEST(MessageId, ThousandDistinctWellFormedIds)
{
    for (RandomSource source : {RandomSource(nullptr), RandomSource([](void*, std::size_t) { return false; })}) {
        std::set<std::string> ids;
        for (int i = 0; i < 1000; ++i) {
            const std::string id = MakeMessageId("host.example", source);
            EXPECT_TRUE(IsMsgId(id)) << id;
            ids.insert(id);
        }
        EXPECT_EQ(ids.size(), 1000u);
    }
}

}  // namespace
