#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <time.h>

#include "platform/Clock.h"
#include "quillant/ArpaDate.h"

namespace {

// Sets TZ for one test and puts the old value back afterwards.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            m_Old = old;
        Set(zone);
    }
    ~ZoneGuard() { Set(m_Old.empty() ? nullptr : m_Old.c_str()); }
    static void Set(const char* zone)
    {
        if (zone)
            setenv("TZ", zone, 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string m_Old;
};

struct DateRow {
    const char* zone;
    std::int64_t t;
    const char* expected;
};

// POSIX zone strings carry their own daylight-saving rules, so no zone
// database is needed.
const DateRow DATE_ROWS[] = {
    {"UTC0", 1796611380, "Mon, 07 Dec 2026 02:43:00 GMT"},
    {"CET-1", 1796607780, "Mon, 07 Dec 2026 02:43:00 +0100"},
    {"CET-1", 1796686200, "Tue, 08 Dec 2026 00:30:00 +0100"},      // local day ahead
    {"CET-1", 1798759800, "Fri, 01 Jan 2027 00:30:00 +0100"},      // local year ahead
    {"CET-1", 1861918200, "Mon, 01 Jan 2029 00:30:00 +0100"},      // after a leap year
    {"PST8", 1798765200, "Thu, 31 Dec 2026 17:00:00 -0800"},       // local year behind
    {"IST-5:30", 1797451200, "Thu, 17 Dec 2026 01:30:00 +0530"},
    {"IST-5:30", 1798741799, "Thu, 31 Dec 2026 23:59:59 +0530"},
    {"IST-5:30", 1798741800, "Fri, 01 Jan 2027 00:00:00 +0530"},
    {"NST3:30", 1772330400, "Sat, 28 Feb 2026 22:30:00 -0330"},    // local day behind
    {"CET-1CEST,M3.5.0,M10.5.0/3", 1782907200, "Wed, 01 Jul 2026 14:00:00 +0200"},
    {"CET-1CEST,M3.5.0,M10.5.0/3", 1796607780, "Mon, 07 Dec 2026 02:43:00 +0100"},
    {"EST5EDT,M3.2.0,M11.1.0", 1782871200, "Tue, 30 Jun 2026 22:00:00 -0400"},
    {"EST5EDT,M3.2.0,M11.1.0", 1768478400, "Thu, 15 Jan 2026 07:00:00 -0500"},
    {"XXX-24", 1782907200, "Thu, 02 Jul 2026 12:00:00 +2359"},     // a full day is capped
    {"XXX+24", 1782907200, "Tue, 30 Jun 2026 12:00:00 -2359"},
};

TEST(ArpaDate, FormatsLocalTimeWithZoneOffset)
{
    for (const DateRow& row : DATE_ROWS) {
        ZoneGuard zone(row.zone);
        char buf[96];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_STREQ(row.expected, MakeArpaDateAt(buf, row.t)) << row.zone << " " << row.t;
        const std::size_t length = std::strlen(buf);
        EXPECT_TRUE(length == 29 || length == 31) << buf;
    }
}

TEST(ArpaDate, ReadsTheClockOnce)
{
    ZoneGuard zone("IST-5:30");
    const Platform::ClockOverride frozen{1797451200, 1, 1};
    Platform::SetClockOverride(&frozen);
    char buf[32];
    EXPECT_STREQ("Thu, 17 Dec 2026 01:30:00 +0530", MakeArpaDate(buf));
    Platform::SetClockOverride(nullptr);
}

}  // namespace
