#include "transport/Check.h"

#include <cstdio>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/Sockets.h"
#include "platform/Tls.h"
#include "quillant/Globals.h"
#include "transport/Esmtp.h"
#include "transport/SMTPEmail.h"
#include "transport/ServerLink.h"
#include "transport/ServerName.h"
#include "transport/Settings.h"

namespace {

// Server replies and certificate names come from the other side.
std::string Printable(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            c = '?';
    return out;
}

}  // namespace

// The steps of CSMTPEmail::_SendIt in its order, each reported as it passes.
class CServerCheck {
public:
    CServerCheck(CSMTPEmail& mail, FILE* out) : m_Mail(mail), m_Out(out) {}
    int Run();

private:
    void Dialogue();
    void StartTls(CServerLink& link, const CServerName& server, const CCapabilities* offered);
    void Helo(CServerLink& link);
    void Esmtp(CServerLink& link, const CServerName& server, const CSecretText& secret);
    void News(CServerLink& link, const CServerName& server);
    void Quit(CServerLink& link);
    void Show(const char* label, const std::string& value);
    void ShowReply(const char* label, const char* reply);
    void ShowCapabilities(const CCapabilities& capabilities);
    void ShowTls(const Platform::TlsSessionInfo& info);

    CSMTPEmail& m_Mail;
    FILE* m_Out;
};

int CServerCheck::Run()
{
    const bool news = m_Mail.m_NewsMode == 1;
    Show(news ? "News server" : "Mail server", news ? g_NntpHost : g_SmtpHost);
    m_Mail.m_ErrorCode = ERR_SUCCESS;
    try {
        Dialogue();
    } catch (CSMTPError*) {
        if (m_Mail.m_ErrorCode == ERR_SUCCESS)
            m_Mail.m_ErrorCode = ERR_UNKNOWN;
    } catch (const std::bad_alloc&) {
        m_Mail.m_ErrorCode = ERR_NO_MEMORY;
    } catch (...) {
        m_Mail.m_ErrorCode = ERR_UNKNOWN;
    }
    const int code = m_Mail.m_ErrorCode;
    Show("Result", code == ERR_SUCCESS
                       ? std::string("passed")
                       : "failed with code " + std::to_string(code) + " (" + ErrorText(code) + ")");
    return code;
}

void CServerCheck::Dialogue()
{
    CSMTPEmail& m = m_Mail;
    m.StartNetwork();
    CServerName server;
    m.ChooseServer(server);
    m.LearnLocalHostName();
    CSecretText secret;
    if (CSMTPEmail::LogsIn(server))
        m.FetchSecret(secret);
    CServerLink link;
    m.Connect(link, server);
    Show("Connected", server.m_Host + " port " + std::to_string(server.m_Port));
    const bool implicitTls = ImplicitTls(server.m_Scheme);
    Show("TLS", implicitTls ? "implicit" : server.m_Scheme == ServerScheme::SUBMISSION ? "STARTTLS" : "none");
    if (implicitTls)
        StartTls(link, server, nullptr);
    const char* greeting = m.ReceiveReply(link);
    ShowReply("Greeting", greeting);
    m.JudgeReply(greeting);
    if (m.m_NewsMode == 1)
        News(link, server);
    else if (server.m_Scheme == ServerScheme::BARE)
        Helo(link);
    else
        Esmtp(link, server, secret);
    secret.Wipe();
    Quit(link);
}

// offered: the capabilities for STARTTLS; null for TLS at connect.
void CServerCheck::StartTls(CServerLink& link, const CServerName& server, const CCapabilities* offered)
{
    try {
        if (offered)
            m_Mail.StartTlsCommand(link, server, *offered);
        else
            m_Mail.StartTls(link, server);
    } catch (CSMTPError*) {
        ShowTls(link.m_TlsInfo);  // a refused certificate is worth seeing
        throw;
    }
    ShowTls(link.m_TlsInfo);
}

void CServerCheck::Helo(CServerLink& link)
{
    m_Mail.SendString(link, "HELO ");
    m_Mail.SendString(link, g_LocalHostName);
    m_Mail.SendString(link, "\r\n");
    const char* reply = m_Mail.ReceiveReply(link);
    ShowReply("HELO", reply);
    m_Mail.JudgeReply(reply);
    Show("Login", "none");
}

