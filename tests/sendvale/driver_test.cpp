// The command line in command-line order, and interactive mode on the
// console. Nothing here reaches a server.
#include <gtest/gtest.h>

#include <vector>

#include "sendvale/Driver.h"
#include "sendvale/Usage.h"
#include "tests/sendvale/SendvaleTestUtil.h"
#include "transport/SMTPEmail.h"

namespace {

using TestUtil::CInput;

const char BANNER_LINES[] =
    "Sendvale 1.10a - written by the Sendvale authors, placed in the public domain\n"
    "PROVIDED AS IS, WITHOUT WARRANTY OF ANY KIND. USE AT YOUR OWN RISK.\n";

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { TestUtil::ResetDriverGlobals(); }
    void TearDown() override { TestUtil::ResetDriverGlobals(); }

    // Applies the words; returns the status and keeps what went to stderr.
    std::optional<int> Apply(std::vector<std::string> words)
    {
        words.insert(words.begin(), "sendvale");
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        testing::internal::CaptureStderr();
        std::optional<int> status;
        try {
            status = ApplyArguments(static_cast<int>(argv.size()), argv.data(), m_Mail, m_Input);
        } catch (CSMTPError* error) {
            m_Raised = error->m_ErrorCode;
        }
        m_Err = testing::internal::GetCapturedStderr();
        return status;
    }
    std::string Receivers() const { return m_Mail.m_Receivers.value_or("<none>"); }
    std::string Header(const char* name) { return m_Mail.GetHeader(name, "<none>"); }

    CSMTPEmail m_Mail;
    CInput m_Console{""};
    CConsoleInput m_Input{m_Console.Get(), nullptr};
    std::string m_Err;
    int m_Raised = 0;
};

TEST_F(DriverTest, ReceiverWordsSplitAtCommas)
{
    EXPECT_FALSE(Apply({",,a@example.com,,b@example.com,", "c@example.com", ""}));
    EXPECT_EQ(Receivers(), "a@example.com,b@example.com,c@example.com");
    EXPECT_EQ(Header("To"), "a@example.com,b@example.com,c@example.com");
    Apply({"-cJo Doe <jo@example.com>,,x@example.com", "-bhidden@example.com,"});
    EXPECT_EQ(Header("Cc"), "Jo Doe <jo@example.com>,x@example.com");
    EXPECT_EQ(Header("Bcc"), "<none>");
    EXPECT_EQ(Receivers(), "a@example.com,b@example.com,c@example.com,Jo Doe <jo@example.com>,"
                           "x@example.com,hidden@example.com");
}

TEST_F(DriverTest, OptionArgumentIsTheRestOfTheSameWord)
{
    EXPECT_FALSE(Apply({"-s", "Topic"}));
    EXPECT_EQ(Header("Subject"), "");
    EXPECT_EQ(Receivers(), "Topic");
    Apply({"-sHello world", "-fJo <jo@example.com>", "-P3", "-iatt.bin", "-tbody.txt", "-i", "-tmore.txt"});
    EXPECT_EQ(Header("Subject"), "Hello world");
    EXPECT_EQ(Header("From"), "Jo <jo@example.com>");
    EXPECT_EQ(Header("X-Priority"), "3");
    EXPECT_EQ(g_AttachmentFiles, (StringList{"att.bin", ""}));
    EXPECT_EQ(g_TextFiles, (StringList{"body.txt", "more.txt"}));
}

TEST_F(DriverTest, PriorityTakesTheLeadingNumber)
{
    const std::pair<const char*, const char*> cases[] = {
        {"-P1", "1"}, {"-P5x", "5"}, {"-P 2", "2"}, {"-P0", "<none>"}, {"-P6", "<none>"},
        {"-P-1", "<none>"}, {"-Px", "<none>"}, {"-P", "<none>"}, {"-P99999999999999999999", "<none>"},
    };
    for (const auto& [word, value] : cases) {
        CSMTPEmail mail;
        std::vector<char*> argv{const_cast<char*>("sendvale"), const_cast<char*>(word)};
        ApplyArguments(2, argv.data(), mail, m_Input);
        EXPECT_EQ(std::string(mail.GetHeader("X-Priority", "<none>")), value) << word;
    }
}

