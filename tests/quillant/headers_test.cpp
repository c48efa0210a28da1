#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "quillant/Globals.h"
#include "quillant/Quillant.h"
#include "tests/support/TestUtil.h"

namespace {

using TestUtil::CFilePtr;

std::string Written(CHeaderField* first)
{
    return TestUtil::Captured([&](FILE* out) { WriteHeaders(first, out); });
}

TEST(HeaderList, KeepsFirstSetOrderAndFirstNameCase)
{
    CQuillant mail;
    mail.SetHeader("Subject", "one", 0);
    mail.SetHeader("To", "a@example.com", 0);
    mail.SetHeader("X-Mailer", "m", 0);
    mail.SetHeader("to", "b@example.com", 0);     // replaces, keeps "To" and its place
    mail.SetHeader("SUBJECT", "two", 0);
    mail.SetHeader("Date", "d", 0);               // a new name goes last
    EXPECT_EQ(Written(mail.m_Headers.get()),
              "Subject: two\r\nTo: b@example.com\r\nX-Mailer: m\r\nDate: d\r\n");
}

TEST(HeaderList, AppendFlagExtendsOrAdds)
{
    CQuillant mail;
    mail.SetHeader("Cc", "a@x", 1);  // no field yet: added as it stands
    mail.SetHeader("cc", "b@x", 1);
    EXPECT_STREQ(mail.GetHeader("CC", nullptr), "a@x,b@x");
    EXPECT_EQ(Written(mail.m_Headers.get()), "Cc: a@x,b@x\r\n");
}

struct CFoldRow {
    int m_Row;
    std::string m_Value;
    std::string m_Expected;  // after appending "x"
};

TEST(HeaderList, AppendValueFoldsAtItsBoundaries)
{
    const std::string l75(75, 'v');
    const std::string l76(76, 'v');
    const std::string fold = ",\r\n\t";
    const CFoldRow rows[] = {
        {1, "", ",x"},
        {2, l75, l75 + ",x"},
        {3, l76, l76 + fold + "x"},
        // After a fold the count starts at the LF (counted) and takes the tab.
        {4, l76 + fold + std::string(73, 'w'), l76 + fold + std::string(73, 'w') + ",x"},
        {5, l76 + fold + std::string(74, 'w'), l76 + fold + std::string(74, 'w') + fold + "x"},
        // Only the last line counts, however long the earlier ones are.
        {6, std::string(200, 'v') + fold + "w", std::string(200, 'v') + fold + "w,x"},
    };
    for (const CFoldRow& row : rows) {
        CHeaderField field;
        field.m_Name = "To";
        field.m_Value = row.m_Value;
        field.AppendValue("x");
        EXPECT_EQ(field.m_Value, row.m_Expected) << "row " << row.m_Row;
    }
}

TEST(HeaderList, RepeatedAppendsFoldLongReceiverLists)
{
    CQuillant mail;
    const std::string address = std::string(20, 'r') + "@example.com";  // 32 characters
    for (int i = 0; i < 5; ++i)
        mail.SetHeader("To", address.c_str(), 1);
    // Lines of 32, 65, 98 (> 75: the fourth is folded), then LF, tab and 32.
    const std::string expected = address + "," + address + "," + address + ",\r\n\t" + address + "," + address;
    EXPECT_EQ(std::string(mail.GetHeader("To", "")), expected);
}

TEST(HeaderList, EmptyValueAndEmptyList)
{
    CQuillant mail;
    EXPECT_EQ(Written(nullptr), "");
    mail.SetHeader("X-Empty", "", 0);
    EXPECT_EQ(Written(mail.m_Headers.get()), "X-Empty: \r\n");
}

// The flush is what lets a caller hand the file's bytes on right after.
TEST(HeaderList, WriteHeadersFlushesEvenWhenEmpty)
{
    const TestUtil::CTempDir dir;
    const std::string path = dir.Path("headers");
    CFilePtr out(std::fopen(path.c_str(), "wb"));
    ASSERT_TRUE(out);
    char buffer[4096];
    std::setvbuf(out.get(), buffer, _IOFBF, sizeof buffer);
    std::fputs("pending", out.get());
    WriteHeaders(nullptr, out.get());
    EXPECT_EQ(TestUtil::ReadFile(path), "pending");
    out.reset();
}

// No header line passes 998 octets: folded before the last blank that
// keeps it within, or refused when one word alone does not fit.
TEST(HeaderList, LongLinesAreFoldedAtBlanksOrRefused)
{
    const std::string w = std::string(500, 'w');
    const std::string x989(989, 'x');
    const std::string x998(998, 'x');
    const struct {
        std::string field;
        std::optional<std::string> written;  // none: refused
    } rows[] = {
        {"Subject: " + w + " " + w, "Subject: " + w + "\r\n " + w},
        {"Subject: " + x989, "Subject: " + x989},  // 998 fits
        {"Subject: " + x989 + "x", "Subject:\r\n " + x989 + "x"},
        {"Subject: " + x998, std::nullopt},
        {"To: a,\r\n\t" + w + " " + w + ",\r\n\tb", "To: a,\r\n\t" + w + "\r\n " + w + ",\r\n\tb"},
        {"X: a" + std::string(1000, ' '), std::nullopt},  // blanks alone make no line
        {"Content-type: x;\r\n\tb=" + x989 + "\r\n\r\n", "Content-type: x;\r\n\tb=" + x989 + "\r\n\r\n"},
    };
    for (const auto& row : rows) {
        std::string field = row.field;
        EXPECT_EQ(FoldLongLines(field), row.written.has_value()) << row.field.substr(0, 40);
        EXPECT_EQ(field, row.written.value_or(row.field)) << row.field.substr(0, 40);
    }
    CQuillant mail;
    mail.SetHeader("Subject", x998.c_str(), 0);
    g_Verbose = 1;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(WriteHeaders(mail.m_Headers.get(), TestUtil::CFilePtr(std::tmpfile()).get()));
    g_Verbose = 0;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Header Subject holds a word too long for a line of 998 characters. Aborting.\n");
}

TEST(HeaderList, GetHeaderReturnsTheDefaultPointerItself)
{
    CQuillant mail;
    const char* fallback = "fallback";
    EXPECT_EQ(mail.GetHeader("Subject", fallback), fallback);
    mail.SetHeader("From", "me", 0);
    EXPECT_EQ(mail.GetHeader("Subject", fallback), fallback);
    EXPECT_EQ(mail.GetHeader("Subject", nullptr), nullptr);
    EXPECT_STREQ(mail.GetHeader("fROM", fallback), "me");
}

TEST(HeaderList, FindHeaderOnEmptyListAndPrefixNames)
{
    EXPECT_EQ(FindHeader("To", nullptr), nullptr);
    CQuillant mail;
    mail.SetHeader("To", "a", 0);
    EXPECT_EQ(FindHeader("T", mail.m_Headers.get()), nullptr);
    EXPECT_EQ(FindHeader("Tox", mail.m_Headers.get()), nullptr);
    EXPECT_EQ(FindHeader("tO", mail.m_Headers.get()), mail.m_Headers.get());
}

}  // namespace
