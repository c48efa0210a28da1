// The server check against the fake server: what it reports, and that the
// client sends nothing past the login but QUIT.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/TestCerts.h"
#include "tests/transport/DialogueRunner.h"
#include "transport/Check.h"

namespace {

using namespace DialogueRunner;

const TestCerts::CTestPki& Pki()
{
    static TestCerts::CTestPki pki;
    static std::string dir = (std::filesystem::temp_directory_path() / "sendvale-pki-XXXXXX").string();
    static const bool made = mkdtemp(&dir[0]) && TestCerts::MakeTestPki(dir, pki);
    EXPECT_TRUE(made);
    return pki;
}

// Whether text matches pattern, where "*" stands for any run of characters
// within one line. (std::regex trips GCC 12's uninitialized-use warning in
// the sanitizer build.)
bool Matches(const char* text, const char* pattern)
{
    if (*pattern == '*')
        for (const char* t = text;; ++t) {
            if (Matches(t, pattern + 1))
                return true;
            if (!*t || *t == '\n')
                return false;
        }
    if (!*pattern)
        return !*text;
    return *text == *pattern && Matches(text + 1, pattern + 1);
}

// The lines of a completed handshake, as a pattern.
std::string TlsLines(const TestCerts::CCertificate& cert)
{
    std::string fingerprint;
    for (std::size_t i = 0; i < cert.m_Fingerprint.size(); ++i)
        fingerprint += (i && i % 2 == 0 ? ":" : "")
            + std::string(1, static_cast<char>(std::toupper(cert.m_Fingerprint[i])));
    const std::string date = "*-*-* *:*:* UTC";
    return "TLS version: TLS 1.*\nTLS cipher: TLS_*\nCertificate subject: CN=localhost\nCertificate issuer: "
           "CN=Sendvale Test CA\nCertificate valid from: " + date + "\nCertificate valid until: " + date
        + "\nCertificate SHA-256: " + fingerprint + "\n";
}

struct CheckCase {
    const char* scheme;  // "" for a bare name
    const TestCerts::CCertificate* cert;
    int code;
    std::string transcript;
    std::string shown;  // the output after "Connected:", as a pattern
};

using Check = CDialogueTest;

TEST_F(Check, ReportsWhatTheServerShowedAndSendsNoMessage)
{
    const std::string ehlo = "C: EHLO client.example\nS: 250-fake\nS: 250";
    const std::string plain = "C: AUTH PLAIN AHVzZXIAc2VjcmV0\nS: ";
    const std::string good = TlsLines(Pki().m_Good);
    const CheckCase cases[] = {
        {"", nullptr, 0, "S: 220 fake\nC: HELO client.example\nS: 250 hi\nC: QUIT\nS: 221 bye",
         "TLS: none\nGreeting: 220 fake\nHELO: 250 hi\nLogin: none\nQUIT: 221 bye\nResult: passed\n"},
        {"submission", &Pki().m_Good, 0, "S: 220 fake\n" + ehlo + "-AUTH PLAIN\nS: 250 STARTTLS\nC: STARTTLS\n"
             "S: 220 go\nstarttls\n" + ehlo + "-AUTH PLAIN\nS: 250 PIPELINING\n" + plain
             + "235 ok\nC: QUIT\nS: 221 bye",
         "TLS: STARTTLS\nGreeting: 220 fake\nEHLO: fake\nCapability: AUTH PLAIN\nCapability: STARTTLS\n" + good
             + "EHLO: fake\nCapability: AUTH PLAIN\nCapability: PIPELINING\nLogin: AUTH PLAIN as user, accepted\n"
               "QUIT: 221 bye\nResult: passed\n"},
        {"smtps", &Pki().m_Expired, 15, "S: 220 fake",
         "TLS: implicit\n" + TlsLines(Pki().m_Expired)
             + "Result: failed with code 15 (Server certificate not trusted)\n"},
        {"smtps", &Pki().m_Good, 16, "S: 220 fake\n" + ehlo + " AUTH PLAIN\n" + plain + "535 5.7.8 no",
         "TLS: implicit\n" + good + "Greeting: 220 fake\nEHLO: fake\nCapability: AUTH PLAIN\n"
             "Login: AUTH PLAIN as user, failed\nResult: failed with code 16 (Authentication failed)\n"},
        {"nntps", &Pki().m_Good, 0, "S: 200 news\nC: MODE READER\nS: 200 ok\nC: AUTHINFO USER user\nS: 381 more\n"
             "C: AUTHINFO PASS secret\nS: 281 ok\nC: QUIT\nS: 205 bye",
         "TLS: implicit\n" + good + "Greeting: 200 news\nMODE READER: 200 ok\nLogin: AUTHINFO as user, accepted\n"
             "QUIT: 205 bye\nResult: passed\n"},
    };
    g_TransportSettings.m_CaFile = Pki().m_CaFile;
    g_TransportSettings.m_SmtpUser = "user";
    g_TransportSettings.m_SmtpPassword.Assign("secret");
    CopyText(g_NntpUser, sizeof g_NntpUser, "user");
    CopyText(g_NntpPassword, sizeof g_NntpPassword, "secret");
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.transcript);
        const std::string scheme = c.scheme;
        CSMTPEmail mail;
        mail.m_NewsMode = scheme == "nntps";
        g_NntpHost[0] = '\0';  // mail mode checks the mail server alone
        FakeServer::CServerOptions options;
        if (c.cert) {
            options.m_TlsCertFile = c.cert->m_CertFile;
            options.m_TlsKeyFile = c.cert->m_KeyFile;
            options.m_ImplicitTls = scheme != "submission";
        }
        const CRun run = PlayTranscript(mail, c.transcript, [&](CRun& r) {
            ::testing::internal::CaptureStdout();
            ::testing::internal::CaptureStderr();
            r.m_Code = CheckServers(mail, stdout);
            r.m_Err = ::testing::internal::GetCapturedStderr();
            r.m_Out = ::testing::internal::GetCapturedStdout();
        }, options, scheme);
        EXPECT_EQ(run.m_Code, c.code) << run.m_Err;
        EXPECT_EQ(run.m_Sent, run.m_Expected) << run.m_Err;
        const std::string pattern = std::string(mail.m_NewsMode ? "News" : "Mail") + " server: "
            + (scheme.empty() ? "" : scheme + "://") + "127.0.0.1:*\nConnected: 127.0.0.1 port *\n"
            + c.shown;
        EXPECT_TRUE(Matches(run.m_Out.c_str(), pattern.c_str())) << run.m_Out << "\ndoes not match\n" << pattern;
        for (const char* secret : {"secret", "c2VjcmV0", "AHVzZXIAc2VjcmV0"})
            EXPECT_EQ((run.m_Out + run.m_Err).find(secret), std::string::npos) << secret;
    }
    g_TransportSettings.m_CaFile.clear();
    g_TransportSettings.m_SmtpUser.clear();
}

}  // namespace
