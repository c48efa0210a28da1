#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/CodePage.h"
#include "quillant/Globals.h"
#include "quillant/MessagePart.h"
#include "quillant/Quillant.h"
#include "tests/support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

using TestUtil::Captured;
using TestUtil::RaisedBy;
using CEnvironment = TestUtil::CScopedEnv;

// Types of 63 and 64 characters: the second does not fit the 64-byte value.
const std::string TYPE_63 = "application/x-" + std::string(49, 'a');
const std::string TYPE_64 = TYPE_63 + "a";

const std::string MIME_TYPES = "# test database\n"
                               "application/pdf\t\tpdf\n"
                               "\n"
                               "text/x-Test  tst TST2   # trailing comment\n"
                               "text/x-first dup\n"
                               "text/x-second dup\n" +
                               TYPE_63 + " fits\n" + TYPE_64 + " toolong\n" + "Image/X-Own gif\n";

class PartsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteFile("mime.types", MIME_TYPES);
        m_MimeTypes.emplace("SENDVALE_MIME_TYPES", Path("mime.types"));
        m_Charset.emplace("MM_CHARSET", std::nullopt);
        m_Verbose = g_Verbose;
        g_Verbose = 0;
    }
    void TearDown() override
    {
        g_Verbose = m_Verbose;
        m_Charset.reset();
        m_MimeTypes.reset();
    }
    std::string Path(const char* name) const { return m_Dir.Path(name); }
    std::string WriteFile(const char* name, const std::string& bytes) const
    {
        TestUtil::WriteFile(Path(name), bytes);
        return Path(name);
    }
    static std::string ContentType(const std::string& fileName)
    {
        char out[324];
        return GetContentType(fileName.c_str(), out, sizeof out);
    }

    TestUtil::CTempDir m_Dir;
    std::optional<CEnvironment> m_MimeTypes;
    std::optional<CEnvironment> m_Charset;
    int m_Verbose = 0;
};

std::string Headers(CMessagePart& part)
{
    return Captured([&](FILE* out) { part.WritePartHeaders(out); });
}

std::string Body(CMessagePart& part)
{
    return Captured([&](FILE* out) { part.WritePartBody(out); });
}

const char TEXT_LINE[] = "Content-type: text/plain; charset=iso-8859-1\r\n";
const char QP_LINE[] = "Content-Transfer-Encoding: quoted-printable\r\n";

TEST_F(PartsTest, HeadersAndBodyOfEachKind)
{
    const std::string textFile = WriteFile("body.txt", "hi \n");
    const std::string attachment = WriteFile("report.xyz", "hello");
    struct {
        int row, kind, mime;
        std::string data, headers, body;
    } rows[] = {
        {1, PART_RAW, 1, "hi \n", TEXT_LINE, "hi \n"},
        {2, PART_QUOTED, 1, "hi \n", std::string(TEXT_LINE) + QP_LINE, "hi =\n\n"},
        {3, PART_OEM, 1, "hi", std::string(TEXT_LINE) + QP_LINE, "hi=\r\n"},
        {4, PART_BODY, 1, "plain 7-bit", std::string(TEXT_LINE) + QP_LINE, "plain 7-bit=\r\n"},
        {5, PART_TEXT_FILE, 1, textFile, std::string(TEXT_LINE) + QP_LINE, "hi =\n\n"},
        {6, PART_ATTACHMENT, 1, attachment,
         "Content-type: unknown/xyz;\r\n\tname=\"report.xyz\"\r\n"
         "Content-Disposition: attachment; filename=\"report.xyz\"\r\n"
         "Content-Transfer-Encoding: base64\r\n",
         "aGVsbG8=\r\n"},
        {7, PART_BODY, 0, "hi \n", TEXT_LINE, "hi \n"},
        {8, PART_QUOTED, 0, "hi \n", TEXT_LINE, "hi \n"},
        {9, PART_TEXT_FILE, 0, textFile, TEXT_LINE, "hi \n"},  // the file's text, not its name
        {10, 6, 1, "ignored", TEXT_LINE, ""},                 // unknown kind: nothing stored
    };
    for (auto& row : rows) {
        CQuillant mail;
        mail.m_UseMime = row.mime;
        ASSERT_EQ(mail.AddPart(row.data.c_str(), row.kind), 0) << "row " << row.row;
        EXPECT_EQ(Headers(*mail.m_Parts), row.headers) << "row " << row.row;
        EXPECT_EQ(Body(*mail.m_Parts), row.body) << "row " << row.row;
    }
}

