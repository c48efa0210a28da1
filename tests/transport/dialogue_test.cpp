// Both dialogues against exact bytes: one transcript per scenario, the whole
// stream the client sent compared, the spool folder checked empty after each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/transport/DialogueRunner.h"
#include "transport/Settings.h"

namespace {

using namespace DialogueRunner;

struct Scenario {
    const char* name;
    void (*setup)(CSMTPEmail& mail);
    std::string transcript;
    int code;
    std::vector<const char*> payloadHas;   // texts the message must hold
    std::vector<const char*> payloadLacks; // texts it must not
};

// The news dialogue after the login (if any) up to POST.
std::string NntpUntilPost(const std::string& login)
{
    return "S: 200 news ready\n" + login + "C: GROUP comp.test\nS: 211 1 1 1 comp.test\nC: POST\n";
}

// The reply to POST and the rest when the article is taken.
const std::string NNTP_POSTED = "S: 340 send it\nC: {message}\nS: 240 posted\nC: QUIT\nS: 205 bye";

// A short article to comp.test with the given login and sender ("" for none).
void ShortArticle(CSMTPEmail& m, const char* user, const char* password, const char* sender)
{
    m.m_NewsMode = 1;
    CopyText(g_NntpUser, sizeof g_NntpUser, user);
    CopyText(g_NntpPassword, sizeof g_NntpPassword, password);
    if (*sender)
        m.SetSender(sender);
    m.AddTo("comp.test");
    SetBody(m, "a\n");
}

const Scenario SCENARIOS[] = {
    {"SmtpSeveralReceivers",
     [](CSMTPEmail& m) {
         m.SetSender("me@example.com");
         m.AddTo("a@example.com");
         m.AddTo("John Doe <jd@example.com>");
         m.AddCc("c@example.com");
         m.AddBcc("hidden@example.com");
         SetBody(m, "Hello\n");
     },
     SmtpUntilData("S: 220 fake.example ESMTP", "me@example.com",
                   {"a@example.com", "jd@example.com", "c@example.com", "hidden@example.com"})
         + SMTP_DELIVERED,
     0,
     {"Return-Path: me@example.com\r\n", "To: a@example.com,John Doe <jd@example.com>\r\n",
      "Cc: c@example.com\r\n", "\r\n\r\nHello\r\n"},
     {"hidden"}},

    {"SmtpWithoutSenderUsesNullPath",
     [](CSMTPEmail& m) {
         m.AddTo("a@example.com");
         SetBody(m, "x");
     },
     SmtpUntilData("S: 220 ready", "", {"a@example.com"}) + SMTP_DELIVERED,
     0,
     {"Return-Path: (NULL)\r\n", "\r\n\r\nx"},
     {}},

    {"SmtpSplitAndMultiLineReplies",
     [](CSMTPEmail& m) {
         m.SetSender("me@example.com");
         m.AddTo("a@example.com");
         SetBody(m, "x\n");
     },
     R"(S~ 22
pause 100
S~ 0-fake.example\r\n220 ready\r\n
C: HELO client.example
S~ 250-fake.example\r\n250-SIZE 1000\r\n
pause 100
S~ 250 HELP\r
pause 100
S~ \n
C: MAIL FROM:<me@example.com>
S: 250 ok
C: RCPT TO:<a@example.com>
S: 250 ok
C: DATA
S: 354 go)" + std::string(SMTP_DELIVERED),
     0,
     {},
     {}},

    {"NntpUserPasswordTwoGroups",
     [](CSMTPEmail& m) {
         m.m_NewsMode = 1;
         CopyText(g_NntpUser, sizeof g_NntpUser, "reader");
         CopyText(g_NntpPassword, sizeof g_NntpPassword, "secret");
         m.SetSender("me@example.com");
         m.AddTo("comp.test");
         m.AddTo("alt.test");
         SetBody(m, "article\n");
     },
     NntpUntilPost("C: AUTHINFO USER reader\nS: 381 more\nC: AUTHINFO PASS secret\nS: 281 ok\n") + NNTP_POSTED,
     0,
     {"Newsgroups: comp.test,alt.test\r\n", "Reply-To: me@example.com\r\n", "\r\n\r\narticle\r\n"},
     {"Return-Path"}},

    {"NntpUserWithoutPasswordSendsOnlyUser",
     [](CSMTPEmail& m) { ShortArticle(m, "reader", "", "me@example.com"); },
     NntpUntilPost("C: AUTHINFO USER reader\nS: 281 ok\n") + NNTP_POSTED,
     0,
     {},
     {}},

