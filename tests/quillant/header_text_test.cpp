// Non-ASCII header values and attachment names in exact bytes; line and word
// lengths and the parse back through Python's reader are checked by
// test_roundtrip.py and the end-to-end tests.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "quillant/HeaderText.h"
#include "quillant/Quillant.h"
#include "tests/support/TestUtil.h"

namespace {

using TestUtil::Captured;

std::string Written(const char* name, const char* value)
{
    CHeaderField field;
    field.m_Name = name;
    field.m_Value = value;
    return Captured([&](FILE* out) { WriteHeaders(&field, out); });
}

TEST(HeaderText, WordsThatNeedItAreEncodedOnlyWhereAllowed)
{
    const struct {
        const char* name;
        const char* value;
        const char* charset;  // MM_CHARSET, or null
        const char* expected;
    } rows[] = {
        {"Subject", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln", nullptr,
         "=?utf-8?Q?Gr=C3=BC=C3=9Fe?= aus =?utf-8?Q?K=C3=B6ln?="},
        {"Subject", "Gr\xFC\xDF" "e  K\xF6ln!", nullptr, "=?iso-8859-1?Q?Gr=FC=DFe__K=F6ln!?="},  // one word, blanks inside
        {"Subject", "\xC3\xBC =?x?Q?y?=", nullptr, "=?utf-8?B?w7wgPT94P1E/eT89?="},
        {"Organization", "\xD0\x9C\xD0\xB8\xD1\x80", "koi8-r", "=?koi8-r?B?0JzQuNGA?="},
        {"X-Note", "\xC3\xA9t\xC3\xA9", "bad charset", "=?utf-8?B?w6l0w6k=?="},
        {"From", "J\xC3\xBCrgen <j\xC3\xBC@example.com>", nullptr, "=?utf-8?Q?J=C3=BCrgen?= <j\xC3\xBC@example.com>"},
        {"To", "a@example.com,\r\n\t\"M\xC3\xBCller, J.\" <m@example.com>", nullptr,
         "a@example.com, =?utf-8?Q?M=C3=BCller=2C_J=2E?= <m@example.com>"},
        {"To", "Ann <a@example.com>,j\xC3\xBC@example.com", nullptr, "Ann <a@example.com>, j\xC3\xBC@example.com"},
        {"Newsgroups", "de.\xC3\xBC", nullptr, "de.\xC3\xBC"},
        {"Content-type", "text/\xC3\xBC", nullptr, "text/\xC3\xBC"},
        {"Subject", "plain, as before", nullptr, "plain, as before"},
    };
    for (const auto& row : rows) {
        TestUtil::CScopedEnv charset("MM_CHARSET", row.charset ? std::optional<std::string>(row.charset) : std::nullopt);
        EXPECT_EQ(Written(row.name, row.value), std::string(row.name) + ": " + row.expected + "\r\n");
    }
}

std::string Repeated(const std::string& text, int count)
{
    std::string out;
    while (count-- > 0)
        out += text;
    return out;
}

// Continuations keep each character's escapes together and end each line
// but the last in ';' within 78 characters.
TEST(HeaderText, ExtendedParameters)
{
    EXPECT_EQ(ExtendedParameter("filename", "B\xC3\xA4r 1%.txt"), ";\r\n\tfilename*=utf-8''B%C3%A4r%201%25.txt");
    const std::string day = "%E6%97%A5";
    EXPECT_EQ(ExtendedParameter("name", Repeated("\xE6\x97\xA5", 30).c_str()),
              ";\r\n\tname*0*=utf-8''" + Repeated(day, 6) + ";\r\n\tname*1*=" + Repeated(day, 7) + ";\r\n\tname*2*="
                  + Repeated(day, 7) + ";\r\n\tname*3*=" + Repeated(day, 7) + ";\r\n\tname*4*=" + Repeated(day, 3));
}

}  // namespace
