#include <climits>
#include <cstdio>
#include <string>

#include "platform/Sockets.h"
#include "quillant/Globals.h"
#include "transport/Envelope.h"
#include "transport/SMTPEmail.h"
#include "transport/ServerLink.h"
#include "transport/ServerName.h"
#include "transport/Spool.h"
#include "transport/Wire.h"

char g_LocalHostName[256] = "";

namespace {

constexpr int SMTP_PORT = 25;
constexpr int NNTP_PORT = 119;


}  // namespace

int CSMTPEmail::_SendIt()
{
    if (!g_WinsockStarted) {
        if (!Platform::StartSockets())
            Raise(ERR_START_SOCKETS);
        g_WinsockStarted = 1;
    }
    CServerLink link;  // closed on every way out
    Connect(link);
    ReadReply(link);
    if (!g_LocalHostName[0] && !Platform::LocalHostName(g_LocalHostName, sizeof g_LocalHostName)) {
        g_LocalHostName[0] = '\0';
        if (g_Debug)
            std::fprintf(stderr, "CSMTPEmail::_SendIt() - gethostname() failed. Winsock error code is %d\n",
                         Platform::LastSocketError());
        Raise(ERR_HOST_NAME);
    }
    if (m_NewsMode == 1)
        NntpCommands(link);
    else
        SmtpCommands(link);
    AddTransportHeaders();
    CSpoolFile spool;
    if (const int result = WriteSpool(spool))
        return result;  // nothing of the message has gone out: no end of data, no QUIT
    SendSpool(link, spool);
    FinishData(link);
    Quit(link);
    return 0;
}

void CSMTPEmail::Connect(CServerLink& link)
{
    const char* text = m_NewsMode == 1 ? g_NntpHost : g_SmtpHost;
    std::string host;
    int port = m_NewsMode == 1 ? NNTP_PORT : SMTP_PORT;
    if (!ParseServerName(text, port, host, port)) {
        if (Chatty())
            std::fprintf(stderr, "Bad port in server name '%s'.\n", text);
        Raise(ERR_CONNECT);
    }
    Platform::SocketAddress address;
    const bool resolved = ResolveHost(host, port, address);
    const int resolveError = Platform::LastSocketError();
    link.m_Socket.Reset(Platform::OpenStreamSocket(address));
    if (!link.m_Socket.IsOpen())
        Raise(ERR_SOCKET_HANDLE);
    if (resolved && Platform::ConnectSocket(link.m_Socket.Get(), address, TimeoutMs(g_TimeoutSeconds)))
        return;
    if (!Chatty())
        Raise(ERR_CONNECT);
    if (resolved && Platform::LastSocketTimedOut())
        std::fprintf(stderr, "Timed out after %d seconds connecting to server '%s' port %d.\n",
                     EffectiveTimeoutSeconds(g_TimeoutSeconds), text, port);
    else
        std::fprintf(stderr, "Failed to connect to server '%s' port %d. Winsock error: %d\n", text, port,
                     resolved ? Platform::LastSocketError() : resolveError);
    Raise(ERR_CONNECT);
}

// A command line goes out in pieces: keyword, argument, line end.
void CSMTPEmail::Command(CServerLink& link, const char* keyword, const char* argument)
{
    SendString(link, keyword);
    SendString(link, argument);
    SendString(link, "\r\n");
    ReadReply(link);
}

void CSMTPEmail::SmtpCommands(CServerLink& link)
{
    Command(link, "HELO ", g_LocalHostName);
    Command(link, "MAIL FROM:", EnvelopeSender(GetHeader("X-Sender", nullptr)).c_str());
    for (const std::string& receiver : EnvelopeReceivers(m_Receivers.value_or("")))
        Command(link, "RCPT TO:", receiver.c_str());
    SendString(link, "DATA\r\n");
    ReadReply(link);
}

// GROUP takes one group; the Newsgroups header decides where the article goes.
void CSMTPEmail::NntpCommands(CServerLink& link)
{
    if (g_NntpUser[0]) {
        Command(link, "AUTHINFO USER ", g_NntpUser);
        if (g_NntpPassword[0])
            Command(link, "AUTHINFO PASS ", g_NntpPassword);
    }
    Command(link, "GROUP ", FirstNewsgroup(m_Receivers.value_or("")).c_str());
    SendString(link, "POST\r\n");
    ReadReply(link);
}

void CSMTPEmail::AddTransportHeaders()
{
    SetHeader(m_NewsMode == 1 ? "Reply-To" : "Return-Path", GetHeader("X-Sender", "(NULL)"), 0);
    SetDate();
    SetMessageId(g_LocalHostName);
}

// The whole message must be on disk before a byte of it goes out: a full
// disk must never make a cut message look delivered.
int CSMTPEmail::WriteSpool(CSpoolFile& spool)
{
    const SpoolStatus status = spool.Create();
    if (status == SpoolStatus::NAME_TOO_LONG) {
        if (Chatty())
            std::fprintf(stderr, "Spool folder name too long: '%s'. Aborting.\n", SpoolDirectory().c_str());
        Raise(ERR_TEMP_FILE);
    }
    if (status != SpoolStatus::CREATED) {
        if (Chatty())
            std::fprintf(stderr, "Unable to open tmp file '%s'. Aborting.\n", spool.Name());
        Raise(ERR_TEMP_FILE);
    }
    if (const int result = WriteOutMessage(spool.File()))
        return result;
    if (std::fflush(spool.File()) != 0 || std::ferror(spool.File())) {
        if (Chatty())
            std::fprintf(stderr, "Unable to write tmp file '%s'. Aborting.\n", spool.Name());
        Raise(ERR_TEMP_FILE);
    }
    std::rewind(spool.File());
    return 0;
}

void CSMTPEmail::SendSpool(CServerLink& link, CSpoolFile& spool)
{
    const bool read = ForEachWireChunk(spool.File(), [&](const char* chunk, std::size_t size) {
        SendBytes(link, chunk, size);
    });
    if (!read) {
        if (Chatty())
            std::fprintf(stderr, "Unable to read tmp file '%s'. Aborting.\n", spool.Name());
        Raise(ERR_TEMP_FILE);
    }
}

// The server may take long to accept a large message: twice the usual wait.
void CSMTPEmail::FinishData(CServerLink& link)
{
    SendString(link, "\r\n.\r\n");
    const int seconds = EffectiveTimeoutSeconds(g_TimeoutSeconds);
    ReadReply(link, seconds > INT_MAX / 2 ? INT_MAX : 2 * seconds);
}

// The message is delivered once the end of data was accepted; a failing
// QUIT must not make a batch job send it again, nor show an error page.
void CSMTPEmail::Quit(CServerLink& link)
{
    const int savedCode = m_ErrorCode;
    const int savedReport = m_HtmlErrorReport;
    m_HtmlErrorReport = 0;
    try {
        SendString(link, "QUIT\r\n");
        ReadReply(link);
    } catch (CSMTPError*) {
        if (g_Debug)
            std::fprintf(stderr, "QUIT failed after the message was accepted (%s); it was delivered.\n",
                         ErrorText(m_ErrorCode));
        m_ErrorCode = savedCode;
    }
    m_HtmlErrorReport = savedReport;
}
