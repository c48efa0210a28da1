#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "quillant/Globals.h"
#include "quillant/Quillant.h"
#include "tests/support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

// The tick count is past 2^31, so the boundary shows it negative.
const Platform::ClockOverride CLOCK{1796611380, 4242, 3000000000u};
const std::string BOUNDARY = "PART.BOUNDARY.QL.4242.1796611380.-1294967296";

const std::string LIBRARY = "X-MailLibrary: Quillant for Win32, message composition library of Sendvale\r\n";
const std::string PREAMBLE =
    "> THIS IS A MESSAGE IN 'MIME' FORMAT.  Your mail reader does not support MIME.\r\n"
    "> Some parts of this will be readable as plain text.\r\n"
    "> To see the rest, you will need to upgrade your mail reader.\r\n";
const std::string TEXT_HEADERS =
    "Content-type: text/plain; charset=iso-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n";
const std::string GIF_HEADERS =
    "Content-type: image/gif;\r\n\tname=\"data.gif\"\r\n"
    "Content-Disposition: attachment; filename=\"data.gif\"\r\n"
    "Content-Transfer-Encoding: base64\r\n";
const std::string GIF_BYTES("\x00\x01\x02" "abc", 6);
const std::string GIF_BASE64 = "AAECYWJj\r\n";

std::string HeaderBlock(bool mime)
{
    return "X-Sender: me@x\r\nTo: you@x\r\nSubject: Hi\r\n" +
           std::string(mime ? "MIME-Version: 1.0\r\n" : "") + LIBRARY +
           "From: me@x\r\nOrganization: Acme\r\n";
}

std::string MultipartStart(const std::string& boundary)
{
    return HeaderBlock(true) + "Content-type: multipart/mixed;\r\n\tboundary=" + boundary +
           "\r\n\r\n\r\n" + PREAMBLE;
}

std::string Delimiter(const std::string& boundary) { return "\r\n--" + boundary + "\r\n"; }

using TestUtil::CFilePtr;
using TestUtil::ReadFile;

// Attachments are named without a folder.
class WriterTest : public TestUtil::CInTempFolderTest {
protected:
    void SetUp() override
    {
        setenv("MM_CHARSET", "iso-8859-1", 1);
        setenv("SENDVALE_MIME_TYPES", "", 1);
        Platform::SetClockOverride(&CLOCK);
        CopyText(g_Organization, sizeof g_Organization, "Acme");
        Save("data.gif", GIF_BYTES);
    }
    void TearDown() override
    {
        Platform::SetClockOverride(nullptr);
        g_Organization[0] = '\0';
    }
    static void Save(const std::string& name, const std::string& bytes) { TestUtil::WriteFile(name, bytes); }
    static void Address(CQuillant& mail)
    {
        mail.SetSender("me@x");
        mail.AddTo("you@x");
        mail.SetSubject("Hi");
    }
    // Writes the message into a file and returns its bytes.
    static std::string Render(CQuillant& mail, int& result, const char* name = "message.eml")
    {
        {
            CFilePtr out(std::fopen(name, "wb"));
            result = mail.WriteOutMessage(out.get());
        }
        return ReadFile(name);
    }
    static int MimeCheck(const std::vector<std::string>& arguments)
    {
        const char* dir = std::getenv("SENDVALE_TESTS_DIR");
        const fs::path script = dir ? fs::path(dir) / "quillant" / "mime_check.py"
                                    : fs::path(__FILE__).parent_path() / "mime_check.py";
        std::string command = "python3 '" + script.string() + "'";
        for (const std::string& argument : arguments)
            command += " '" + argument + "'";
        return std::system(command.c_str());
    }
};

TEST_F(WriterTest, LayoutsAreWrittenByteForByte)
{
    const std::string body = "1+1=2\n";  // "=" tells quoted-printable from raw
    const std::string qpBody = "1+1=3D2\n";
    const struct {
        int mime;
        std::vector<std::pair<int, std::string>> parts;
        std::string expected;
    } rows[] = {
        /* 0 multipart */ {1, {{PART_BODY, body}, {PART_ATTACHMENT, "data.gif"}},
                           MultipartStart(BOUNDARY) + Delimiter(BOUNDARY) + TEXT_HEADERS + "\r\n" +
                               qpBody + Delimiter(BOUNDARY) + GIF_HEADERS + "\r\n" + GIF_BASE64 +
                               "\r\n--" + BOUNDARY + "--\r\n"},
        /* 1 one part */ {1, {{PART_BODY, body}}, HeaderBlock(true) + TEXT_HEADERS + "\r\n" + qpBody},
        /* 2 plain, first part only */ {0, {{PART_BODY, body}, {PART_BODY, "second\n"}},
                                        HeaderBlock(false) + "\r\n" + body},
        /* 3 plain */ {0, {{PART_BODY, body}}, HeaderBlock(false) + "\r\n" + body},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        CQuillant mail;
        mail.m_UseMime = rows[i].mime;
        Address(mail);
        for (const auto& [kind, data] : rows[i].parts)
            mail.AddPart(data.c_str(), kind);
        int result = -2;
        EXPECT_EQ(rows[i].expected, Render(mail, result)) << "row " << i;
        EXPECT_EQ(0, result) << "row " << i;
    }
}