TEST_F(PartsTest, PartsStayInTheOrderAdded)
{
    CQuillant mail;
    mail.AddPart("one", PART_BODY);
    mail.AddPart("two", PART_RAW);
    mail.AddPart("three", PART_QUOTED);
    CMessagePart* first = mail.m_Parts.get();
    ASSERT_TRUE(first && first->m_Next && first->m_Next->m_Next);
    CMessagePart* second = first->m_Next.get();
    CMessagePart* third = second->m_Next.get();
    EXPECT_EQ(*first->m_Data, "one");
    EXPECT_EQ(*second->m_Data, "two");
    EXPECT_EQ(*third->m_Data, "three");
    EXPECT_EQ(first->m_Prev, nullptr);
    EXPECT_EQ(second->m_Prev, first);
    EXPECT_EQ(third->m_Prev, second);
    EXPECT_EQ(third->m_Next, nullptr);
}

TEST_F(PartsTest, ContentTypes)
{
    struct {
        int row;
        const char* fileName;
        std::string expected;
    } rows[] = {
        {1, "Photo.JPG", "image/JPG; name=\"Photo.JPG\""},
        {2, "a.Tiff", "image/Tiff; name=\"a.Tiff\""},
        {3, "report.xyz", "unknown/xyz; name=\"report.xyz\""},
        {4, "README", "unknown/unknown; name=\"README\""},
        {5, "doc.PDF", "application/pdf; name=\"doc.PDF\""},
        {6, "x.tst2", "text/x-Test; name=\"x.tst2\""},
        {7, "x.dup", "text/x-first; name=\"x.dup\""},
        {8, "x.gif", "Image/X-Own; name=\"x.gif\""},  // the database before the built-in list
        {9, "x.fits", TYPE_63 + "; name=\"x.fits\""},
        {10, "x.toolong", "unknown/toolong; name=\"x.toolong\""},
        // The extension and the name come from the file's own name.
        {11, "./report", "unknown/unknown; name=\"report\""},
        {12, "C:\\dir.x\\file", "unknown/unknown; name=\"file\""},
        {13, "/tmp/v1.2/img.png", "image/png; name=\"img.png\""},
        {14, "C:\\docs\\a.pdf", "application/pdf; name=\"a.pdf\""},
        {15, "name.", "unknown/unknown; name=\"name.\""},
        {16, "a;b.gif", "Image/X-Own; name=\"a;b.gif\""},
        // A line break in a name cannot end the header line early.
        {17, "evil\r\nX-Bad: 1.xyz", "unknown/xyz; name=\"evil  X-Bad: 1.xyz\""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ContentType(row.fileName), row.expected) << "row " << row.row;
}

TEST_F(PartsTest, DatabaseFileList)
{
    const std::string other = WriteFile("other.types", "application/x-other pdf xyz\n");
    {
        CEnvironment list("SENDVALE_MIME_TYPES", "");
        EXPECT_EQ(ContentType("a.pdf"), "unknown/pdf; name=\"a.pdf\"");
    }
    {
        const std::string both = Path("missing.types") + "::" + other + ":" + Path("mime.types");
        CEnvironment list("SENDVALE_MIME_TYPES", both.c_str());
        EXPECT_EQ(ContentType("a.pdf"), "application/x-other; name=\"a.pdf\"");
        EXPECT_EQ(ContentType("a.tst"), "text/x-Test; name=\"a.tst\"");
    }
}

TEST_F(PartsTest, RegistryPathsOtherThanExtensionTypeReadEmpty)
{
    struct {
        const char* path;
        std::size_t size;
        const char* expected;
    } rows[] = {
        {".pdf\\Content Type", 64, "application/pdf"},
        {".PDF\\content type", 64, "application/pdf"},
        {".pdf\\Content Type", 16, "application/pdf"},  // 15 characters and the terminator
        {".pdf\\Content Type", 15, ""},
        {"pdf\\Content Type", 64, ""},
        {".pdf\\Other", 64, ""},
        {".pdf\\sub\\Content Type", 64, ""},
        {"no separator", 64, ""},
    };
    for (const auto& row : rows) {
        char out[64] = "garbage";
        EXPECT_STREQ(ReadRegistryString(row.path, out, row.size), row.expected) << row.path << " " << row.size;
    }
}

TEST_F(PartsTest, LongNamesAreCutNotOverrun)
{
    const std::string name = "/tmp/" + std::string(400, 'n') + "." + std::string(60, 'e');
    CQuillant mail;
    mail.AddPart(name.c_str(), PART_ATTACHMENT);
    const CMessagePart& part = *mail.m_Parts;
    EXPECT_EQ(std::strlen(part.m_ContentTypeBuf), sizeof part.m_ContentTypeBuf - 1);
    EXPECT_EQ(std::strncmp(part.m_ContentTypeBuf, "unknown/eee", 11), 0);
    EXPECT_EQ(std::strlen(part.m_Disposition), sizeof part.m_Disposition - 1);
    EXPECT_EQ(*part.m_Data, name);
}

TEST_F(PartsTest, WriteContentTypeAndQuotedValues)
{
    struct {
        int row;
        const char* type;
        const char* expected;
    } rows[] = {
        {1, "image/gif; name=\"a.gif\"", "image/gif;\r\n\tname=\"a.gif\"\r\n"},
        {2, "text", "text/unknown\r\n"},
        {3, "text; a=b", "text/unknown;\r\n\ta=\"b\"\r\n"},
        {4, "x/y; name=a\"b\\c", "x/y;\r\n\tname=\"a\\\"b\\\\c\"\r\n"},
        {5, "x/y; name=\"ab\" tail", "x/y;\r\n\tname=\"ab\"\r\n"},
        {6, "x/y; name=\"a\\\"b\"", "x/y;\r\n\tname=\"a\\\"b\"\r\n"},
        {7, "x/y; name=\"abc", "x/y;\r\n\tname=\"abc\"\r\n"},
        {8, "image/gif; name=\"a;b.gif\"", "image/gif;\r\n\tname=\"a\";\r\n\tb.gif\"\r\n"},
        {9, "x/y; name=", "x/y;\r\n\tname=\"\"\r\n"},
        {10, "x/y; name=  v ", "x/y;\r\n\tname=\"v \"\r\n"},
        {11, "x/y;\t \n flag", "x/y;\r\n\tflag\r\n"},
        {12, "x/y; a = b=c", "x/y;\r\n\ta =\"b=c\"\r\n"},
        {13, "x/y;;", "x/y;\r\n\t;\r\n\t\r\n"},
        {14, "x/y; p=1; q=\"2\"", "x/y;\r\n\tp=\"1\";\r\n\tq=\"2\"\r\n"},
        // A backslash at the very end may not escape the closing quote.
        {15, "x/y; name=\"ab\\", "x/y;\r\n\tname=\"ab\\\\\"\r\n"},
    };
    CQuillant mail;
    CMessagePart part(&mail);  // not linked: the list is empty
    for (const auto& row : rows)
        EXPECT_EQ(Captured([&](FILE* out) { part.WriteContentType(out, row.type); }), row.expected)
            << "row " << row.row;
    EXPECT_EQ(Captured([&](FILE* out) { part.WriteQuotedValue("", out); }), "\"\"");
}

TEST_F(PartsTest, OemConversionOnlyWhenKindAndFlagSaySo)
{
    const std::string oemFile = WriteFile("oem.txt", "\x81" "ber \xC4\xB3\xD5\x9F");
    struct {
        int row, kind, flag, mime;
        std::string data, stored;
    } rows[] = {
        {1, PART_BODY, 1, 1, "\x81" "ber", "\xFC" "ber"},
        {2, PART_BODY, 1, 1, "plain", "plain"},
        {3, PART_BODY, 0, 1, "\x81", "\x81"},
        {4, PART_OEM, 1, 1, "\x82t\xE9", "\xE9t\xDA"},
        {5, PART_OEM, 0, 1, "\x82", "\x82"},
        {6, PART_QUOTED, 1, 1, "\x82", "\x82"},
        {7, PART_RAW, 1, 1, "\x82", "\x82"},
        {8, PART_BODY, 1, 0, "\x82", "\x82"},
        {9, PART_TEXT_FILE, 1, 1, oemFile, "\xFC" "ber -|i\x83"},
        {10, PART_TEXT_FILE, 0, 1, oemFile, "\x81" "ber \xC4\xB3\xD5\x9F"},
        {11, PART_TEXT_FILE, 1, 0, oemFile, "\x81" "ber \xC4\xB3\xD5\x9F"},
    };
    for (auto& row : rows) {
        CQuillant mail;
        mail.m_OemToAnsi = row.flag;
        mail.m_UseMime = row.mime;
        mail.AddPart(row.data.c_str(), row.kind);
        ASSERT_TRUE(mail.m_Parts->m_Data) << "row " << row.row;
        EXPECT_EQ(*mail.m_Parts->m_Data, row.stored) << "row " << row.row;
    }
}

TEST(CodePage, ConversionInPlaceAndTableEnds)
{
    char text[] = "\x80\x9B\xB0\xC4\xCD\xE1\xF2\xFE\xFF a";
    Platform::OemToAnsi(text, text);
    EXPECT_STREQ(text, "\xC7\xF8#--\xDF_#\xA0 a");
}

TEST(CodePage, TextCharset)
{
    struct {
        const char* text;
        const char* charset;
    } rows[] = {
        {"plain", "iso-8859-1"},
        {"", "iso-8859-1"},
        {"h\xC3\xA9llo", "utf-8"},
        {"\xF0\x9F\x98\x80", "utf-8"},
        {"\xEF\xBF\xBD", "utf-8"},
        {"caf\xE9", "iso-8859-1"},
        {"\xC0\xAF", "iso-8859-1"},         // overlong
        {"\xED\xA0\x80", "iso-8859-1"},     // surrogate
        {"\xF4\x90\x80\x80", "iso-8859-1"}, // past U+10FFFF
        {"\xE2\x82", "iso-8859-1"},         // cut short
        {"\xC3\xA9\xA9", "iso-8859-1"},     // stray continuation byte
    };
    for (const auto& row : rows)
        EXPECT_STREQ(Platform::TextCharset(row.text), row.charset) << row.text;
}

TEST_F(PartsTest, CharsetFromEnvironmentOrText)
{
    struct {
        int row;
        const char* environment;  // null: MM_CHARSET unset
        int oem;
        const char* text;
        const char* line;
    } rows[] = {
        {1, "koi8-r", 0, "h\xC3\xA9", "Content-type: text/plain; charset=koi8-r\r\n"},
        {2, "", 0, "h\xC3\xA9", "Content-type: text/plain; charset=\r\n"},
        {3, nullptr, 0, "h\xC3\xA9", "Content-type: text/plain; charset=utf-8\r\n"},
        {4, nullptr, 0, "caf\xE9", TEXT_LINE},
        {5, nullptr, 0, "plain", TEXT_LINE},
        // The stored text decides: converted OEM text is no longer UTF-8.
        {6, nullptr, 1, "h\xC3\xA9", TEXT_LINE},
        {7, "utf-8\r\nBcc: x\n", 0, "plain", "Content-type: text/plain; charset=utf-8  Bcc: x \r\n"},
    };
    for (const auto& row : rows) {
        CEnvironment charset("MM_CHARSET", row.environment);
        CQuillant mail;
        mail.m_OemToAnsi = row.oem;
        mail.AddPart(row.text, PART_BODY);
        EXPECT_EQ(Headers(*mail.m_Parts), std::string(row.line) + QP_LINE) << "row " << row.row;
    }
}

TEST_F(PartsTest, TextFileLoad)
{
    CQuillant mail;
    EXPECT_EQ(mail.AddPart(Path("missing.txt").c_str(), PART_TEXT_FILE), -1);
    EXPECT_FALSE(mail.m_Parts->m_Data);
    EXPECT_EQ(Headers(*mail.m_Parts), TEXT_LINE);
    EXPECT_EQ(Body(*mail.m_Parts), "");
    EXPECT_EQ(mail.AddPart(m_Dir.Path().c_str(), PART_TEXT_FILE), -1);  // a folder cannot be read
    EXPECT_EQ(mail.AddPart(WriteFile("nul.txt", std::string("ab\0cd", 5)).c_str(), PART_TEXT_FILE), 0);
    EXPECT_EQ(*mail.m_Parts->m_Next->m_Next->m_Data, "ab");
    EXPECT_EQ(mail.AddPart(WriteFile("empty.txt", "").c_str(), PART_TEXT_FILE), 0);
    EXPECT_EQ(*mail.m_Parts->m_Next->m_Next->m_Next->m_Data, "");
}

TEST_F(PartsTest, AttachmentWithoutMimeRaises1)
{
    g_Verbose = 1;
    CQuillant mail;
    mail.m_UseMime = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RaisedBy([&] { mail.AddPart("a.gif", PART_ATTACHMENT); }), ERR_BAD_ARGUMENTS);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "You must enable MIME encoding in order to send attachments.\n");
    ASSERT_TRUE(mail.m_Parts);
    EXPECT_FALSE(mail.m_Parts->m_Data);
}

