// Runs one dialogue against the scripted fake server and compares the whole
// byte stream the client sent.
//
// A transcript is the server script with the client's side written in:
//   S: TEXT    the server sends TEXT and CR LF
//   S~ TEXT    the server sends TEXT as it stands (escapes allowed)
//   C: TEXT    the client must send TEXT and CR LF
//   C: {message}  the client sends the message, ended by the end-of-data line
// Any other line is a fake server step (pause, close, hang, comments).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "transport/Settings.h"
#include "quillant/Globals.h"
#include "tests/support/FakeServer.h"
#include "transport/SMTPEmail.h"

namespace DialogueRunner {

constexpr char MESSAGE_MARK = '\x01';
const char END_OF_DATA[] = "\r\n.\r\n";

inline void ParseTranscript(const std::string& text, std::string& script, std::string& expected)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const std::string body = line.size() > 3 ? line.substr(3) : "";
        if (line.rfind("S: ", 0) == 0) {
            script += "send " + body + "\n";
        } else if (line.rfind("S~ ", 0) == 0) {
            script += "send-raw " + body + "\n";
        } else if (line == "C: {message}") {
            script += "data\n";
            expected += MESSAGE_MARK;
        } else if (line.rfind("C: ", 0) == 0) {
            script += "expect " + body + "\n";
            std::string decoded;
            FakeServer::DecodeEscapes(body, decoded);
            expected += decoded + "\r\n";
        } else {
            script += line + "\n";
        }
    }
}

// True when actual is expected with the mark standing for one message and
// its end-of-data line; the message goes to payload.
inline ::testing::AssertionResult StreamMatches(const std::string& expected, const std::string& actual,
                                                std::string& payload)
{
    const std::size_t mark = expected.find(MESSAGE_MARK);
    if (mark == std::string::npos) {
        if (actual == expected)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "client sent\n[" << actual << "]\nexpected\n[" << expected << "]";
    }
    const std::string head = expected.substr(0, mark);
    const std::string tail = END_OF_DATA + expected.substr(mark + 1);
    const bool ok = actual.size() >= head.size() + tail.size() && actual.compare(0, head.size(), head) == 0
        && actual.compare(actual.size() - tail.size(), tail.size(), tail) == 0;
    if (!ok)
        return ::testing::AssertionFailure() << "client sent\n[" << actual << "]\nexpected\n[" << head
                                             << "<message>" << tail << "]";
    payload = actual.substr(head.size(), actual.size() - head.size() - tail.size());
    if (payload.find(END_OF_DATA) != std::string::npos)
        return ::testing::AssertionFailure() << "the message holds the end-of-data line:\n" << payload;
    return ::testing::AssertionSuccess();
}

struct CRun {
    int m_Code = -99;
    std::string m_Sent;
    std::string m_Expected;
    std::string m_Payload;
    std::string m_Out;
    std::string m_Err;
    std::vector<std::string> m_Problems;
};

// Starts the server, points the mail's server setting at it, runs send and
// records what the server received and found wrong.
// scheme, when given, makes the server name a URL form ("smtps" and so on).
template <class Send>
void Serve(FakeServer::CServerBase& server, const CSMTPEmail& mail, CRun& run, Send send,
           const std::string& scheme = "")
{
    EXPECT_TRUE(server.Start());
    const std::string host = (scheme.empty() ? "" : scheme + "://") + "127.0.0.1:" + std::to_string(server.Port());
    if (mail.m_NewsMode == 1)
        CopyText(g_NntpHost, sizeof g_NntpHost, host.c_str());
    else
        CopyText(g_SmtpHost, sizeof g_SmtpHost, host.c_str());
    send();
    server.Wait();
    run.m_Sent = server.Received();
    run.m_Problems = server.Problems();
}

// Sends mail to the server, not capturing the output.
inline CRun SendTo(FakeServer::CServerBase& server, CSMTPEmail& mail)
{
    CRun run;
    Serve(server, mail, run, [&] { run.m_Code = mail.Send(); });
    return run;
}

