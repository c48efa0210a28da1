// The fake servers themselves: script syntax, and the sink's storing and
// refusals as the client sees them.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestUtil.h"
#include "tests/transport/DialogueRunner.h"

namespace {

using namespace DialogueRunner;
namespace fs = std::filesystem;

TEST(FakeServerScript, RejectsBadLinesNamingThem)
{
    struct Row {
        const char* script;
        const char* error;
    };
    const Row rows[] = {
        {"send 220 ok\nbogus", "script line 2: unknown step 'bogus'"},
        {"pause\n", "script line 1: pause needs milliseconds"},
        {"# c\n\npause 1x", "script line 3: pause needs milliseconds"},
        {"send a\\q", "script line 1: bad escape"},
        {"send-raw \\x4", "script line 1: bad escape"},
        {"expect x\\", "script line 1: bad escape"},
    };
    for (const Row& r : rows) {
        std::vector<FakeServer::CStep> steps;
        std::string error;
        EXPECT_FALSE(FakeServer::ParseScript(r.script, steps, error)) << r.script;
        EXPECT_EQ(error, r.error);
    }
    std::vector<FakeServer::CStep> steps;
    std::string error;
    ASSERT_TRUE(FakeServer::ParseScript("send-raw a\\r\\n\\x41\\t\\\\\r\n# note\r\nhang\r\n", steps, error));
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].m_Text, "a\r\nA\t\\");
    EXPECT_EQ(steps[1].m_Kind, FakeServer::StepKind::HANG);
}

using TestUtil::ReadFile;

class Sink : public CDialogueTest {
protected:
    int SendToSink(CSMTPEmail& mail, FakeServer::SinkProtocol protocol,
                   std::vector<std::pair<std::string, std::string>> refusals = {})
    {
        fs::create_directory(Store());
        FakeServer::CSinkServer sink(protocol, Store().string(), std::move(refusals));
        const CRun run = SendTo(sink, mail);
        m_Stored = sink.MessagesStored();
        EXPECT_TRUE(run.m_Problems.empty());
        return run.m_Code;
    }
    fs::path Store() const { return m_Spool.string() + "-store"; }
    void TearDown() override
    {
        fs::remove_all(Store());
        CDialogueTest::TearDown();
    }
    int m_Stored = 0;
};

TEST_F(Sink, StoresEachMessageWithoutDotStuffing)
{
    CSMTPEmail mail;
    mail.SetSender("me@example.com");
    mail.AddTo("a@example.com");
    SetBody(mail, ".dot\n..two\n");
    ASSERT_EQ(SendToSink(mail, FakeServer::SinkProtocol::SMTP), 0);
    EXPECT_EQ(m_Stored, 1);
    const std::string message = ReadFile(Store() / "message-1.eml");
    EXPECT_EQ(WireBody(message), ".dot\r\n..two\r\n\r\n");
    EXPECT_EQ(ReadFile(Store() / "message-1.envelope"),
              "HELO client.example\r\nMAIL FROM:<me@example.com>\r\nRCPT TO:<a@example.com>\r\nDATA\r\n");

    CSMTPEmail news;
    news.m_NewsMode = 1;
    CopyText(g_NntpUser, sizeof g_NntpUser, "reader");
    CopyText(g_NntpPassword, sizeof g_NntpPassword, "secret");
    news.AddTo("comp.test");
    SetBody(news, "article\n");
    ASSERT_EQ(SendToSink(news, FakeServer::SinkProtocol::NNTP), 0);
    EXPECT_NE(ReadFile(Store() / "message-1.eml").find("Newsgroups: comp.test\r\n"), std::string::npos);
}

TEST_F(Sink, RefusalsReplaceTheirReplies)
{
    struct Row {
        const char* prefix;
        const char* reply;
        int code;
    };
    const Row rows[] = {
        {"greeting", "421 closing", 9},
        {"rcpt to:<b@", "", 9},
        {"MAIL", "451 later", 9},
        {"message", "552 too big", 9},
        {"QUIT", "500 no", 0},
        {"RCPT TO:<z@", "", 0},  // matches nothing sent
    };
    for (const Row& r : rows) {
        CSMTPEmail mail;
        mail.SetSender("me@example.com");
        mail.AddTo("a@example.com,b@example.com");
        SetBody(mail, "x\n");
        EXPECT_EQ(SendToSink(mail, FakeServer::SinkProtocol::SMTP, {{r.prefix, r.reply}}), r.code) << r.prefix;
        EXPECT_EQ(m_Stored, r.code == 0 ? 1 : 0) << r.prefix;
        fs::remove_all(Store());
    }
}

}  // namespace
