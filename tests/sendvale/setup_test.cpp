// Loading [Setup] at the start of a run, and the -init dialogue.
#include <gtest/gtest.h>

#include "platform/Profile.h"
#include "quillant/Quillant.h"
#include "sendvale/Setup.h"
#include "tests/sendvale/SendvaleTestUtil.h"
#include "transport/Settings.h"

namespace {

using TestUtil::CInput;
using TestUtil::CScopedEnv;
using TestUtil::CTempDir;
using TestUtil::ReadFile;
using TestUtil::WriteFile;
namespace fs = std::filesystem;

const char NOT_INITIALIZED[] = "sendvale: Not initialized.\r\nRun: sendvale -init\n\n";

class SetupTest : public ::testing::Test {
protected:
    void SetUp() override { TestUtil::ResetDriverGlobals(); }
    void TearDown() override { TestUtil::ResetDriverGlobals(); }

    // Runs the dialogue on the given answers; returns what it printed.
    std::string Dialogue(const std::string& answers)
    {
        CInput in(answers);
        testing::internal::CaptureStderr();
        EXPECT_EQ(RunSetup(in.Get()), -1);
        return testing::internal::GetCapturedStderr();
    }
    std::string Value(const char* key)
    {
        char out[128];
        Platform::GetProfileString("Setup", key, "<missing>", out, 127);
        return out;
    }

    CTempDir m_Dir;
    std::string m_File = m_Dir.Path("sendvale.ini");
    CScopedEnv m_Env{"SENDVALE_PROFILE", m_File};
};

struct LoadCase {
    const char* profile;  // null: no file
    int result;
    const char* host;
    const char* sender;  // X-Sender, null when none
};

const LoadCase LOAD_CASES[] = {
    /* 0 */ {nullptr, 0, "mail.invalid", nullptr},
    /* 1 */ {"[Setup]\nHOST=mx\n", 0, "mx", nullptr},
    /* 2 */ {"[Setup]\nReturn Address=me@example.com\n", 0, "mail.invalid", nullptr},
    /* 3 */ {"[Setup]\nHOST=\nReturn Address=\nOrganization=\n", 0, "mail.invalid", nullptr},
    /* 4 */ {"[Setup]\nHOST=mx:2525\nReturn Address=Jo Doe <jo@example.com>\n", 1, "mx:2525", "jo@example.com"},
    /* 5 */ {"[Setup]\nReturn Address=me@example.com\nHOST=mx\n", 1, "mx", "me@example.com"},
};

TEST_F(SetupTest, LoadSetupNeedsServerAndReturnAddress)
{
    for (std::size_t i = 0; i < std::size(LOAD_CASES); ++i) {
        const LoadCase& c = LOAD_CASES[i];
        TestUtil::ResetDriverGlobals();
        std::filesystem::remove(m_File);
        if (c.profile)
            WriteFile(m_File, c.profile);
        CQuillant mail;
        testing::internal::CaptureStderr();
        EXPECT_EQ(LoadSetup(mail), c.result) << "case " << i;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.result ? "" : NOT_INITIALIZED) << "case " << i;
        EXPECT_STREQ(g_SmtpHost, c.host) << "case " << i;
        const char* sender = mail.GetHeader("X-Sender", nullptr);
        if (c.sender)
            EXPECT_STREQ(sender, c.sender) << "case " << i;
        else
            EXPECT_EQ(sender, nullptr) << "case " << i;
    }
}

TEST_F(SetupTest, LoadSetupFillsTheSettingsWithinTheirBuffers)
{
    WriteFile(m_File, "[Setup]\nHOST=" + std::string(200, 'h') + "\nReturn Address=me@example.com\n"
                      "Organization=Acme Ltd\nNNTP HOST=news:1119\nNNTP User=" + std::string(31, 'u') +
                      "\nNNTP Passws=" + std::string(31, 'p') + "\n");
    CQuillant mail;
    ASSERT_EQ(LoadSetup(mail), 1);
    EXPECT_EQ(std::string(g_SmtpHost), std::string(126, 'h'));
    EXPECT_STREQ(g_Organization, "Acme Ltd");
    EXPECT_STREQ(g_NntpHost, "news:1119");
    EXPECT_EQ(std::string(g_NntpUser), std::string(31, 'u'));
    EXPECT_EQ(std::string(g_NntpPassword), std::string(31, 'p'));
    EXPECT_EQ(g_TransportSettings.m_TimeoutSeconds, DEFAULT_TIMEOUT_SECONDS);
}

