// The message on the wire, the spool file's safety and every socket call
// failing in turn.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/ChildProcess.h"
#include "transport/Settings.h"
#include "platform/Sockets.h"
#include "tests/transport/DialogueRunner.h"
#include "transport/Spool.h"

namespace {

using namespace DialogueRunner;
namespace fs = std::filesystem;

// The dialogue up to the reply to DATA: what goes out when the message
// itself cannot be written.
const std::string SMTP_UNTIL_DATA = SmtpUntilData("S: 220 ready", "me@example.com", {"a@example.com"});
const std::string SMTP_OK = SMTP_UNTIL_DATA + SMTP_DELIVERED;

// Sender and receiver as in the transcripts above; with a body, a raw one.
void Prepare(CSMTPEmail& mail, const char* body = nullptr)
{
    mail.SetSender("me@example.com");
    mail.AddTo("a@example.com");
    if (body)
        SetBody(mail, body);
}

class Delivery : public CDialogueTest {};

TEST_F(Delivery, BodyGoesOutInCanonicalForm)
{
    struct Row {
        const char* body;
        const char* wire;
    };
    const Row rows[] = {
        {".\n", "..\r\n"},
        {"..\n", "...\r\n"},
        {". x\n", ".. x\r\n"},
        {"a\n.\nb\n", "a\r\n..\r\nb\r\n"},
        {"bare\nlf\n", "bare\r\nlf\r\n"},
        {"bare\rcr", "bare\r\ncr"},
        {"cr\r\nlf\r\n", "cr\r\nlf\r\n"},
        {"a\n.\r\nQUIT\n", "a\r\n..\r\nQUIT\r\n"},  // a lone dot never ends the data early
        {"", ""},
    };
    for (const Row& r : rows) {
        CSMTPEmail mail;
        Prepare(mail, r.body);
        const CRun run = Run(mail, SMTP_OK);
        EXPECT_EQ(run.m_Code, 0) << r.body;
        std::string payload;
        ASSERT_TRUE(StreamMatches(run.m_Expected, run.m_Sent, payload)) << r.body;
        EXPECT_EQ(WireBody(payload), r.wire) << r.body;
    }
}

std::string DecodeQuotedPrintable(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
        } else if (text.compare(i + 1, 2, "\r\n") == 0) {
            i += 2;
        } else {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
    }
    return out;
}

std::string UnstuffWire(const std::string& wire)
{
    std::string out;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        const bool lineStart = i == 0 || wire[i - 1] == '\n';
        if (lineStart && wire[i] == '.') {
            EXPECT_EQ(wire[i + 1], '.') << "a line starts with a single dot:\n" << wire;
            ++i;
        }
        out += wire[i];
    }
    return out;
}

// A soft line break can bring a dot to the start of a line; it must be
// doubled there too, wherever the encoder happens to break.
TEST_F(Delivery, DotsAfterSoftLineBreaksAreDoubled)
{
    for (int width = 60; width <= 80; ++width) {
        const std::string text = std::string(static_cast<std::size_t>(width), 'a') + ".end\r\n.\r\n";
        CSMTPEmail mail;
        Prepare(mail);
        mail.AddPart(text.c_str(), PART_QUOTED);
        const CRun run = Run(mail, SMTP_OK);
        EXPECT_EQ(run.m_Code, 0);
        std::string payload;
        ASSERT_TRUE(StreamMatches(run.m_Expected, run.m_Sent, payload));
        EXPECT_EQ(DecodeQuotedPrintable(UnstuffWire(WireBody(payload))), text) << "width " << width;
    }
}

// A server that stops reading: the send waits for room only so long.
TEST_F(Delivery, StalledSendTimesOut)
{
    g_TransportSettings.m_TimeoutSeconds = 1;
    g_Verbose = 1;
    std::string body;
    while (body.size() < (8u << 20))
        body += std::string(99, 'x') + "\n";
    CSMTPEmail mail;
    Prepare(mail, body.c_str());
    const CRun run = Run(mail, SMTP_UNTIL_DATA + "\npause 5000");
    EXPECT_EQ(run.m_Code, 7);
    EXPECT_EQ(run.m_Err, "Timed out after 1 seconds sending to the server.\n");
    EXPECT_EQ(run.m_Sent.rfind(run.m_Expected, 0), 0u);
    EXPECT_LT(run.m_Sent.size(), run.m_Expected.size() + body.size());  // cut short, no end of data
}