// Plays the transcript on a fake server while send(run) fills in the code.
template <class Send>
CRun PlayTranscript(const CSMTPEmail& mail, const std::string& transcript, Send send,
                    const FakeServer::CServerOptions& options = {}, const std::string& scheme = "")
{
    CRun run;
    std::string script;
    ParseTranscript(transcript, script, run.m_Expected);
    std::vector<FakeServer::CStep> steps;
    std::string error;
    EXPECT_TRUE(FakeServer::ParseScript(script, steps, error)) << error;
    FakeServer::CScriptServer server(steps, options);
    Serve(server, mail, run, [&] { send(run); }, scheme);
    return run;
}

// The usual SMTP dialogue from the greeting to the reply to DATA, one RCPT
// per receiver; an empty sender is the null path.
inline std::string SmtpUntilData(const std::string& greeting, const std::string& sender,
                                 const std::vector<std::string>& receivers)
{
    std::string text = greeting + "\nC: HELO client.example\nS: 250 hi\nC: MAIL FROM:<" + sender + ">\nS: 250 ok\n";
    for (const std::string& receiver : receivers)
        text += "C: RCPT TO:<" + receiver + ">\nS: 250 ok\n";
    return text + "C: DATA\nS: 354 go";
}

// What follows the reply to DATA when the message is taken.
const char SMTP_DELIVERED[] = "\nC: {message}\nS: 250 queued\nC: QUIT\nS: 221 bye";

// Resets the transport's settings, points the spool at a fresh folder and
// checks after every test that the spool folder was left empty.
class CDialogueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string leaf = "sendvale-t-" + std::to_string(Platform::CurrentProcessId()) + "-"
            + std::string(info->test_suite_name()) + "-" + info->name();
        for (char& c : leaf)
            if (c == '/' || c == '<' || c == '>' || c == ' ')
                c = '_';
        m_Spool = std::filesystem::temp_directory_path() / leaf;
        std::filesystem::remove_all(m_Spool);
        std::filesystem::create_directories(m_Spool);
        setenv("MAIL_TEMP", m_Spool.c_str(), 1);
        g_Verbose = 0;
        g_Debug = 0;
        g_TransportSettings.m_TimeoutSeconds = 5;
        CopyText(g_LocalHostName, sizeof g_LocalHostName, "client.example");
        CopyText(g_SmtpHost, sizeof g_SmtpHost, "127.0.0.1:1");
        CopyText(g_NntpHost, sizeof g_NntpHost, "127.0.0.1:1");
        CopyText(g_NntpUser, sizeof g_NntpUser, "");
        CopyText(g_NntpPassword, sizeof g_NntpPassword, "");
        CopyText(g_Organization, sizeof g_Organization, "");
        Platform::SetClockOverride(&FIXED_CLOCK);
    }

    void TearDown() override
    {
        EXPECT_TRUE(std::filesystem::is_empty(m_Spool)) << "spool file left behind in " << m_Spool;
        std::filesystem::remove_all(m_Spool);
        unsetenv("MAIL_TEMP");
        g_TransportSettings.m_TimeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
        g_Verbose = 0;
        g_Debug = 0;
        Platform::SetClockOverride(nullptr);
    }

    // Sends mail to a fake server playing the transcript.
    static CRun Run(CSMTPEmail& mail, const std::string& transcript)
    {
        return PlayTranscript(mail, transcript, [&](CRun& run) { SendCapturing(mail, run); });
    }

    static void SendCapturing(CSMTPEmail& mail, CRun& run)
    {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        run.m_Code = mail.Send();
        std::fflush(nullptr);
        run.m_Err = ::testing::internal::GetCapturedStderr();
        run.m_Out = ::testing::internal::GetCapturedStdout();
    }

    static constexpr Platform::ClockOverride FIXED_CLOCK{1700000000, 4242, 123456};
    std::filesystem::path m_Spool;
};

// A MIME-off message with one raw text part: its body goes out as given.
inline void SetBody(CSMTPEmail& mail, const char* text)
{
    mail.m_UseMime = 0;
    mail.AddPart(text, PART_RAW);
}

// The body on the wire: what follows the empty line that ends the headers.
inline std::string WireBody(const std::string& payload)
{
    const std::size_t end = payload.find("\r\n\r\n");
    return end == std::string::npos ? "<no header end>" : payload.substr(end + 4);
}

}  // namespace DialogueRunner
