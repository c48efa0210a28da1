// Sessions tried again: which failures earn another, the waits between them,
// and the exact bytes of every session against the fake server.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/transport/DialogueRunner.h"
#include "transport/Retry.h"

namespace {

using namespace DialogueRunner;

TEST(RetryPolicy, OnlyFailuresThatCannotHaveDeliveredAreTriedAgain)
{
    // code, a temporary refusal, the end of data sent, tried again
    const std::tuple<int, bool, bool, bool> rows[] = {
        {6, 0, 0, 1},  {7, 0, 0, 1},  {8, 0, 0, 1},  {14, 0, 0, 1}, {9, 1, 0, 1},  {9, 0, 0, 0},
        {15, 0, 0, 0}, {16, 0, 0, 0}, {12, 0, 0, 0}, {1, 0, 0, 0},  {10, 0, 0, 0}, {5, 0, 0, 0},
        {9, 1, 1, 0},  {8, 0, 1, 0},  {17, 0, 1, 0}, {7, 0, 1, 0},
    };
    const CRetryPolicy policy(3, 60);
    for (const auto& [code, temporary, ended, again] : rows) {
        const CSessionEnd end{code, temporary, ended};
        EXPECT_EQ(policy.TryAgain(1, end), again) << code << temporary << ended;
        EXPECT_FALSE(policy.TryAgain(4, end)) << code;  // the last of four tries
    }
    EXPECT_FALSE(CRetryPolicy(0, 60).TryAgain(1, CSessionEnd{6, false, false}));
}

TEST(RetryPolicy, WaitsDoubleUpToAnHour)
{
    const std::pair<int, std::vector<int>> rows[] = {
        {60, {60, 120, 240, 480, 960, 1920, 3600, 3600}}, {0, {0, 0}}, {1, {1, 2, 4}}, {1000, {1000, 2000, 3600}},
    };
    for (const auto& [first, waits] : rows)
        for (std::size_t i = 0; i < waits.size(); ++i)
            EXPECT_EQ(CRetryPolicy(100, first).DelayAfter(static_cast<int>(i) + 1), waits[i]) << first << " " << i;
    EXPECT_EQ(CRetryPolicy(100, 60).DelayAfter(100), 3600);
}

class Retry : public CDialogueTest {
protected:
    void SetUp() override
    {
        CDialogueTest::SetUp();
        g_TransportSettings.m_RetryDelaySeconds = 0;
        Platform::SetPauseOverride([this](std::uint32_t ms) { m_Waits.push_back(ms); });
    }
    void TearDown() override
    {
        Platform::SetPauseOverride(nullptr);
        g_TransportSettings.m_Retries = 0;
        g_TransportSettings.m_RetryDelaySeconds = DEFAULT_RETRY_DELAY_SECONDS;
        CDialogueTest::TearDown();
    }

    static void Address(CSMTPEmail& mail, bool news)
    {
        mail.m_NewsMode = news ? 1 : 0;
        mail.SetSender("me@example.com");
        mail.AddTo(news ? "comp.test" : "a@example.com");
        SetBody(mail, "body\n");
    }