// ------------------------------------------------------------------ failure sweep

// The socket calls of one SMTP dialogue in order: a text is one send, an
// empty entry one receive, PAYLOAD the message.
const char PAYLOAD[] = "\x01";
const std::vector<std::string> SMTP_CALLS = {
    "", "HELO ", "client.example", "\r\n", "", "MAIL FROM:", "<me@example.com>", "\r\n", "",
    "RCPT TO:", "<a@example.com>", "\r\n", "", "DATA\r\n", "", PAYLOAD, "\r\n.\r\n", "",
    "QUIT\r\n", "",
};

CRun SendToSink(CSMTPEmail& mail)
{
    FakeServer::CSinkServer sink(FakeServer::SinkProtocol::SMTP, "", {});
    return SendTo(sink, mail);
}

// Each run's own Message-ID would make the runs differ: all share a given one.
TEST_F(Delivery, EverySocketCallFailingInTurn)
{
    Platform::SetSocketFault(0);
    CSMTPEmail whole;
    Prepare(whole, "text\n");
    whole.SetHeader("Message-ID", "<same@example.com>", 0);
    const CRun baseline = SendToSink(whole);
    ASSERT_EQ(baseline.m_Code, 0);
    ASSERT_EQ(Platform::SocketCallCount(), static_cast<int>(SMTP_CALLS.size()));
    std::size_t others = 0;
    for (const std::string& call : SMTP_CALLS)
        others += call == PAYLOAD ? 0 : call.size();
    const std::size_t payloadSize = baseline.m_Sent.size() - others;

    const std::size_t quit = SMTP_CALLS.size() - 2;
    std::size_t sentBefore = 0;
    for (std::size_t n = 0; n < SMTP_CALLS.size(); ++n) {
        SCOPED_TRACE("call " + std::to_string(n + 1) + " fails");
        CSMTPEmail mail;
        Prepare(mail, "text\n");
        mail.SetHeader("Message-ID", "<same@example.com>", 0);
        Platform::SetSocketFault(static_cast<int>(n + 1));
        const CRun run = SendToSink(mail);
        Platform::SetSocketFault(0);
        // A lost reply to the end of data leaves the delivery unknown.
        const int expected = n >= quit ? 0 : n + 1 == quit ? 17 : SMTP_CALLS[n].empty() ? 8 : 7;
        EXPECT_EQ(run.m_Code, expected);
        EXPECT_EQ(run.m_Sent, baseline.m_Sent.substr(0, sentBefore));  // nothing after the failure
        EXPECT_TRUE(fs::is_empty(m_Spool));
        sentBefore += SMTP_CALLS[n] == PAYLOAD ? payloadSize : SMTP_CALLS[n].size();
    }
}

// ------------------------------------------------------------------ spool file

struct ChildSend {
    CSMTPEmail* mail;
};

int SendInChild(void* context)
{
    return static_cast<ChildSend*>(context)->mail->Send();
}

// Runs Send in a limited child process; the code comes back as the child's
// exit status. No server listens: a spool failure must end the run before
// any connection, else it would end with 6.
CRun RunLimited(CSMTPEmail& mail, const Platform::ChildLimits& limits)
{
    ChildSend child{&mail};
    CRun run;
    run.m_Code = Platform::RunInChild(SendInChild, &child, limits);
    return run;
}

TEST_F(Delivery, SpoolWriteFailureSendsNothingOfTheMessage)
{
    CSMTPEmail mail;
    Prepare(mail);
    const std::string big(20000, 'x');
    SetBody(mail, big.c_str());
    Platform::ChildLimits limits;
    limits.m_FileSizeLimit = 1000;
    const CRun run = RunLimited(mail, limits);
    if (run.m_Code == -1)
        GTEST_SKIP() << "no child processes here";
    EXPECT_EQ(run.m_Code, 12);
}

