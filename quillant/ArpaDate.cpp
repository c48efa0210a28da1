// The Date header value, e.g. "Mon, 07 Dec 2026 02:43:00 +0100".
#include "quillant/ArpaDate.h"

#include <cstdio>
#include <ctime>

#include "platform/Clock.h"
#include "quillant/Globals.h"

namespace {

// English whatever the locale: mail readers parse these names.
const char* const WEEKDAYS[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr std::size_t ARPA_DATE_SIZE = 32;
constexpr int MINUTES_PER_DAY = 1440;

// Local minus UTC in minutes. The two clocks are never a day or more apart,
// so a differing year or day of the year means the date rolled over between them.
int ZoneOffset(const std::tm& local, const std::tm& utc)
{
    int offset = (local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min;
    if (local.tm_year < utc.tm_year)
        offset -= MINUTES_PER_DAY;
    else if (local.tm_year > utc.tm_year)
        offset += MINUTES_PER_DAY;
    else if (local.tm_yday < utc.tm_yday)
        offset -= MINUTES_PER_DAY;
    else if (local.tm_yday > utc.tm_yday)
        offset += MINUTES_PER_DAY;
    return offset;
}

// "GMT", or a sign and hhmm.
void FormatZone(char* zone, std::size_t size, int offset)
{
    if (offset == 0) {
        CopyText(zone, size, "GMT");
        return;
    }
    const char sign = offset < 0 ? '-' : '+';
    if (offset < 0)
        offset = -offset;
    if (offset >= MINUTES_PER_DAY)
        offset = MINUTES_PER_DAY - 1;
    const char text[] = {sign,
                         static_cast<char>('0' + offset / 600),
                         static_cast<char>('0' + offset / 60 % 10),
                         static_cast<char>('0' + offset % 60 / 10),
                         static_cast<char>('0' + offset % 10),
                         '\0'};
    CopyText(zone, size, text);
}

}  // namespace

char* MakeArpaDate(char* buf)
{
    return MakeArpaDateAt(buf, Platform::CurrentTime());
}

char* MakeArpaDateAt(char* buf, std::int64_t t)
{
    std::time_t when = static_cast<std::time_t>(t);
    // Both calls may share one static record: copy each result at once.
    const std::tm* utcNow = std::gmtime(&when);
    if (!utcNow) {
        when = 0;
        utcNow = std::gmtime(&when);
    }
    const std::tm utc = *utcNow;
    const std::tm* localNow = std::localtime(&when);
    const std::tm local = localNow ? *localNow : utc;

    char zone[8];
    FormatZone(zone, sizeof zone, ZoneOffset(local, utc));
    // Only a year past 9999 could make it longer than the caller's 32 bytes.
    char text[96];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %s",
                  WEEKDAYS[local.tm_wday % 7], local.tm_mday, MONTHS[local.tm_mon % 12],
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, zone);
    CopyText(buf, ARPA_DATE_SIZE, text);
    return buf;
}
