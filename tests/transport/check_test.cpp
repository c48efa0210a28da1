// The server check against the fake server: what it reports, and that the
// client sends nothing past the login but QUIT.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "tests/support/TestCerts.h"
#include "tests/transport/DialogueRunner.h"
#include "transport/Check.h"

namespace {

using namespace DialogueRunner;

const TestCerts::CTestPki& Pki()
{
    static TestCerts::CTestPki pki;
    static const bool made = [] {
        std::string dir = (std::filesystem::temp_directory_path() / "sendvale-pki-XXXXXX").string();
        return mkdtemp(&dir[0]) && TestCerts::MakeTestPki(dir, pki);
    }();
    EXPECT_TRUE(made);
    return pki;
}

// The lines of a completed handshake with the certificate, as a pattern.
std::string TlsLines(const TestCerts::CCertificate& cert)
{
    std::string fingerprint;
    for (std::size_t i = 0; i < cert.m_Fingerprint.size(); ++i)
        fingerprint += (i && i % 2 == 0 ? ":" : "") + std::string(1, static_cast<char>(std::toupper(cert.m_Fingerprint[i])));
    const std::string date = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC)";
    return "TLS version: TLS 1\\.[23]\nTLS cipher: TLS_\\w+\nCertificate subject: CN=localhost\n"
           "Certificate issuer: CN=Sendvale Test CA\nCertificate valid from: " + date + "\nCertificate valid until: "
        + date + "\nCertificate SHA-256: " + fingerprint + "\n";
}

const std::string HEAD = R"(Connected: 127\.0\.0\.1 port \d+
TLS: )";
const std::string EHLO = "C: EHLO client.example\nS: 250-fake\nS: 250";
const std::string EHLO_PLAIN = EHLO + " AUTH PLAIN\n";
const std::string QUIT = "C: QUIT\nS: 221 bye";

class Check : public CDialogueTest {
protected:
    void SetUp() override
    {
        CDialogueTest::SetUp();
        g_NntpHost[0] = '\0';
        g_TransportSettings.m_CaFile = Pki().m_CaFile;
        g_TransportSettings.m_SmtpPassword.Assign("secret");
    }
    void TearDown() override
    {
        g_TransportSettings.m_CaFile.clear();
        g_TransportSettings.m_SmtpUser.clear();
        g_TransportSettings.m_SmtpPassword.Assign("");
        CDialogueTest::TearDown();
    }
    // Checks against a fake server playing the transcript; the output must
    // match the pattern, and the client must have sent the transcript's lines.
    void Expect(CSMTPEmail& mail, const std::string& transcript, const std::string& scheme,
                const TestCerts::CCertificate* cert, int code, const std::string& pattern)
    {
        FakeServer::CServerOptions options;
        if (cert) {
            options.m_TlsCertFile = cert->m_CertFile;
            options.m_TlsKeyFile = cert->m_KeyFile;
            options.m_ImplicitTls = scheme != "submission";
        }
        const CRun run = PlayTranscript(mail, transcript, [&](CRun& r) {
            ::testing::internal::CaptureStdout();
            ::testing::internal::CaptureStderr();
            r.m_Code = CheckServers(mail, stdout);
            r.m_Err = ::testing::internal::GetCapturedStderr();
            r.m_Out = ::testing::internal::GetCapturedStdout();
        }, options, scheme);
        EXPECT_EQ(run.m_Code, code) << run.m_Err;
        EXPECT_EQ(run.m_Sent, run.m_Expected) << run.m_Err;
        EXPECT_TRUE(std::regex_match(run.m_Out, std::regex(pattern))) << run.m_Out << "\ndoes not match\n" << pattern;
        for (const char* secret : {"secret", "c2VjcmV0", "AHVzZXIAc2VjcmV0"})
            EXPECT_EQ((run.m_Out + run.m_Err).find(secret), std::string::npos) << secret;
    }
};

TEST_F(Check, PlainSmtp)
{
    CSMTPEmail mail;
    Expect(mail, "S: 220 fake\nC: HELO client.example\nS: 250 hi\n" + QUIT, "", nullptr, 0,
           R"(Mail server: 127\.0\.0\.1:\d+
)" + HEAD + "none\nGreeting: 220 fake\nHELO: 250 hi\nLogin: none\nQUIT: 221 bye\nResult: passed\n");
}

TEST_F(Check, StartTlsAndLogin)
{
    g_TransportSettings.m_SmtpUser = "user";
    CSMTPEmail mail;
    Expect(mail, "S: 220 fake\n" + EHLO + "-AUTH PLAIN\nS: 250 STARTTLS\nC: STARTTLS\nS: 220 go\nstarttls\n" + EHLO
                     + "-AUTH PLAIN\nS: 250 PIPELINING\nC: AUTH PLAIN AHVzZXIAc2VjcmV0\nS: 235 ok\n" + QUIT,
           "submission", &Pki().m_Good, 0,
           R"(Mail server: submission://127\.0\.0\.1:\d+
)" + HEAD + "STARTTLS\nGreeting: 220 fake\nEHLO: fake\nCapability: AUTH PLAIN\nCapability: STARTTLS\n"
               + TlsLines(Pki().m_Good) + "EHLO: fake\nCapability: AUTH PLAIN\nCapability: PIPELINING\n"
                 "Login: AUTH PLAIN as user, accepted\nQUIT: 221 bye\nResult: passed\n");
}

TEST_F(Check, RefusedCertificateIsShown)
{
    CSMTPEmail mail;
    Expect(mail, "S: 220 fake", "smtps", &Pki().m_Expired, 15,
           R"(Mail server: smtps://127\.0\.0\.1:\d+
)" + HEAD + "implicit\n" + TlsLines(Pki().m_Expired)
               + "Result: failed with code 15 \\(Server certificate not trusted\\)\n");
}

TEST_F(Check, WrongPasswordEndsWithoutQuit)
{
    g_TransportSettings.m_SmtpUser = "user";
    CSMTPEmail mail;
    Expect(mail, "S: 220 fake\n" + EHLO_PLAIN + "C: AUTH PLAIN AHVzZXIAc2VjcmV0\nS: 535 5.7.8 no", "smtps",
           &Pki().m_Good, 16,
           R"(Mail server: smtps://127\.0\.0\.1:\d+
)" + HEAD + "implicit\n" + TlsLines(Pki().m_Good) + "Greeting: 220 fake\nEHLO: fake\nCapability: AUTH PLAIN\n"
               "Login: AUTH PLAIN as user, failed\nResult: failed with code 16 \\(Authentication failed\\)\n");
}

TEST_F(Check, NewsModeReaderAndLogin)
{
    CopyText(g_NntpUser, sizeof g_NntpUser, "reader");
    CopyText(g_NntpPassword, sizeof g_NntpPassword, "secret");
    CSMTPEmail mail;
    mail.m_NewsMode = 1;
    Expect(mail, "S: 200 news\nC: MODE READER\nS: 200 ok\nC: AUTHINFO USER reader\nS: 381 more\n"
                 "C: AUTHINFO PASS secret\nS: 281 ok\nC: QUIT\nS: 205 bye", "nntps", &Pki().m_Good, 0,
           R"(News server: nntps://127\.0\.0\.1:\d+
)" + HEAD + "implicit\n" + TlsLines(Pki().m_Good) + "Greeting: 200 news\nMODE READER: 200 ok\n"
               "Login: AUTHINFO as reader, accepted\nQUIT: 205 bye\nResult: passed\n");
}

}  // namespace