TEST_F(WriterTest, SecondWriteGetsNewBoundaryInPlace)
{
    CQuillant mail;
    Address(mail);
    mail.AddPart("text\n", PART_BODY);
    mail.AddPart("data.gif", PART_ATTACHMENT);
    int result = -2;
    Render(mail, result);
    Platform::ClockOverride later = CLOCK;
    later.tickCount = 17;
    Platform::SetClockOverride(&later);
    const std::string boundary = "PART.BOUNDARY.QL.4242.1796611380.17";
    EXPECT_EQ(MultipartStart(boundary) + Delimiter(boundary) + TEXT_HEADERS + "\r\ntext\n" +
                  Delimiter(boundary) + GIF_HEADERS + "\r\n" + GIF_BASE64 + "\r\n--" + boundary + "--\r\n",
              Render(mail, result));
    EXPECT_EQ(0, result);
}

TEST_F(WriterTest, BoundaryHeldByATextGainsANumber)
{
    CQuillant mail;
    Address(mail);
    const std::string text = "--" + BOUNDARY + "\n--" + BOUNDARY + ".1\n";
    mail.AddPart(text.c_str(), PART_BODY);
    mail.AddPart("data.gif", PART_ATTACHMENT);
    int result = -2;
    const std::string message = Render(mail, result);
    EXPECT_NE(std::string::npos, message.find("boundary=" + BOUNDARY + ".2\r\n")) << message;
    EXPECT_EQ(0, result);
}

TEST_F(WriterTest, NoPartsWritesNothingButCompletesHeaders)
{
    g_Organization[0] = '\0';
    CQuillant mail;
    mail.SetHeader("From", "", 0);
    int result = -2;
    EXPECT_EQ("", Render(mail, result));
    EXPECT_EQ(0, result);
    std::string names;
    for (CHeaderField* f = mail.m_Headers.get(); f; f = f->m_Next.get())
        names += std::string(f->m_Name) + "=" + f->m_Value + ";";
    EXPECT_EQ("From=(NULL);MIME-Version=1.0;X-MailLibrary=Quillant for Win32, message composition "
              "library of Sendvale;X-Sender=(NULL);",
              names);
}

TEST_F(WriterTest, LineBreaksInValuesCannotAddHeaders)
{
    CopyText(g_Organization, sizeof g_Organization, "Acme\r\nBcc: org@x");
    CQuillant mail;
    mail.SetSender("me@x");
    mail.SetSubject("Hi\nBcc: subject@x");
    mail.AddPart("text\n", PART_BODY);
    int result = -2;
    EXPECT_EQ("X-Sender: me@x\r\nSubject: Hi Bcc: subject@x\r\nMIME-Version: 1.0\r\n" + LIBRARY +
                  "From: me@x\r\nOrganization: Acme  Bcc: org@x\r\n" + TEXT_HEADERS + "\r\ntext\n",
              Render(mail, result));
    EXPECT_EQ(0, result);
}

TEST_F(WriterTest, VanishedAttachmentStopsWithTwelveKeepingWhatWasWritten)
{
    Save("gone.gif", "x");
    CQuillant mail;
    Address(mail);
    mail.AddPart("text\n", PART_BODY);
    mail.AddPart("data.gif", PART_ATTACHMENT);
    mail.AddPart("gone.gif", PART_ATTACHMENT);
    fs::remove("gone.gif");
    std::string goneHeaders = GIF_HEADERS;
    for (std::size_t at; (at = goneHeaders.find("data.gif")) != std::string::npos;)
        goneHeaders.replace(at, 8, "gone.gif");
    int result = -2;
    EXPECT_EQ(MultipartStart(BOUNDARY) + Delimiter(BOUNDARY) + TEXT_HEADERS + "\r\ntext\n" +
                  Delimiter(BOUNDARY) + GIF_HEADERS + "\r\n" + GIF_BASE64 + Delimiter(BOUNDARY) +
                  goneHeaders + "\r\n",
              Render(mail, result));
    EXPECT_EQ(12, result);
}

// An independent MIME parser must get back exactly the bytes that were added.
TEST_F(WriterTest, PartsDecodeToWhatWasAdded)
{
    const std::string text = "plain line\r\nCRLF line with blank \r\nbare LF with tab\t\n= sign\n" +
                             std::string(100, 'L') + "\n\xc3\xa9t\xc3\xa9\nno final line end";
    std::string binary;
    for (unsigned value = 12345; binary.size() < 1000;) {
        value = value * 1103515245u + 12345u;
        binary += static_cast<char>(value >> 16);
    }
    Save("body.txt", text);
    Save("random.bin", binary);
    Save("exact57.bin", std::string(57, '\xff'));
    Save("empty.bin", "");

    CQuillant multi;
    Address(multi);
    multi.AddPart(text.c_str(), PART_BODY);
    for (const char* name : {"random.bin", "exact57.bin", "empty.bin"})
        multi.AddPart(name, PART_ATTACHMENT);
    int result = -2;
    Render(multi, result, "multi.eml");
    EXPECT_EQ(0, result);
    EXPECT_EQ(0, MimeCheck({"--boundary", BOUNDARY, "multi.eml", "body.txt", "random.bin",
                            "exact57.bin", "empty.bin"}));

    CQuillant single;
    Address(single);
    single.AddPart(text.c_str(), PART_BODY);
    Render(single, result, "single.eml");
    EXPECT_EQ(0, MimeCheck({"single.eml", "body.txt"}));
}

}  // namespace