TEST_F(SetupTest, TimeoutKeyTakesWholeSecondsInRange)
{
    const std::pair<const char*, int> cases[] = {
        {"60", 60}, {"1", 1}, {"86400", 86400}, {"0", DEFAULT_TIMEOUT_SECONDS},
        {"-5", DEFAULT_TIMEOUT_SECONDS}, {"86401", DEFAULT_TIMEOUT_SECONDS},
        {"10s", DEFAULT_TIMEOUT_SECONDS}, {"abc", DEFAULT_TIMEOUT_SECONDS},
        {"99999999999999999999", DEFAULT_TIMEOUT_SECONDS}, {"", DEFAULT_TIMEOUT_SECONDS},
    };
    for (const auto& [value, seconds] : cases) {
        g_TransportSettings.m_TimeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
        WriteFile(m_File, std::string("[Setup]\nHOST=mx\nReturn Address=a@b\nTimeout=") + value + "\n");
        CQuillant mail;
        ASSERT_EQ(LoadSetup(mail), 1);
        EXPECT_EQ(g_TransportSettings.m_TimeoutSeconds, seconds) << value;
    }
}

// A batch job must get the retries it asked for: a wrong value is refused.
TEST_F(SetupTest, RetryKeysTakeWholeNumbersInRange)
{
    const char BAD_RETRIES[] = "Bad Retries in @: expected a whole number from 0 to 100.";
    const char BAD_DELAY[] = "Bad Retry Delay in @: expected a whole number from 0 to 3600.";
    const struct {
        const char* keys;
        const char* error;
        int retries;
        int delay;
    } rows[] = {
        {"", nullptr, 0, 60},           {"Retries=3\nRetry Delay=0\n", nullptr, 3, 0},
        {"Retries=100\nRetry Delay=3600\n", nullptr, 100, 3600},
        {"Retries=101\n", BAD_RETRIES, 0, 0}, {"Retries=-1\n", BAD_RETRIES, 0, 0},
        {"Retries=+2\n", BAD_RETRIES, 0, 0},  {"Retries=99999999999999999999\n", BAD_RETRIES, 0, 0},
        {"Retries=2\nRetry Delay=3601\n", BAD_DELAY, 0, 0}, {"Retry Delay=1m\n", BAD_DELAY, 0, 0},
    };
    for (const auto& row : rows) {
        TestUtil::ResetDriverGlobals();
        WriteFile(m_File, std::string("[Setup]\nHOST=mx\nReturn Address=a@b\n") + row.keys);
        CQuillant mail;
        testing::internal::CaptureStderr();
        EXPECT_EQ(LoadSetup(mail), row.error ? 0 : 1) << row.keys;
        std::string error = row.error ? std::string("sendvale: ") + row.error + "\n" : "";
        for (std::size_t at; (at = error.find('@')) != std::string::npos;)
            error.replace(at, 1, m_File);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), error) << row.keys;
        if (!row.error) {
            EXPECT_EQ(g_TransportSettings.m_Retries, row.retries) << row.keys;
            EXPECT_EQ(g_TransportSettings.m_RetryDelaySeconds, row.delay) << row.keys;
        }
    }
}

struct KeysCase {
    std::string keys;    // after HOST and Return Address
    int mode;
    const char* error;   // the message, '@' standing for the profile, or null
    std::string loaded;  // fingerprint|auth|CA file|user|password|command
};