    std::vector<std::uint32_t> m_Waits;
};

const std::string SMTP_TO_RCPT =
    "S: 220 ready\nC: HELO client.example\nS: 250 hi\nC: MAIL FROM:<me@example.com>\nS: 250 ok\n"
    "C: RCPT TO:<a@example.com>\n";
const std::string SMTP_TO_DATA = SMTP_TO_RCPT + "S: 250 ok\nC: DATA\n";
const std::string SMTP_WHOLE = SMTP_TO_DATA + "S: 354 go" + SMTP_DELIVERED;
const std::string NNTP_TO_POST = "S: 200 ready\nC: GROUP comp.test\nS: 211 0 0 0 comp.test\nC: POST\n";
const std::string NNTP_WHOLE = NNTP_TO_POST + "S: 340 send\nC: {message}\nS: 240 posted\nC: QUIT\nS: 205 bye";

TEST_F(Retry, EachTryIsAWholeSessionUntilOneEndsForGood)
{
    struct Row {
        const char* name;
        bool news;
        int retries;
        std::string transcript;  // "session" starts the next connection's steps
        int sessions;
        int code;
    };
    const Row rows[] = {
        {"451 to RCPT, then delivered", false, 3, SMTP_TO_RCPT + "S: 451 later\nsession\n" + SMTP_WHOLE, 2, 0},
        {"lost greeting, 421, then delivered", false, 2,
         "close\nsession\nS: 421 busy\nsession\n" + SMTP_WHOLE, 3, 0},
        {"451 to DATA, then delivered", false, 1, SMTP_TO_DATA + "S: 451 later\nsession\n" + SMTP_WHOLE, 2, 0},
        {"550 to RCPT", false, 3, SMTP_TO_RCPT + "S: 550 no such user", 1, 9},
        {"451 to RCPT without Retries", false, 0, SMTP_TO_RCPT + "S: 451 later", 1, 9},
        {"451 to RCPT on every try", false, 1, SMTP_TO_RCPT + "S: 451 later\nsession\n" + SMTP_TO_RCPT
                                                   + "S: 451 still", 2, 9},
        {"451 to the end of data", false, 3, SMTP_TO_DATA + "S: 354 go\nC: {message}\nS: 451 lost it", 1, 9},
        {"close after the end of data", false, 3, SMTP_TO_DATA + "S: 354 go\nC: {message}\nclose", 1, 17},
        {"news: 400 to POST, then posted", true, 1, NNTP_TO_POST + "S: 400 busy\nsession\n" + NNTP_WHOLE, 2, 0},
        {"news: close after the article", true, 3, NNTP_TO_POST + "S: 340 send\nC: {message}\nclose", 1, 17},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        m_Waits.clear();
        g_TransportSettings.m_Retries = r.retries;
        CSMTPEmail mail;
        Address(mail, r.news);
        FakeServer::CServerOptions options;
        options.m_Sessions = r.sessions;
        const CRun run = PlayTranscript(mail, r.transcript, [&](CRun& c) { SendCapturing(mail, c); }, options);
        EXPECT_EQ(run.m_Code, r.code);
        std::string payload;
        EXPECT_TRUE(StreamMatches(run.m_Expected, run.m_Sent, payload));
        EXPECT_EQ(m_Waits.size(), static_cast<std::size_t>(r.sessions - 1));
        EXPECT_EQ(run.m_Err, "");
        if (r.code == 0) {
            EXPECT_TRUE(run.m_Problems.empty()) << run.m_Problems.front();
        }
    }
}

// The server starts listening only during the second wait.
TEST_F(Retry, RefusedConnectionSucceedsOnTheThirdTry)
{
    int port = 0;
    {
        Platform::CSocket closed(Platform::ListenLoopback(0, port));
        ASSERT_TRUE(closed.IsOpen());
    }
    std::string script;
    std::string expected;
    ParseTranscript(SMTP_WHOLE, script, expected);
    std::vector<FakeServer::CStep> steps;
    std::string error;
    ASSERT_TRUE(FakeServer::ParseScript(script, steps, error)) << error;
    FakeServer::CServerOptions options;
    options.m_Port = port;
    FakeServer::CScriptServer server(steps, options);
    Platform::SetPauseOverride([&](std::uint32_t ms) {
        m_Waits.push_back(ms);
        if (m_Waits.size() == 2) {
            EXPECT_TRUE(server.Start());
        }
    });
    const std::string host = "127.0.0.1:" + std::to_string(port);
    CopyText(g_SmtpHost, sizeof g_SmtpHost, host.c_str());
    g_TransportSettings.m_Retries = 2;
    g_TransportSettings.m_RetryDelaySeconds = 1;
    g_Verbose = 1;
    CSMTPEmail mail;
    Address(mail, false);
    CRun run;
    SendCapturing(mail, run);
    server.Wait();
    EXPECT_EQ(run.m_Code, 0);
    EXPECT_EQ(mail.m_ErrorCode, 0);
    EXPECT_EQ(m_Waits, (std::vector<std::uint32_t>{1000, 2000}));
    const std::string refused =
        "Failed to connect to server '" + host + "' port " + std::to_string(port) + ". Winsock error: 111\n";
    EXPECT_EQ(run.m_Err, refused + "Retrying in 1 second (try 2 of 3): FAILED_TO_CONNECT\n" + refused
                             + "Retrying in 2 seconds (try 3 of 3): FAILED_TO_CONNECT\n");
    std::string payload;
    EXPECT_TRUE(StreamMatches(expected, server.Received(), payload));
}

}  // namespace
