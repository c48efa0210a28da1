// One delivery against a server that answers with the input: its first byte
// picks SMTP, ESMTP (smtp://), news or news with MODE READER (nntp://) and
// how many receivers; the rest is cut into up to 12 pieces the server sends.
// Invariants: the session ends; the client never sends a bare CR or LF; it
// sends the message only after a passing reply to DATA or POST, and says it
// was delivered only after a passing reply to the end of data; no spool
// file is left.
#include <cstdlib>
#include <filesystem>

#include "quillant/Globals.h"
#include "tests/fuzz/support/FuzzCheck.h"
#include "tests/fuzz/support/FuzzFiles.h"
#include "tests/fuzz/support/MemoryServer.h"
#include "transport/SMTPEmail.h"
#include "transport/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int mode = data[0] & 3;
    const bool news = mode >= 2;
    const int receivers = (data[0] >> 2 & 3) + 1;
    std::vector<std::string> pieces = Fuzz::Pieces(Fuzz::Bytes(data + 1, size - 1), 12);
    std::string script;
    for (const std::string& piece : pieces)
        script += piece;

    static const std::filesystem::path spool = Fuzz::WorkFolder() / "spool";
    std::filesystem::create_directories(spool);
    setenv("MAIL_TEMP", spool.c_str(), 1);
    g_Verbose = 0;
    g_Debug = 0;
    g_TransportSettings.m_TimeoutSeconds = 1;
    g_TransportSettings.m_Retries = 0;
    CopyText(g_LocalHostName, sizeof g_LocalHostName, "client.example");
    const char* host = mode == 1 ? "smtp://server.example" : mode == 3 ? "nntp://server.example" : "server.example";
    CopyText(news ? g_NntpHost : g_SmtpHost, sizeof g_SmtpHost, host);
    CopyText(g_NntpUser, sizeof g_NntpUser, data[0] & 16 ? "reader" : "");
    CopyText(g_NntpPassword, sizeof g_NntpPassword, data[0] & 32 ? "secret" : "");

    MemoryServer::Play(std::move(pieces));
    int code = 0;
    {
        CSMTPEmail mail;
        mail.m_NewsMode = news ? 1 : 0;
        mail.SetSender("me@example.com");
        for (int i = 0; i < receivers; ++i)
            mail.AddTo(news ? "comp.test" : ("r" + std::to_string(i) + "@example.com").c_str());
        mail.m_UseMime = 0;
        mail.AddPart("a line\n.\n.. two dots\rend", PART_RAW);
        code = mail.Send();
    }
    const std::string& sent = MemoryServer::Sent();
    Fuzz::Require(Fuzz::OnlyCrLf(sent), "no bare CR or LF is sent");
    Fuzz::Require(std::filesystem::is_empty(spool), "no spool file is left");

    // Command k is answered by reply k + 1, the greeting being reply 0.
    // A reply passes when it is well formed and its first byte is not above '3'.
    std::vector<bool> passing;
    std::string_view rest = script;
    for (Fuzz::CModelReply reply; Fuzz::TakeReply(rest, reply);)
        passing.push_back(reply.m_WellFormed && reply.m_Text[0] <= '3');
    const std::string go = news ? "POST\r\n" : "DATA\r\n";
    std::size_t at = 0;
    std::size_t commands = 0;
    while (at < sent.size() && sent.compare(at, go.size(), go) != 0) {
        const std::size_t end = sent.find("\r\n", at);
        at = end == std::string::npos ? sent.size() : end + 2;
        ++commands;
    }
    if (at == sent.size()) {
        Fuzz::Require(code != 0, "no delivery without DATA or POST");
        return 0;
    }
    const std::string after = sent.substr(at + go.size());
    const std::size_t goReply = commands + 1;
    if (!after.empty())
        Fuzz::Require(goReply < passing.size() && passing[goReply], "the message goes out only after a go-ahead");
    if (code == 0)
        Fuzz::Require(goReply + 1 < passing.size() && passing[goReply + 1] && after.find("\r\n.\r\n") != std::string::npos,
                      "delivered only after a passing reply to the end of data");
    return 0;
}