const std::string HEX = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const char BAD_FP[] = "Bad TLS Fingerprint in @: expected 64 hex digits.";
const char OPEN_PW[] = "@ holds an SMTP password but others can read it; run: chmod 600 @";
const char OPEN_CMD[] = "@ holds an SMTP password command but others can write it; run: chmod 600 @";
const KeysCase KEYS_CASES[] = {
    /* 0 */ {"CA File=/my ca.pem\nSMTP User=jo doe\nSMTP Password=p\rw\nSMTP Password Command=a\rb\n", 0600,
             nullptr, "||/my ca.pem|jo doe|p w|a b"},
    /* 1 */ {"TLS Fingerprint=00112233445566778899AABBCCDDEEFF00112233445566778899aAbBcCdDeEfF\nSMTP Auth=LOGIN\n",
             0644, nullptr, HEX + "|login||||"},
    /* 2 */ {"TLS Fingerprint=00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:aa:bb:"
             "cc:dd:ee:ff\nSMTP Auth=XOAuth2\n", 0644, nullptr, HEX + "|xoauth2||||"},
    /* 3 */ {"TLS Fingerprint=" + HEX + "0\n", 0644, BAD_FP, ""},
    /* 4 */ {"TLS Fingerprint=sha256:00112233\n", 0644, BAD_FP, ""},
    /* 5 */ {"SMTP Auth=cram-md5\n", 0644, "Bad SMTP Auth in @: expected plain, login, xoauth2 or oauthbearer.", ""},
    /* 6 */ {"SMTP Password=\n", 0666, nullptr, "|||||"},
    /* 7 */ {"SMTP Password=pw\n", 0640, OPEN_PW, ""},
    /* 8 */ {"SMTP Password=pw\n", 0604, OPEN_PW, ""},
    /* 9 */ {"SMTP Password Command=cmd\n", 0644, nullptr, "|||||cmd"},
    /* 10 */ {"SMTP Password Command=cmd\n", 0620, OPEN_CMD, ""},
    /* 11 */ {"SMTP Password Command=cmd\n", 0602, OPEN_CMD, ""},
    // Values of server commands are refused, never cut nor blanked.
    /* 12 */ {"SMTP User=jo\rRSET\n", 0600, "SMTP User in @ holds a line break or a NUL byte.", ""},
    /* 13 */ {"NNTP Passws=" + std::string(32, 'p') + "\n", 0600, "NNTP Passws in @ is too long (at most 31 characters).",
              ""},
};

TEST_F(SetupTest, LoadSetupChecksTheTlsAndLoginKeysAndTheProfileMode)
{
    for (std::size_t i = 0; i < std::size(KEYS_CASES); ++i) {
        const KeysCase& c = KEYS_CASES[i];
        WriteFile(m_File, std::string("[Setup]\nHOST=mx\nReturn Address=a@b\n") + c.keys);
        fs::permissions(m_File, static_cast<fs::perms>(c.mode));
        CQuillant mail;
        testing::internal::CaptureStderr();
        EXPECT_EQ(LoadSetup(mail), c.error ? 0 : 1) << "case " << i;
        std::string error = c.error ? std::string("sendvale: ") + c.error + "\n" : "";
        for (std::size_t at; (at = error.find('@')) != std::string::npos;)
            error.replace(at, 1, m_File);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), error) << "case " << i;
        const CTransportSettings& t = g_TransportSettings;
        if (!c.error) {
            EXPECT_EQ(t.m_Fingerprint + "|" + t.m_SmtpAuth + "|" + t.m_CaFile + "|" + t.m_SmtpUser + "|" +
                      t.m_SmtpPassword.Text() + "|" + t.m_PasswordCommand, c.loaded) << "case " << i;
        }
    }
}

// Such profiles worked before: a warning, and the run goes on.
TEST_F(SetupTest, NntpPasswordOthersCanReadIsWarnedAbout)
{
    const std::string warning = "sendvale: warning: " + m_File + " holds an NNTP password that others can read; "
                                "run: chmod 600 " + m_File + "\n";
    const std::pair<int, std::string> rows[] = {{0600, ""}, {0640, warning}, {0604, warning}};
    for (const auto& [mode, message] : rows) {
        TestUtil::ResetDriverGlobals();
        WriteFile(m_File, "[Setup]\nHOST=mx\nReturn Address=a@b\nNNTP Passws=pw\n");
        fs::permissions(m_File, static_cast<fs::perms>(mode));
        CQuillant mail;
        testing::internal::CaptureStderr();
        EXPECT_EQ(LoadSetup(mail), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), message) << mode;
    }
}

TEST_F(SetupTest, DialogueMasksAStoredNntpPassword)
{
    WriteFile(m_File, "[Setup]\nNNTP Passws=secret\n");
    const std::string shown = Dialogue("mx\nme@example.com\n\nnews\njo\n\n");
    EXPECT_NE(shown.find("Login pawssword on server (********): "), std::string::npos) << shown;
    EXPECT_EQ(shown.find("secret"), std::string::npos);
    EXPECT_EQ(Value("NNTP Passws"), "secret");
}

TEST_F(SetupTest, DialogueAsksSixQuestionsAndStoresTheAnswers)
{
    const std::string shown = Dialogue("mx.example\r\nme@example.com\nAcme\nnews.example\njo\nsecret\n");
    EXPECT_EQ(shown,
              "sendvale: Setup\r\n\r\n"
              "Your mail server (): "
              "Default return path (Your email address) (): "
              "Organization (not required) (): "
              "\nThe following applies only if you will use sendvale to\npost usenet messages.\n"
              "Your NNTP server (): "
              "Login name on server (): "
              "Login pawssword on server (): ");
    EXPECT_EQ(ReadFile(m_File),
              "[Setup]\nHOST=mx.example\nReturn Address=me@example.com\nOrganization=Acme\n"
              "NNTP HOST=news.example\nNNTP User=jo\nNNTP Passws=secret\n");
}