// A file that is gone, or that opens but cannot be read, must never leave an
// empty or short attachment behind: every encoding raises 12.
TEST_F(PartsTest, UnreadableAttachmentRaises12)
{
    const std::string vanishing = WriteFile("gone.bin", "data");
    const std::string folder = Path("folder.bin");
    fs::create_directories(folder);
    for (int verbose : {0, 1}) {
        for (int encoding : {ENC_BASE64, ENC_QUOTED_PRINTABLE, ENC_NONE}) {
            for (const std::string& name : {vanishing, folder, std::string("/dev/zero")}) {
                WriteFile("gone.bin", "data");
                CQuillant mail;
                ASSERT_EQ(mail.AddPart(name.c_str(), PART_ATTACHMENT), 0);
                fs::remove(vanishing);
                mail.m_Parts->m_Encoding = encoding;
                g_Verbose = verbose;
                ::testing::internal::CaptureStderr();
                EXPECT_EQ(RaisedBy([&] { Body(*mail.m_Parts); }), ERR_TEMP_FILE) << name << " " << encoding;
                const std::string message = !verbose ? ""
                    : name == vanishing ? "Unable to open include file '" + name + "'. Aborting.\n"
                                        : "Include file '" + name + "' is not a regular file or a pipe. Aborting.\n";
                EXPECT_EQ(::testing::internal::GetCapturedStderr(), message);
                EXPECT_EQ(mail.m_ErrorCode, ERR_TEMP_FILE);
            }
        }
    }
}

TEST_F(PartsTest, AttachmentIsReadAnewAtEachWrite)
{
    const std::string name = WriteFile("data.bin", std::string("\0\1\2", 3));
    CQuillant mail;
    mail.AddPart(name.c_str(), PART_ATTACHMENT);
    EXPECT_EQ(Body(*mail.m_Parts), "AAEC\r\n");
    WriteFile("data.bin", "hello");
    EXPECT_EQ(Body(*mail.m_Parts), "aGVsbG8=\r\n");
    mail.m_Parts->m_Encoding = ENC_NONE;
    EXPECT_EQ(Body(*mail.m_Parts), "hello");
}

}  // namespace