TEST_F(DriverTest, FlagsIgnoreTheRestOfTheirWord)
{
    m_Mail.m_HtmlErrorReport = 1;
    EXPECT_FALSE(Apply({"-dv", "-pq", "-Cx", "-..", "-a", "-mi", "-uc"}));
    EXPECT_EQ(g_Debug, 1);
    EXPECT_EQ(g_Verbose, 0);
    EXPECT_EQ(g_PauseAfterSend, 1);
    EXPECT_EQ(m_Mail.m_HtmlErrorReport, 0);
    EXPECT_EQ(g_DotTerminator, 1);
    EXPECT_EQ(m_Mail.m_OemToAnsi, 1);
    EXPECT_EQ(m_Mail.m_UseMime, 0);
    EXPECT_EQ(m_Mail.m_NewsMode, 1);
    EXPECT_EQ(m_Input.m_TextSource, nullptr);
    Apply({"--"});
    EXPECT_EQ(m_Input.m_TextSource, m_Console.Get());
    EXPECT_EQ(m_Err, "");
}

TEST_F(DriverTest, UnknownOptionsAreReportedOnlyOnceVerbose)
{
    struct Case {
        std::vector<std::string> words;
        std::string err;
    };
    const Case cases[] = {
        {{"-z", "-v"}, ""},
        {{"-v", "-z"}, std::string(BANNER_LINES) + "-z: Unknown parameter\n"},
        {{"-v", "-"}, std::string(BANNER_LINES) + "-: Unknown parameter\n"},
        {{"-v", "-Q", "-y1"}, std::string(BANNER_LINES) + "-Q: Unknown parameter\n" + BANNER_LINES +
                                   "-y1: Unknown parameter\n"},
    };
    for (const Case& c : cases) {
        g_Verbose = 0;
        EXPECT_FALSE(Apply(c.words));
        EXPECT_EQ(m_Err, c.err);
    }
}

TEST_F(DriverTest, HelpEndsParsingAtOnce)
{
    EXPECT_EQ(Apply({"a@example.com", "-h", "b@example.com", "-v"}), -1);
    EXPECT_EQ(Receivers(), "a@example.com");
    EXPECT_EQ(g_Verbose, 0);
    EXPECT_EQ(m_Err.rfind(BANNER_LINES, 0), 0u);
    EXPECT_NE(m_Err.find("Usage: sendvale -init  Install sendvale\n"), std::string::npos);
    EXPECT_NE(m_Err.find("  -xSMTPServer Override SMTP server defined in ini file\n"), std::string::npos);
}

TEST_F(DriverTest, InitWithAnotherWordIsTheAttachmentOptionAndSenderAloneAddsNoReceiver)
{
    EXPECT_FALSE(Apply({"-init", "-fme@example.com"}));
    EXPECT_EQ(g_AttachmentFiles, StringList{"nit"});
    EXPECT_FALSE(m_Mail.m_Receivers);
}

TEST_F(DriverTest, CcAndBccAreRefusedOnlyAfterNewsMode)
{
    Apply({"-ccc@example.com", "-u", "news.group"});
    EXPECT_EQ(m_Raised, 0);
    EXPECT_EQ(Header("Cc"), "cc@example.com");
    EXPECT_EQ(Header("Newsgroups"), "news.group");
    for (const char* word : {"-cx@example.com", "-bx@example.com"}) {
        m_Raised = 0;
        Apply({word});
        EXPECT_EQ(m_Raised, ERR_BAD_ARGUMENTS) << word;
    }
    EXPECT_EQ(Receivers(), "cc@example.com,news.group");
}

TEST_F(DriverTest, ServerAndOrganizationStayWithinTheirBuffers)
{
    const std::string host127(127, 'h');
    EXPECT_FALSE(Apply({"-x" + host127}));
    EXPECT_EQ(std::string(g_SmtpHost), host127);
    EXPECT_EQ(Apply({"-x" + host127 + "h", "a@example.com"}), -1);
    EXPECT_EQ(m_Err, "sendvale: SMTP server name is longer than 127 characters.\n");
    EXPECT_EQ(std::string(g_SmtpHost), host127);
    EXPECT_FALSE(m_Mail.m_Receivers);

    Apply({"-o" + std::string(200, 'o')});
    EXPECT_EQ(std::string(g_Organization), std::string(127, 'o'));
    Apply({"-oAcme\r\nBcc: evil@example.com"});
    EXPECT_STREQ(g_Organization, "Acme  Bcc: evil@example.com");
}