    {"NntpPasswordWithoutUserSendsNeither",
     [](CSMTPEmail& m) { ShortArticle(m, "", "secret", "me@example.com"); },
     NntpUntilPost("") + NNTP_POSTED,
     0,
     {},
     {}},

    {"NntpNoSender",
     [](CSMTPEmail& m) { ShortArticle(m, "", "", ""); },
     NntpUntilPost("") + NNTP_POSTED,
     0,
     {"Reply-To: (NULL)\r\n"},
     {}},

    {"NntpPostRefused",
     [](CSMTPEmail& m) { ShortArticle(m, "", "", ""); },
     NntpUntilPost("") + "S: 440 posting not allowed",
     9,
     {},
     {}},
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class Dialogue : public CDialogueTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Dialogue, SendsExactlyTheseBytes)
{
    const Scenario& s = GetParam();
    CSMTPEmail mail;
    s.setup(mail);
    const CRun run = Run(mail, s.transcript);
    EXPECT_EQ(run.m_Code, s.code);
    std::string payload;
    EXPECT_TRUE(StreamMatches(run.m_Expected, run.m_Sent, payload));
    for (const char* text : s.payloadHas)
        EXPECT_NE(payload.find(text), std::string::npos) << "missing [" << text << "] in\n" << payload;
    for (const char* text : s.payloadLacks)
        EXPECT_EQ(payload.find(text), std::string::npos) << "unwanted [" << text << "] in\n" << payload;
    if (s.code == 0) {
        EXPECT_TRUE(run.m_Problems.empty()) << run.m_Problems.front();
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Dialogue, ::testing::ValuesIn(SCENARIOS),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// One Message-ID, right after Date, in every layout and in news; its domain
// is the sender's, else the local host's; one that was given is kept.
TEST_F(CDialogueTest, EveryMessageCarriesOneMessageId)
{
    const struct {
        void (*setup)(CSMTPEmail& m);
        const char* domain;  // the id itself when it was given
    } rows[] = {
        {[](CSMTPEmail& m) { m.AddPart("x", PART_BODY); }, "@example.com>"},
        {[](CSMTPEmail& m) { m.AddPart("x", PART_BODY); m.AddPart("y", PART_QUOTED); }, "@example.com>"},
        {[](CSMTPEmail& m) { SetBody(m, "x"); }, "@example.com>"},
        {[](CSMTPEmail& m) { ShortArticle(m, "", "", ""); }, "@client.example>"},
        {[](CSMTPEmail& m) { m.SetHeader("Message-ID", "<kept@x>", 0); SetBody(m, "x"); }, "<kept@x>"},
    };
    for (const auto& row : rows) {
        CSMTPEmail mail;
        row.setup(mail);
        const bool news = mail.m_NewsMode == 1;
        if (!news) {
            mail.SetSender("me@example.com");
            mail.AddTo("a@example.com");
        }
        const CRun run = Run(mail, news ? NntpUntilPost("") + NNTP_POSTED
                                        : SmtpUntilData("S: 220 ok", "me@example.com", {"a@example.com"})
                                             + SMTP_DELIVERED);
        std::string payload;
        ASSERT_TRUE(StreamMatches(run.m_Expected, run.m_Sent, payload));
        const std::string head = "\r\n" + payload.substr(0, payload.find("\r\n\r\n") + 2);
        const std::size_t at = head.find("\r\nMessage-ID: ");
        ASSERT_NE(at, std::string::npos) << head;
        EXPECT_EQ(at, head.rfind("\r\nMessage-ID: ")) << head;
        const std::string id = head.substr(at + 14, head.find('\r', at + 2) - at - 14);
        if (row.domain[0] == '<') {
            EXPECT_EQ(id, row.domain);
            continue;
        }
        EXPECT_EQ(id.substr(id.find('@')), row.domain) << id;
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef.", 1), id.find('@')) << id;
        EXPECT_EQ(head.rfind("\r\nDate: ", at - 1), head.rfind("\r\n", at - 1)) << head;
    }
}

// ------------------------------------------------------------------ failures at every step

struct Step {
    const char* client;  // "" for the greeting
    const char* reply;
};

const std::vector<Step> SMTP_STEPS = {
    {"", "220 ready"},
    {"HELO client.example", "250 hi"},
    {"MAIL FROM:<me@example.com>", "250 ok"},
    {"RCPT TO:<a@example.com>", "250 ok"},
    {"RCPT TO:<b@example.com>", "250 ok"},
    {"DATA", "354 go"},
    {"{message}", "250 queued"},
    {"QUIT", "221 bye"},
};

const std::vector<Step> NNTP_STEPS = {
    {"", "200 ready"},
    {"AUTHINFO USER reader", "381 more"},
    {"AUTHINFO PASS secret", "281 ok"},
    {"GROUP comp.test", "211 0 0 0 comp.test"},
    {"POST", "340 send"},
    {"{message}", "240 posted"},
    {"QUIT", "205 bye"},
};

struct Failure {
    const char* name;
    const char* serverStep;  // what the server does instead of replying
    int code;
    const char* htmlReport;  // expected on stdout with the HTML report on
    int afterData;           // the code in reply to the end of data
};

// A server that vanishes once it has the whole message may have kept it.
const Failure FAILURES[] = {
    {"Refused5xx", "S: 554 refused", 9, "<h3>SMTP server error: 554 refused\r\n</h3>\n", 9},
    {"Busy4xx", "S: 421 busy", 9, "<h3>SMTP server error: 421 busy\r\n</h3>\n", 9},
    {"Letter", "S: hello", 8, "", 8},  // no reply at all: it is not well formed
    {"MultiLine5xx", "S~ 550-first\\r\\n550 second\\r\\n", 9,
     "<h3>SMTP server error: 550-first\r\n550 second\r\n</h3>\n", 9},
    {"Closes", "close", 8, "", 17},
    {"ClosesMidReply", "S~ 250 no line end\nclose", 8, "", 17},
};

void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

void SetUpFor(CSMTPEmail& mail, bool news)
{
    mail.SetSender("me@example.com");
    if (news) {
        mail.m_NewsMode = 1;
        CopyText(g_NntpUser, sizeof g_NntpUser, "reader");
        CopyText(g_NntpPassword, sizeof g_NntpPassword, "secret");
        mail.AddTo("comp.test");
    } else {
        mail.AddTo("a@example.com");
        mail.AddBcc("b@example.com");
    }
    SetBody(mail, "body\n");
}

// The steps before failAt pass; step failAt's command goes out and the
// server answers it with the failure (or vanishes). Nothing may follow. A
// failing QUIT comes after delivery: the result is success, no error page.
std::string TranscriptFailingAt(const std::vector<Step>& steps, std::size_t failAt, const char* failure)
{
    std::string text;
    for (std::size_t i = 0; i <= failAt; ++i) {
        if (*steps[i].client)
            text += std::string("C: ") + steps[i].client + "\n";
        text += i == failAt ? std::string(failure) + "\n" : std::string("S: ") + steps[i].reply + "\n";
    }
    return text;
}

class StepFailure : public CDialogueTest,
                    public ::testing::WithParamInterface<std::tuple<bool, Failure, bool>> {};

TEST_P(StepFailure, EndsWithItsCodeAndSendsNothingMore)
{
    const bool news = std::get<0>(GetParam());
    const Failure& failure = std::get<1>(GetParam());
    const bool html = std::get<2>(GetParam());
    const std::vector<Step>& steps = news ? NNTP_STEPS : SMTP_STEPS;
    for (std::size_t failAt = 0; failAt < steps.size(); ++failAt) {
        SCOPED_TRACE("failing at step " + std::to_string(failAt));
        const bool delivered = failAt + 1 == steps.size();
        CSMTPEmail mail;
        mail.m_HtmlErrorReport = html ? 1 : 0;
        SetUpFor(mail, news);
        const CRun run = Run(mail, TranscriptFailingAt(steps, failAt, failure.serverStep));
        const int code = delivered ? 0 : failAt + 2 == steps.size() ? failure.afterData : failure.code;
        EXPECT_EQ(run.m_Code, code);
        EXPECT_EQ(mail.m_ErrorCode, code);
        std::string payload;
        EXPECT_TRUE(StreamMatches(run.m_Expected, run.m_Sent, payload));
        EXPECT_EQ(run.m_Out, html && !delivered ? failure.htmlReport : "");
        EXPECT_EQ(run.m_Err, "");  // neither verbose nor debug
        EXPECT_TRUE(std::filesystem::is_empty(m_Spool));
    }
}

INSTANTIATE_TEST_SUITE_P(AllSteps, StepFailure,
                         ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(FAILURES), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<bool, Failure, bool>>& info) {
                             return std::string(std::get<0>(info.param) ? "Nntp" : "Smtp")
                                 + std::get<1>(info.param).name + (std::get<2>(info.param) ? "Html" : "");
                         });

// ------------------------------------------------------------------ single cases

class DialogueCase : public CDialogueTest {
protected:
    // Sends the usual mail with the SMTP server setting as given.
    static CRun SendToHost(const std::string& host)
    {
        CopyText(g_SmtpHost, sizeof g_SmtpHost, host.c_str());
        CSMTPEmail mail;
        SetUpFor(mail, false);
        CRun run;
        SendCapturing(mail, run);
        return run;
    }
};

// The dialogue for SetUpFor's mail, after the given greeting.
std::string SmtpTranscript(const std::string& greeting)
{
    return SmtpUntilData(greeting, "me@example.com", {"a@example.com", "b@example.com"}) + SMTP_DELIVERED;
}

// Only a well-formed reply is an answer; its first byte then decides.
TEST_F(DialogueCase, WellFormedRepliesAreJudgedByTheirFirstByte)
{
    struct Row {
        const char* greeting;
        int code;
    };
    const Row rows[] = {
        {"S: 220 ok", 0}, {"S: 354 ok", 0}, {"S: 199 ok", 0}, {"S: 099 x", 0}, {"S: 250", 0},
        {"S: 599 no", 9}, {"S: 450-a\nS: 450 b", 9},
        {"S: 0", 8}, {"S:  blank", 8}, {"S~ \\x80 high\\r\\n", 8}, {"S: 4", 8}, {"S: A", 8}, {"S: 25x ok", 8},
        {"S~ \\x00\\x00\\x00\\r\\n", 8}, {"S~ \\r\\n", 8}, {"S~ \\xff\\xfe 550 no\\r\\n", 8},
        {"S: 250-a\nS: b", 8},
    };
    for (const Row& r : rows) {
        CSMTPEmail mail;
        SetUpFor(mail, false);
        const CRun run = Run(mail, r.code ? std::string(r.greeting) : SmtpTranscript(r.greeting));
        EXPECT_EQ(run.m_Code, r.code) << r.greeting;
        std::string payload;
        EXPECT_TRUE(StreamMatches(run.m_Expected, run.m_Sent, payload)) << r.greeting;
    }
}

TEST_F(DialogueCase, RepliesLongerThanTheBufferAreReadToTheirEnd)
{
    std::string greeting;
    for (int i = 0; i < 80; ++i)
        greeting += "S: 220-" + std::string(70, static_cast<char>('a' + i % 26)) + "\n";
    greeting += "S: 220 ready";
    CSMTPEmail mail;
    SetUpFor(mail, false);
    CRun run = Run(mail, SmtpTranscript(greeting));
    EXPECT_EQ(run.m_Code, 0);
    std::string payload;
    EXPECT_TRUE(StreamMatches(run.m_Expected, run.m_Sent, payload));

    // A long refusal: its first 4095 bytes are reported.
    std::string refusal;
    std::string reply;
    for (int i = 0; i < 80; ++i) {
        const std::string line = "554-" + std::string(70, static_cast<char>('a' + i % 26));
        refusal += "S: " + line + "\n";
        reply += line + "\r\n";
    }
    refusal += "S: 554 end";
    CSMTPEmail refused;
    refused.m_HtmlErrorReport = 1;
    SetUpFor(refused, false);
    run = Run(refused, refusal);
    EXPECT_EQ(run.m_Code, 9);
    EXPECT_EQ(run.m_Out, "<h3>SMTP server error: " + reply.substr(0, 4095) + "</h3>\n");
}

TEST_F(DialogueCase, EndlessReplyIsCutOff)
{
    g_Verbose = 1;
    CSMTPEmail mail;
    SetUpFor(mail, false);
    const CRun run = Run(mail, "S~ 250-" + std::string(1 << 20, 'x') + "\nclose");
    EXPECT_EQ(run.m_Code, 8);
    EXPECT_EQ(run.m_Sent, "");
    EXPECT_EQ(run.m_Err, "Server reply longer than 1048576 bytes. Aborting.\n");
}

TEST_F(DialogueCase, DebugTraceShowsEachPieceOfAReply)
{
    g_Debug = 1;
    CSMTPEmail mail;
    SetUpFor(mail, false);
    const CRun run = Run(mail, SmtpTranscript("S~ 22\npause 200\nS~ 0-a\\r\\n\npause 200\nS~ 220 b\\r\\n"));
    EXPECT_EQ(run.m_Code, 0);
    const std::string trace = "Received: (2 bytes) 22"
                              "Incomplete server message. Awaiting CRLF\n"
                              "Received: (5 bytes) 0-a\r\n"
                              "Incomplete server message. Awaiting CRLF\n"
                              "Received: (7 bytes) 220 b\r\n"
                              "Posting: HELO Posting: client.examplePosting: \r\n"
                              "Received: (8 bytes) 250 hi\r\n"
                              "Posting: MAIL FROM:Posting: <me@example.com>Posting: \r\n";
    EXPECT_EQ(run.m_Err.substr(0, trace.size()), trace);
    EXPECT_NE(run.m_Err.find("Posting: \r\n.\r\nReceived: (12 bytes) 250 queued\r\n"
                             "Posting: QUIT\r\nReceived: (9 bytes) 221 bye\r\n"),
              std::string::npos)
        << run.m_Err;
}

TEST_F(DialogueCase, ServerThatNeverAnswersTimesOut)
{
    g_TransportSettings.m_TimeoutSeconds = 1;
    g_Verbose = 1;
    CSMTPEmail mail;
    SetUpFor(mail, false);
    CRun run = Run(mail, "hang");
    EXPECT_EQ(run.m_Code, 8);
    EXPECT_EQ(run.m_Sent, "");
    EXPECT_EQ(run.m_Err, "Timed out after 1 seconds waiting for the server's reply.\n");

    // A server that takes longer than the time-out to accept the message
    // has still got it: the end-of-data reply is waited for far longer.
    CSMTPEmail late;
    SetUpFor(late, false);
    const std::string transcript = SmtpTranscript("S: 220 ok");
    const std::size_t at = transcript.find("S: 250 queued");
    run = Run(late, transcript.substr(0, at) + "pause 2500\n" + transcript.substr(at));
    EXPECT_EQ(run.m_Code, 0) << run.m_Err;
}

TEST_F(DialogueCase, ConnectionRefusedNamesHostAndPort)
{
    int port = 0;
    {
        Platform::CSocket closed(Platform::ListenLoopback(0, port));
        ASSERT_TRUE(closed.IsOpen());
    }
    g_Verbose = 1;
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const CRun run = SendToHost(host);
    EXPECT_EQ(run.m_Code, 6);
    EXPECT_EQ(run.m_Err, "Failed to connect to server '" + host + "' port " + std::to_string(port)
                             + ". Winsock error: 111\n");
}

TEST_F(DialogueCase, UnusableServerNamesEndWithCodeSix)
{
    struct Row {
        const char* host;
        const char* message;
    };
    const Row rows[] = {
        {"", "Failed to connect to server '' port 25. Winsock error: 99\n"},
        {"no-such-host.invalid", "Failed to connect to server 'no-such-host.invalid' port 25. Winsock error: 99\n"},
        {"0.0.0.0:2525", "Failed to connect to server '0.0.0.0:2525' port 2525. Winsock error: 99\n"},
        {"[::]:2525", "Failed to connect to server '[::]:2525' port 2525. Winsock error: 99\n"},
        {"127.0.0.1:0", "Bad port in server name '127.0.0.1:0'.\n"},
        {"127.0.0.1:http", "Bad port in server name '127.0.0.1:http'.\n"},
    };
    g_Verbose = 1;
    for (const Row& r : rows) {
        const CRun run = SendToHost(r.host);
        EXPECT_EQ(run.m_Code, 6) << r.host;
        EXPECT_EQ(run.m_Err, r.message);
    }
}

TEST_F(DialogueCase, BracketedIPv6ServerName)
{
    Platform::SocketAddress address;
    if (!Platform::ResolveAddress("::1", 1, address))
        GTEST_SKIP() << "no IPv6 loopback";
    // The fake server listens on IPv4 only: reaching [::1] proves the
    // bracket was parsed, a refusal names the port that was used.
    g_Verbose = 1;
    const CRun run = SendToHost("[::1]:1");
    EXPECT_EQ(run.m_Code, 6);
    EXPECT_EQ(run.m_Err.rfind("Failed to connect to server '[::1]:1' port 1. Winsock error: ", 0), 0u) << run.m_Err;
}

}  // namespace