void CServerCheck::Esmtp(CServerLink& link, const CServerName& server, const CSecretText& secret)
{
    const std::string name = m_Mail.EhloArgument(link);
    CCapabilities capabilities;
    m_Mail.Hello(link, name, capabilities);
    ShowCapabilities(capabilities);
    if (server.m_Scheme == ServerScheme::SUBMISSION) {
        StartTls(link, server, &capabilities);
        m_Mail.Hello(link, name, capabilities);
        ShowCapabilities(capabilities);
    }
    if (!CSMTPEmail::LogsIn(server)) {
        Show("Login", "none");
        return;
    }
    const std::string mechanism = CSMTPEmail::ChooseMechanism(capabilities);
    const std::string login = "AUTH " + (mechanism.empty() ? "(no mechanism in common)" : Upper(mechanism)) + " as "
        + g_TransportSettings.m_SmtpUser;
    try {
        m_Mail.Authenticate(link, server, capabilities, secret);
    } catch (CSMTPError*) {
        Show("Login", login + ", failed");
        throw;
    }
    Show("Login", login + ", accepted");
}

void CServerCheck::News(CServerLink& link, const CServerName& server)
{
    if (server.m_Scheme != ServerScheme::BARE) {
        m_Mail.SendString(link, "MODE READER\r\n");
        const char* reply = m_Mail.ReceiveReply(link);
        ShowReply("MODE READER", reply);
        if (reply[0] != '5')
            m_Mail.JudgeReply(reply);
    }
    if (!g_NntpUser[0]) {
        Show("Login", "none");
        return;
    }
    const std::string login = std::string("AUTHINFO as ") + g_NntpUser + (g_NntpPassword[0] ? "" : " (no password)");
    try {
        m_Mail.NntpLogin(link);
    } catch (CSMTPError*) {
        Show("Login", login + ", failed");
        throw;
    }
    Show("Login", login + ", accepted");
}

// Everything was learned by now: a QUIT that goes wrong changes no verdict,
// as it changes none of a real send.
void CServerCheck::Quit(CServerLink& link)
{
    try {
        m_Mail.SendString(link, "QUIT\r\n");
        ShowReply("QUIT", m_Mail.ReceiveReply(link));
        if (link.m_Tls)
            link.m_Tls->Shutdown(TimeoutMs());
    } catch (CSMTPError*) {
        Show("QUIT", "no answer");
        m_Mail.m_ErrorCode = ERR_SUCCESS;
    }
}

void CServerCheck::Show(const char* label, const std::string& value)
{
    std::fprintf(m_Out, "%s: %s\n", label, Printable(value).c_str());
    std::fflush(m_Out);  // in step with the messages on standard error
}

void CServerCheck::ShowReply(const char* label, const char* reply)
{
    const std::string text = reply;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        Show(label, text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? text.size() : end + 2;
    }
}

void CServerCheck::ShowCapabilities(const CCapabilities& capabilities)
{
    const std::vector<std::string>& lines = capabilities.Lines();
    if (lines.empty()) {
        Show("EHLO", "not known to the server; HELO accepted");
        return;
    }
    Show("EHLO", lines[0]);
    for (std::size_t i = 1; i < lines.size(); ++i)
        Show("Capability", lines[i]);
}

void CServerCheck::ShowTls(const Platform::TlsSessionInfo& info)
{
    if (info.m_Version.empty())
        return;
    const std::pair<const char*, const std::string*> rows[] = {
        {"TLS version", &info.m_Version},           {"TLS cipher", &info.m_Cipher},
        {"Certificate subject", &info.m_Subject},   {"Certificate issuer", &info.m_Issuer},
        {"Certificate valid from", &info.m_NotBefore}, {"Certificate valid until", &info.m_NotAfter},
        {"Certificate SHA-256", &info.m_Fingerprint},
    };
    for (const auto& row : rows)
        if (!row.second->empty())
            Show(row.first, *row.second);
}

int CheckServers(CSMTPEmail& mail, FILE* out)
{
    g_Verbose = 1;  // a check is read for the reasons of its failures
    const int newsMode = mail.m_NewsMode;
    if (newsMode == 1)
        return CServerCheck(mail, out).Run();
    int code = CServerCheck(mail, out).Run();
    if (g_NntpHost[0]) {
        std::fputc('\n', out);
        mail.m_NewsMode = 1;
        const int news = CServerCheck(mail, out).Run();
        mail.m_NewsMode = newsMode;
        if (code == ERR_SUCCESS)
            code = news;
    }
    return code;
}