TEST_F(DriverTest, UnreadableAddressListRaisesBadArguments)
{
    Apply({"-v", "@/nonexistent/list.txt"});
    EXPECT_EQ(m_Raised, ERR_BAD_ARGUMENTS);
    EXPECT_NE(m_Err.find("Failed to open address file '@/nonexistent/list.txt'. Aborting.\n"), std::string::npos);
}

class InteractiveTest : public DriverTest {
protected:
    std::optional<int> Interact(const std::string& answers)
    {
        CInput console(answers);
        m_Input.m_Console = console.Get();
        testing::internal::CaptureStderr();
        std::optional<int> status;
        try {
            status = RunInteractive(m_Mail, m_Input);
        } catch (CSMTPError* error) {
            m_Raised = error->m_ErrorCode;
        }
        m_Err = testing::internal::GetCapturedStderr();
        m_Rest = console.Rest();
        m_ReadsText = m_Input.m_TextSource == console.Get();
        m_Input.m_Console = m_Console.Get();
        return status;
    }
    std::string Greeting() const
    {
        return std::string("Sendvale ") + BANNER_TEXT + "\n\nGoing interactive - no receivers are specified.\n";
    }
    std::string m_Rest;
    bool m_ReadsText = false;  // the console became the text source
};

TEST_F(InteractiveTest, MailModeAsksToCcBccAndSubject)
{
    EXPECT_FALSE(Interact("a@example.com\nb@example.com, c@example.com\n\ncc@example.com\n\n\nHello there\ntext\n"));
    EXPECT_EQ(m_Err, Greeting() +
                         "To: To (Add one more or leave blank): To (Add one more or leave blank): "
                         "Cc: Cc (Add one more or leave blank): Bcc: Subject: ");
    EXPECT_EQ(Header("To"), "a@example.com,b@example.com, c@example.com");
    EXPECT_EQ(Header("Cc"), "cc@example.com");
    EXPECT_EQ(Header("Subject"), "Hello there");
    EXPECT_EQ(Receivers(), "a@example.com,b@example.com, c@example.com,cc@example.com");
    EXPECT_EQ(g_Verbose, 1);
    EXPECT_TRUE(m_ReadsText);
    EXPECT_EQ(m_Rest, "text\n");
}

TEST_F(InteractiveTest, NewsModeAsksForNewsgroups)
{
    m_Mail.m_NewsMode = 1;
    EXPECT_FALSE(Interact("comp.test\r\nalt.test\n\nSubject line\n"));
    EXPECT_EQ(m_Err, Greeting() + "Newsgroup: Newsgroup (Add one more or leave blank): "
                                  "Newsgroup (Add one more or leave blank): Subject: ");
    EXPECT_EQ(Header("Newsgroups"), "comp.test,alt.test");
    EXPECT_EQ(Header("Subject"), "Subject line");
}

TEST_F(InteractiveTest, GivenSubjectIsNotAskedAndTextFilesKeepTheConsoleFree)
{
    m_Mail.SetSubject("Set");
    AppendString("body.txt", g_TextFiles);
    EXPECT_FALSE(Interact("a@example.com"));
    EXPECT_EQ(m_Err, Greeting() + "To: To (Add one more or leave blank): Cc: Bcc: ");
    EXPECT_EQ(Header("Subject"), "Set");
    EXPECT_FALSE(m_ReadsText);
    EXPECT_EQ(m_Input.m_TextSource, nullptr);
}

TEST_F(InteractiveTest, NoReceiverEndsTheRun)
{
    EXPECT_EQ(Interact("\n\n\n\n"), -1);
    const std::string expected = Greeting() + "To: Cc: Bcc: Subject: You must send the mail to someone...\n";
    EXPECT_EQ(m_Err.substr(0, expected.size()), expected);
    EXPECT_NE(m_Err.find("Usage: sendvale [options]"), std::string::npos);
    EXPECT_EQ(Header("Subject"), "<none>");
}

TEST_F(InteractiveTest, ReceiverErrorPassesOn)
{
    Interact("@/nonexistent/list.txt\n");
    EXPECT_EQ(m_Raised, ERR_BAD_ARGUMENTS);
}

}  // namespace
