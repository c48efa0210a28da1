// The URL server forms against a TLS-capable fake server: ESMTP, STARTTLS,
// implicit TLS, every certificate fault and every login, as exact bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TestCerts.h"
#include "tests/transport/DialogueRunner.h"
#include "transport/Esmtp.h"
#include "transport/ServerName.h"
#include "transport/Settings.h"

namespace {

using namespace DialogueRunner;

const TestCerts::CTestPki& Pki()
{
    static TestCerts::CTestPki pki;
    static const bool made = [] {
        // Test processes run side by side, each with its own certificates.
        std::string dir = (std::filesystem::temp_directory_path() / "sendvale-pki-XXXXXX").string();
        return mkdtemp(&dir[0]) && TestCerts::MakeTestPki(dir, pki);
    }();
    EXPECT_TRUE(made);
    return pki;
}

enum Cert { GOOD, EXPIRED, WRONG_HOST, SELF_SIGNED };

const TestCerts::CCertificate& Certificate(Cert c)
{
    const auto& p = Pki();
    return c == GOOD ? p.m_Good : c == EXPIRED ? p.m_Expired : c == WRONG_HOST ? p.m_WrongHost : p.m_SelfSigned;
}

// The greeting and the EHLO reply in the clear, then STARTTLS and its go-ahead.
const std::string CLEAR_START = "S: 220 fake ESMTP\nC: EHLO client.example\nS: 250-fake\nS: 250-AUTH PLAIN\n"
                                "S: 250 STARTTLS\nC: STARTTLS\n";
// The EHLO inside TLS, offering what.
std::string EhloInside(const std::string& offers)
{
    return "C: EHLO client.example\nS: 250-fake\nS: 250 " + offers + "\n";
}
const std::string MAIL = "C: MAIL FROM:<me@example.com>\nS: 250 ok\nC: RCPT TO:<to@example.com>\nS: 250 ok\n"
                         "C: DATA\nS: 354 go" + std::string(SMTP_DELIVERED);

struct TlsCase {
    const char* name;
    const char* scheme;
    Cert cert;
    bool implicitTls;
    const char* user;        // SMTP User
    const char* auth;        // SMTP Auth
    bool trustTestCa;        // CA File = the test CA
    int pin;                 // TLS Fingerprint: 0 none, 1 the served certificate's, 2 another one's
    std::string transcript;
    int code;
    const char* errHas;      // in the verbose messages
};

const TlsCase CASES[] = {
    {"SubmissionForgetsClearCapabilities", "submission", GOOD, false, "user", "", true, 0,
     CLEAR_START + "S: 220 go ahead\nstarttls\n" + EhloInside("AUTH LOGIN")
         + "C: AUTH LOGIN\nS: 334 VXNlcm5hbWU6\nC: dXNlcg==\nS: 334 UGFzc3dvcmQ6\nC: c2VjcmV0\nS: 235 ok\n" + MAIL,
     0, ""},
    {"SubmissionPlainWithoutLogin", "submission", GOOD, false, "", "", true, 0,
     CLEAR_START + "S: 220 go ahead\nstarttls\n" + EhloInside("AUTH PLAIN") + MAIL, 0, ""},
    {"StartTlsNotOffered", "submission", GOOD, false, "user", "", true, 0,
     "S: 220 fake\nC: EHLO client.example\nS: 250 fake", 14, "does not offer STARTTLS"},
    {"StartTlsRefused", "submission", GOOD, false, "user", "", true, 0, CLEAR_START + "S: 454 not now", 14,
     "refused STARTTLS"},
    {"BytesInjectedBeforeHandshake", "submission", GOOD, false, "user", "", true, 0,
     CLEAR_START + "S~ 220 go ahead\\r\\n250 injected\\r\\n", 14, "before the TLS handshake"},
    {"HandshakeFails", "submission", GOOD, false, "user", "", true, 0,
     CLEAR_START + "S: 220 go ahead\npause 100\nS: this is no TLS", 14, "TLS with server"},
    {"EhloRefusedFallsBackToHelo", "smtp", GOOD, false, "", "", false, 0,
     "S: 220 fake\nC: EHLO client.example\nS: 502 what\nC: HELO client.example\nS: 250 hi\n" + MAIL, 0, ""},
    {"SmtpsPlain", "smtps", GOOD, true, "user", "", true, 0,
     "S: 220 fake\n" + EhloInside("AUTH LOGIN PLAIN") + "C: AUTH PLAIN AHVzZXIAc2VjcmV0\nS: 235 ok\n" + MAIL, 0, ""},
    {"SubmissionsIsSmtps", "submissions", GOOD, true, "", "", true, 0, "S: 220 fake\n" + EhloInside("X") + MAIL,
     0, ""},
    {"Xoauth2", "smtps", GOOD, true, "user", "xoauth2", true, 0,
     "S: 220 fake\n" + EhloInside("AUTH XOAUTH2")
         + "C: AUTH XOAUTH2 dXNlcj11c2VyAWF1dGg9QmVhcmVyIHNlY3JldAEB\nS: 235 ok\n" + MAIL,
     0, ""},
    {"Xoauth2ErrorChallenge", "smtps", GOOD, true, "user", "xoauth2", true, 0,
     "S: 220 fake\n" + EhloInside("AUTH XOAUTH2")
         + "C: AUTH XOAUTH2 dXNlcj11c2VyAWF1dGg9QmVhcmVyIHNlY3JldAEB\nS: 334 eyJzdGF0dXMiOiI0MDEifQ==\nC: \n"
           "S: 535 5.7.8 token expired",
     16, "token expired"},
    {"PasswordRefused", "smtps", GOOD, true, "user", "", true, 0,
     "S: 220 fake\n" + EhloInside("AUTH PLAIN") + "C: AUTH PLAIN AHVzZXIAc2VjcmV0\nS: 535 5.7.8 no", 16, "535"},
    {"RequiredMechanismNotOffered", "smtps", GOOD, true, "user", "oauthbearer", true, 0,
     "S: 220 fake\n" + EhloInside("AUTH PLAIN"), 16, "does not offer OAUTHBEARER"},
    {"NoUsableMechanism", "smtps", GOOD, true, "user", "", true, 0, "S: 220 fake\n" + EhloInside("AUTH CRAM-MD5"),
     16, "neither PLAIN nor LOGIN"},
    {"WrongHost", "smtps", WRONG_HOST, true, "", "", true, 0, "S: 220 fake", 15, "mismatch"},
    {"Expired", "smtps", EXPIRED, true, "", "", true, 0, "S: 220 fake", 15, "expired"},
    {"UnknownCa", "smtps", SELF_SIGNED, true, "", "", true, 0, "S: 220 fake", 15, "self-signed"},
    {"SystemStoreDoesNotKnowTestCa", "smtps", GOOD, true, "", "", false, 0, "S: 220 fake", 15, "fingerprint:"},
    {"PinnedSelfSigned", "smtps", SELF_SIGNED, true, "", "", false, 1, "S: 220 fake\n" + EhloInside("X") + MAIL, 0,
     ""},
    {"PinMismatch", "smtps", SELF_SIGNED, true, "", "", true, 2, "S: 220 fake", 15, "does not match"},
};

class Tls : public CDialogueTest, public ::testing::WithParamInterface<TlsCase> {
protected:
    void SetUp() override
    {
        CDialogueTest::SetUp();
        g_Verbose = 1;
        ResetSettings();
    }
    void TearDown() override
    {
        ResetSettings();
        CDialogueTest::TearDown();
    }
    static void ResetSettings()
    {
        auto& t = g_TransportSettings;
        t.m_CaFile.clear();
        t.m_Fingerprint.clear();
        t.m_SmtpUser.clear();
        t.m_SmtpPassword.Assign("");
        t.m_PasswordCommand.clear();
        t.m_SmtpAuth.clear();
    }
    static CRun RunWith(CSMTPEmail& mail, const std::string& transcript, const char* scheme, Cert cert, bool implicitTls)
    {
        FakeServer::CServerOptions options;
        options.m_TlsCertFile = Certificate(cert).m_CertFile;
        options.m_TlsKeyFile = Certificate(cert).m_KeyFile;
        options.m_ImplicitTls = implicitTls;
        return PlayTranscript(mail, transcript, [&](CRun& run) { SendCapturing(mail, run); }, options, scheme);
    }
};

TEST_P(Tls, SendsExactlyTheseBytes)
{
    const TlsCase& c = GetParam();
    auto& t = g_TransportSettings;
    t.m_SmtpUser = c.user;
    t.m_SmtpPassword.Assign("secret");
    t.m_SmtpAuth = c.auth;
    if (c.trustTestCa)
        t.m_CaFile = Pki().m_CaFile;
    t.m_Fingerprint = c.pin == 1 ? Certificate(c.cert).m_Fingerprint : c.pin == 2 ? Certificate(GOOD).m_Fingerprint : "";
    CSMTPEmail mail;
    mail.SetSender("me@example.com");
    mail.AddTo("to@example.com");
    SetBody(mail, "hi\n");
    const CRun run = RunWith(mail, c.transcript, c.scheme, c.cert, c.implicitTls);
    EXPECT_EQ(run.m_Code, c.code) << run.m_Err;
    std::string payload;
    // A handshake the server never answered leaves the client's first record.
    const std::string sent = c.code == 14 && run.m_Sent.size() > run.m_Expected.size()
            && run.m_Sent[run.m_Expected.size()] == '\x16'
        ? run.m_Sent.substr(0, run.m_Expected.size()) : run.m_Sent;
    EXPECT_TRUE(StreamMatches(run.m_Expected, sent, payload)) << run.m_Err;
    EXPECT_NE(run.m_Err.find(c.errHas), std::string::npos) << run.m_Err;
    if (c.code == 0) {
        EXPECT_TRUE(run.m_Problems.empty()) << run.m_Problems[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Tls, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

TEST_F(Tls, OauthBearerNamesHostAndPortAndEndsAFailureWithCtrlA)
{
    g_TransportSettings.m_SmtpUser = "a,b=c";
    g_TransportSettings.m_SmtpAuth = "oauthbearer";
    g_TransportSettings.m_PasswordCommand = "printf 'tok\\nignored'";
    g_TransportSettings.m_CaFile = Pki().m_CaFile;
    CSMTPEmail mail;
    mail.AddTo("to@example.com");
    SetBody(mail, "hi\n");
    // The port is known once the server listens: the transcript names it through a prefix match.
    const CRun run = RunWith(mail,
                             "S: 220 fake\n" + EhloInside("AUTH OAUTHBEARER")
                                 + "expect-prefix AUTH OAUTHBEARER \nS: 334 eyJzdGF0dXMiOiI0MDEifQ==\nC: AQ==\n"
                                   "S: 535 no",
                             "smtps", GOOD, true);
    EXPECT_EQ(run.m_Code, 16);
    const std::size_t at = run.m_Sent.find("AUTH OAUTHBEARER ") + 17;
    const std::string response = run.m_Sent.substr(at, run.m_Sent.find("\r\n", at) - at);
    const std::string port = g_SmtpHost + std::string(g_SmtpHost).rfind(':') + 1;
    EXPECT_EQ(response, Base64Text("n,a=a=2Cb=3Dc,\x01host=127.0.0.1\x01port=" + port + "\x01" "auth=Bearer tok\x01\x01"));
}

TEST_F(Tls, DebugTraceMasksEverySecret)
{
    g_Debug = 1;
    g_TransportSettings.m_SmtpUser = "user";
    g_TransportSettings.m_SmtpPassword.Assign("secret");
    g_TransportSettings.m_CaFile = Pki().m_CaFile;
    CSMTPEmail mail;
    mail.SetSender("me@example.com");
    mail.AddTo("to@example.com");
    SetBody(mail, "hi\n");
    CRun run = RunWith(mail, "S: 220 fake\n" + EhloInside("AUTH LOGIN") + "C: AUTH LOGIN\nS: 334 VXNlcm5hbWU6\n"
                       "C: dXNlcg==\nS: 334 UGFzc3dvcmQ6\nC: c2VjcmV0\nS: 235 ok\n" + MAIL, "smtps", GOOD, true);
    EXPECT_EQ(run.m_Code, 0) << run.m_Err;
    EXPECT_EQ(run.m_Err.find("c2VjcmV0"), std::string::npos) << run.m_Err;
    EXPECT_NE(run.m_Err.find("Posting: ********"), std::string::npos);

    CSMTPEmail news;
    news.m_NewsMode = 1;
    CopyText(g_NntpUser, sizeof g_NntpUser, "reader");
    CopyText(g_NntpPassword, sizeof g_NntpPassword, "newssecret");
    news.AddTo("comp.test");
    SetBody(news, "a\n");
    run = RunWith(news, "S: 200 news\nC: MODE READER\nS: 502 no\nC: AUTHINFO USER reader\nS: 381 more\n"
                        "C: AUTHINFO PASS newssecret\nS: 281 ok\nC: GROUP comp.test\nS: 211 1 1 1 comp.test\n"
                        "C: POST\nS: 340 go\nC: {message}\nS: 240 ok\nC: QUIT\nS: 205 bye", "nntps", GOOD, true);
    EXPECT_EQ(run.m_Code, 0) << run.m_Err;
    EXPECT_EQ(run.m_Err.find("newssecret"), std::string::npos) << run.m_Err;
}

TEST_F(Tls, LoginOverPlainSmtpOrAFailingCommandEndsBeforeConnecting)
{
    struct Row { const char* host; const char* command; int code; const char* errHas; };
    const Row rows[] = {
        {"smtp://127.0.0.1:1", "", 16, "never goes out in the clear"},
        {"smtps://127.0.0.1:1", "exit 3", 16, "it failed"},
        {"smtps://127.0.0.1:1", "true", 16, "printed nothing"},
        {"ftp://127.0.0.1:1", "", 6, "Unknown kind of server"},
        {"nntp://127.0.0.1:1", "", 6, "is not a mail server"},
        {"smtp://::1", "", 6, "Bad host"},
    };
    g_TransportSettings.m_SmtpUser = "user";
    for (const Row& r : rows) {
        g_TransportSettings.m_PasswordCommand = r.command;
        g_TransportSettings.m_SmtpPassword.Assign("pw");
        CopyText(g_SmtpHost, sizeof g_SmtpHost, r.host);
        CSMTPEmail mail;
        mail.AddTo("to@example.com");
        SetBody(mail, "hi\n");
        CRun run;
        SendCapturing(mail, run);
        EXPECT_EQ(run.m_Code, r.code) << r.host;
        EXPECT_NE(run.m_Err.find(r.errHas), std::string::npos) << run.m_Err;
    }
}

TEST(EsmtpRules, ServerNamesCapabilitiesAndEhloName)
{
    struct Row { const char* text; bool news; ServerNameStatus status; ServerScheme scheme; const char* host; int port; };
    const Row rows[] = {
        {"mail.example.com", false, ServerNameStatus::OK, ServerScheme::BARE, "mail.example.com", 25},
        {"smtp://mail.example.com", false, ServerNameStatus::OK, ServerScheme::SMTP, "mail.example.com", 25},
        {"Submission://m.example:2587/", false, ServerNameStatus::OK, ServerScheme::SUBMISSION, "m.example", 2587},
        {"smtps://[::1]", false, ServerNameStatus::OK, ServerScheme::SMTPS, "::1", 465},
        {"submissions://10.0.0.1", false, ServerNameStatus::OK, ServerScheme::SMTPS, "10.0.0.1", 465},
        {"nntp://news.example", true, ServerNameStatus::OK, ServerScheme::NNTP, "news.example", 119},
        {"nntps://news.example", true, ServerNameStatus::OK, ServerScheme::NNTPS, "news.example", 563},
        {"nntps://news.example", false, ServerNameStatus::WRONG_KIND, ServerScheme::BARE, "", 0},
        {"smtp://m.example", true, ServerNameStatus::WRONG_KIND, ServerScheme::BARE, "", 0},
        {"imap://m.example", false, ServerNameStatus::UNKNOWN_SCHEME, ServerScheme::BARE, "", 0},
        {"smtp://m.example:0", false, ServerNameStatus::BAD_PORT, ServerScheme::SMTP, "", 0},
        {"smtp://", false, ServerNameStatus::BAD_HOST, ServerScheme::SMTP, "", 0},
        {"smtp://u@m.example", false, ServerNameStatus::BAD_HOST, ServerScheme::SMTP, "", 0},
        {"smtp://m.example/path", false, ServerNameStatus::BAD_HOST, ServerScheme::SMTP, "", 0},
    };
    for (const Row& r : rows) {
        CServerName name;
        ASSERT_EQ(ParseServer(r.text, r.news, name), r.status) << r.text;
        if (r.status != ServerNameStatus::OK)
            continue;
        EXPECT_EQ(name.m_Scheme, r.scheme) << r.text;
        EXPECT_EQ(name.m_Host, r.host) << r.text;
        EXPECT_EQ(name.m_Port, r.port) << r.text;
    }

    CCapabilities caps;
    caps.Read("250-mail.example STARTTLS\r\n250-pipelining\r\n250-AUTH=LOGIN\r\n250 AUTH plain XOAUTH2\r\n");
    EXPECT_TRUE(caps.Has("PIPELINING"));
    EXPECT_FALSE(caps.Has("STARTTLS"));  // the server's name line offers nothing
    EXPECT_TRUE(caps.OffersAuth("plain") && caps.OffersAuth("LOGIN") && caps.OffersAuth("xoauth2"));
    EXPECT_FALSE(caps.OffersAuth("CRAM-MD5"));

    EXPECT_EQ(EhloName("host.example.com", "127.0.0.1", false), "host.example.com");
    EXPECT_EQ(EhloName("host", "127.0.0.1", false), "[127.0.0.1]");
    EXPECT_EQ(EhloName("", "::1", true), "[IPv6:::1]");
    EXPECT_EQ(Base64Text(""), "");
    EXPECT_EQ(Base64Text("ab"), "YWI=");
    EXPECT_EQ(SaslPlain("user", "secret"), "AHVzZXIAc2VjcmV0");
}

}  // namespace

namespace {

TEST_F(Tls, EverySocketCallUnderTlsFailingInTurn)
{
    g_TransportSettings.m_SmtpUser = "user";
    g_TransportSettings.m_SmtpPassword.Assign("secret");
    g_TransportSettings.m_CaFile = Pki().m_CaFile;
    const std::string transcript = CLEAR_START + "S: 220 go ahead\nstarttls\n" + EhloInside("AUTH PLAIN")
        + "C: AUTH PLAIN AHVzZXIAc2VjcmV0\nS: 235 ok\n" + MAIL;
    auto runOnce = [&](int fault) {
        CSMTPEmail mail;
        mail.SetSender("me@example.com");
        mail.AddTo("to@example.com");
        mail.SetHeader("Message-ID", "<same@example.com>", 0);  // the runs must not differ
        SetBody(mail, "hi\n");
        Platform::SetSocketFault(fault);
        CRun run = RunWith(mail, transcript, "submission", GOOD, false);
        run.m_Problems.assign(1, std::to_string(Platform::SocketCallCount()));
        Platform::SetSocketFault(0);
        return run;
    };
    const CRun baseline = runOnce(0);
    ASSERT_EQ(baseline.m_Code, 0) << baseline.m_Err;
    const int calls = std::stoi(baseline.m_Problems[0]);
    bool delivered = false;
    for (int n = 1; n <= calls; ++n) {
        SCOPED_TRACE("call " + std::to_string(n) + " fails");
        const CRun run = runOnce(n);
        // Once the end of data was accepted the message counts as delivered.
        delivered = delivered || run.m_Code == 0;
        EXPECT_TRUE(delivered ? run.m_Code == 0
                              : run.m_Code == 7 || run.m_Code == 8 || run.m_Code == 14 || run.m_Code == 17)
            << run.m_Code;
        EXPECT_EQ(baseline.m_Sent.compare(0, run.m_Sent.size(), run.m_Sent), 0);  // nothing after the failure
        EXPECT_TRUE(std::filesystem::is_empty(m_Spool));
    }
    EXPECT_TRUE(delivered);
}

// The password is still there for the second session's login.
TEST_F(Tls, ARetriedSessionLogsInAgain)
{
    auto& t = g_TransportSettings;
    t.m_SmtpUser = "user";
    t.m_SmtpPassword.Assign("secret");
    t.m_CaFile = Pki().m_CaFile;
    t.m_Retries = 1;
    t.m_RetryDelaySeconds = 0;
    CSMTPEmail mail;
    mail.SetSender("me@example.com");
    mail.AddTo("to@example.com");
    SetBody(mail, "hi\n");
    const std::string login =
        "S: 220 fake\n" + EhloInside("AUTH PLAIN") + "C: AUTH PLAIN AHVzZXIAc2VjcmV0\nS: 235 ok\n";
    FakeServer::CServerOptions options;
    options.m_TlsCertFile = Pki().m_Good.m_CertFile;
    options.m_TlsKeyFile = Pki().m_Good.m_KeyFile;
    options.m_ImplicitTls = true;
    options.m_Sessions = 2;
    // A reply ahead of the message ends the first session once the login is over.
    const std::string early = MAIL.substr(0, MAIL.find("S: 354")) + "S~ 354 go\\r\\n421 bye\\r\\n\nsession\n";
    const CRun run = PlayTranscript(mail, login + early + login + MAIL, [&](CRun& r) { SendCapturing(mail, r); },
                                    options, "smtps");
    t.m_Retries = 0;
    t.m_RetryDelaySeconds = DEFAULT_RETRY_DELAY_SECONDS;
    EXPECT_EQ(run.m_Code, 0) << run.m_Err;
    std::string payload;
    EXPECT_TRUE(StreamMatches(run.m_Expected, run.m_Sent, payload));
}

TEST_F(Tls, EhloNamesTheLocalAddressWhenTheHostNameIsNotQualified)
{
    CopyText(g_LocalHostName, sizeof g_LocalHostName, "client");
    CSMTPEmail mail;
    mail.SetSender("me@example.com");
    mail.AddTo("to@example.com");
    SetBody(mail, "hi\n");
    const CRun run = RunWith(mail, "S: 220 fake\nC: EHLO [127.0.0.1]\nS: 250 fake\n" + MAIL, "smtp", GOOD, false);
    EXPECT_EQ(run.m_Code, 0) << run.m_Err;
    std::string payload;
    EXPECT_TRUE(StreamMatches(run.m_Expected, run.m_Sent, payload));
}

}  // namespace