TEST_F(Delivery, SpoolFolderNotWritable)
{
    const fs::path readOnly = m_Spool / "read-only";
    fs::create_directory(readOnly);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read
                                  | fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    setenv("MAIL_TEMP", readOnly.c_str(), 1);
    CSMTPEmail mail;
    Prepare(mail, "x\n");
    Platform::ChildLimits limits;
    limits.m_DropPrivileges = true;
    const CRun run = RunLimited(mail, limits);
    fs::permissions(readOnly, fs::perms::owner_all);
    if (run.m_Code == -1)
        GTEST_SKIP() << "no child processes here";
    EXPECT_EQ(run.m_Code, 12);
    EXPECT_TRUE(fs::is_empty(readOnly));
    fs::remove(readOnly);
}

TEST_F(Delivery, SpoolFolderNameTooLongFailsBeforeTheMessage)
{
    fs::path deep = m_Spool;
    while (deep.string().size() < SPOOL_NAME_SIZE)
        deep /= "deeper-folder";
    fs::create_directories(deep);
    setenv("MAIL_TEMP", deep.c_str(), 1);
    g_Verbose = 1;
    CSMTPEmail mail;
    Prepare(mail, "x\n");
    CRun run;
    SendCapturing(mail, run);  // no server listens: 6 would mean it tried to connect
    EXPECT_EQ(run.m_Code, 12);
    EXPECT_EQ(run.m_Err, "Spool folder name too long: '" + deep.string() + "'. Aborting.\n");
    EXPECT_TRUE(fs::is_empty(deep));
    fs::remove_all(m_Spool / "deeper-folder");
}

TEST_F(Delivery, MissingSpoolFolderFallsBack)
{
    setenv("MAIL_TEMP", (m_Spool / "missing").c_str(), 1);
    CSMTPEmail mail;
    Prepare(mail, "x\n");
    const CRun run = Run(mail, SMTP_OK);
    EXPECT_EQ(run.m_Code, 0);
    EXPECT_FALSE(fs::exists(m_Spool / "missing"));
}

TEST_F(Delivery, PlantedFilesAndLinksAreNeverWrittenThrough)
{
    // Learn the counter, then plant the next names.
    char name[SPOOL_NAME_SIZE];
    FILE* probe = nullptr;
    ASSERT_EQ(GetTempMailFile(name, probe), SpoolStatus::CREATED);
    std::fclose(probe);
    const std::string probeName = name;
    fs::remove(probeName);
    const int next = std::stoi(probeName.substr(probeName.rfind("~mail") + 5)) + 1;

    const fs::path victim = m_Spool.string() + "-victim";
    std::ofstream(victim) << "victim";
    std::vector<fs::path> planted;
    for (int i = next; i < next + 20; ++i) {
        const fs::path p = m_Spool / ("~mail" + std::to_string(i));
        if (i % 2)
            fs::create_symlink(victim, p);
        else
            std::ofstream(p) << "planted";
        planted.push_back(p);
    }
    planted.push_back(m_Spool / ("~mail" + std::to_string(next + 20)));
    fs::create_symlink(m_Spool / "dangling-target", planted.back());

    CSMTPEmail mail;
    Prepare(mail, "x\n");
    const CRun run = Run(mail, SMTP_OK);
    EXPECT_EQ(run.m_Code, 0);
    EXPECT_EQ(fs::file_size(victim), 6u);
    EXPECT_FALSE(fs::exists(m_Spool / "dangling-target"));
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(m_Spool)) {
        ++entries;
        if (!fs::is_symlink(entry.symlink_status())) {
            EXPECT_EQ(fs::file_size(entry.path()), 7u) << entry.path();
        }
    }
    EXPECT_EQ(entries, planted.size());  // the spool itself is gone
    for (const fs::path& p : planted)
        fs::remove(p);
    fs::remove(victim);
}

TEST_F(Delivery, UnreadableAttachmentStopsBeforeTheMessage)
{
    CSMTPEmail mail;
    Prepare(mail);
    mail.AddPart("text\n", PART_BODY);
    mail.AddPart((m_Spool / "no-such-file").c_str(), PART_ATTACHMENT);
    CRun run;
    SendCapturing(mail, run);  // no server listens: 6 would mean it tried to connect
    EXPECT_EQ(run.m_Code, 12);
}

}  // namespace