struct LoginCase {
    const char* profile;
    const char* answers;
    const char* shown;     // after the heading
    const char* password;  // stored afterwards
};

const char PLAIN_HOST[] =
    "Your mail server (): Default return path (Your email address) (): Organization (not required) (): \n";
const LoginCase LOGIN_CASES[] = {
    /* 0 */ {"", "SMTPS://mx\njo\npw\n", "Your mail server (): Login name on mail server (): "
             "Login password on mail server (): Default return path (Your email address) (): \n", "pw"},
    /* 1 */ {"[Setup]\nHOST=Submissions://mx:465\n", "\n",
             "Your mail server (Submissions://mx:465): Login name on mail server (): \n", "<missing>"},
    /* 2 */ {"", "smtp://mx\n\n", PLAIN_HOST, "<missing>"},
    /* 3 */ {"", "mx.submission://\n\n", PLAIN_HOST, "<missing>"},
};

// A stored password shown masked is covered end to end.
TEST_F(SetupTest, LoginHostAddsTheLoginQuestions)
{
    for (std::size_t i = 0; i < std::size(LOGIN_CASES); ++i) {
        const LoginCase& c = LOGIN_CASES[i];
        WriteFile(m_File, c.profile);
        EXPECT_EQ(Dialogue(c.answers), std::string("sendvale: Setup\r\n\r\n") + c.shown) << "case " << i;
        EXPECT_EQ(Value("SMTP Password"), c.password) << "case " << i;
    }
}

TEST_F(SetupTest, EmptyAnswersKeepStoredValues)
{
    WriteFile(m_File, "; kept\n[Setup]\nHOST=old.example\nNNTP User=jo\n");
    const std::string shown = Dialogue("\nme@example.com\n\n\n\r\n\n");
    EXPECT_NE(shown.find("Your mail server (old.example): "), std::string::npos);
    EXPECT_NE(shown.find("Login name on server (jo): "), std::string::npos);
    EXPECT_EQ(ReadFile(m_File),
              "; kept\n[Setup]\nHOST=old.example\nNNTP User=jo\nReturn Address=me@example.com\n"
              "Organization=\nNNTP HOST=\nNNTP Passws=\n");
}

TEST_F(SetupTest, EmptyAnswersOnAFreshProfileLeaveItUninitialized)
{
    Dialogue("\n\n\n\n\n\n");
    for (const char* key : {"HOST", "Return Address", "Organization", "NNTP HOST", "NNTP User", "NNTP Passws"})
        EXPECT_EQ(Value(key), "") << key;
    CQuillant mail;
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadSetup(mail), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), NOT_INITIALIZED);
}

TEST_F(SetupTest, BrokenOffDialogueKeepsWhatWasAnswered)
{
    WriteFile(m_File, "[Setup]\nOrganization=Acme\n");
    const std::string shown = Dialogue("mx\nme@example.com");
    EXPECT_EQ(shown,
              "sendvale: Setup\r\n\r\n"
              "Your mail server (): "
              "Default return path (Your email address) (): "
              "Organization (not required) (Acme): \n");
    EXPECT_EQ(Value("HOST"), "mx");
    EXPECT_EQ(Value("Return Address"), "me@example.com");
    EXPECT_EQ(Value("Organization"), "Acme");
    EXPECT_EQ(Value("NNTP HOST"), "<missing>");
}

TEST_F(SetupTest, LongAnswerIsCutAndItsRestAnswersTheNextQuestion)
{
    Dialogue(std::string(130, 'h') + "\n\n\n\n\n\n");
    EXPECT_EQ(Value("HOST"), std::string(126, 'h'));
    EXPECT_EQ(Value("Return Address"), "hhhh");
    EXPECT_EQ(Value("Organization"), "");
}

TEST_F(SetupTest, UnwritableProfileEndsTheDialogueWithAMessage)
{
    WriteFile(m_Dir.Path("blocker"), "");
    CScopedEnv env("SENDVALE_PROFILE", m_Dir.Path("blocker/sendvale.ini"));
    const std::string shown = Dialogue("mx\nme@example.com\n");
    EXPECT_EQ(shown, "sendvale: Setup\r\n\r\nYour mail server (): sendvale: Unable to store 'HOST' in " +
                         m_Dir.Path("blocker/sendvale.ini") + ".\n");
}

}  // namespace
