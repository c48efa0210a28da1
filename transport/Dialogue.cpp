#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Command.h"
#include "platform/Files.h"
#include "platform/Sockets.h"
#include "platform/Tls.h"
#include "quillant/Globals.h"
#include "transport/Envelope.h"
#include "transport/Esmtp.h"
#include "transport/Progress.h"
#include "transport/SMTPEmail.h"
#include "transport/ServerLink.h"
#include "transport/ServerName.h"
#include "transport/Settings.h"
#include "transport/Spool.h"
#include "transport/Wire.h"

char g_LocalHostName[256] = "";

namespace {

constexpr std::size_t PIPELINE_GROUP = 100;
constexpr int END_OF_DATA_SECONDS = 600;

bool NeedsTls(ServerScheme s)
{
    return s == ServerScheme::SUBMISSION || s == ServerScheme::SMTPS || s == ServerScheme::NNTPS;
}

// A server reply for a message, without its line end.
std::string ReplyLine(const char* reply)
{
    const std::string text = reply;
    return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace

bool CSMTPEmail::LogsIn(const CServerName& server)
{
    return !g_TransportSettings.m_SmtpUser.empty()
        && (server.m_Scheme == ServerScheme::SUBMISSION || server.m_Scheme == ServerScheme::SMTPS);
}

void CSMTPEmail::StartNetwork()
{
    if (!g_WinsockStarted) {
        if (!Platform::StartSockets())
            Raise(ERR_START_SOCKETS);
        g_WinsockStarted = 1;
    }
}

void CSMTPEmail::LearnLocalHostName()
{
    if (!g_LocalHostName[0] && !Platform::LocalHostName(g_LocalHostName, sizeof g_LocalHostName)) {
        g_LocalHostName[0] = '\0';
        if (g_Debug)
            std::fprintf(stderr, "CSMTPEmail::_SendIt() - gethostname() failed. Winsock error code is %d\n",
                         Platform::LastSocketError());
        Raise(ERR_HOST_NAME);
    }
}

int CSMTPEmail::_SendIt()
{
    StartNetwork();
    CServerName server;
    ChooseServer(server);
    LearnLocalHostName();
    // The whole message is on disk before the server hears of it: a missing
    // attachment or a full disk fails without any traffic.
    AddTransportHeaders();
    CSpoolFile spool;
    if (const int result = WriteSpool(spool))
        return result;
    CSecretText secret;
    if (LogsIn(server))
        FetchSecret(secret);
    // Every try is a whole new session over the same spool file; only the
    // failure of the last one is reported.
    const CRetryPolicy policy(g_TransportSettings.m_Retries, g_TransportSettings.m_RetryDelaySeconds);
    const int codeBefore = m_ErrorCode;
    for (int made = 1;; ++made) {
        try {
            Session(server, spool, secret, made == policy.Tries());
            return 0;
        } catch (CSMTPError*) {
            m_SessionEnd.m_Code = m_ErrorCode;
            if (!policy.TryAgain(made, m_SessionEnd))
                throw;
        }
        WaitToRetry(policy, made);
        m_ErrorCode = codeBefore;
    }
}

// The connection of the failed try is closed by now; the spool file stays,
// so an interrupt during the wait still removes it.
void CSMTPEmail::WaitToRetry(const CRetryPolicy& policy, int made)
{
    const int delay = policy.DelayAfter(made);
    if (Chatty())
        std::fprintf(stderr, "Retrying in %d second%s (try %d of %d): %s\n", delay, delay == 1 ? "" : "s",
                     made + 1, policy.Tries(), ErrorText(m_ErrorCode));
    Platform::Pause(static_cast<std::uint32_t>(delay) * 1000u);
}

// One whole dialogue, from the connection to QUIT.
void CSMTPEmail::Session(const CServerName& server, CSpoolFile& spool, CSecretText& secret, bool lastTry)
{
    m_SessionEnd = CSessionEnd();
    CServerLink link;  // closed on every way out
    Connect(link, server);
    if (ImplicitTls(server.m_Scheme))
        StartTls(link, server);
    ReadReply(link);
    if (m_NewsMode == 1) {
        if (server.m_Scheme != ServerScheme::BARE) {
            // Some servers want it before they take a post; others refuse it.
            SendString(link, "MODE READER\r\n");
            const char* reply = ReceiveReply(link);
            if (reply[0] != '5')
                JudgeReply(reply);
        }
        NntpCommands(link);
    } else if (server.m_Scheme == ServerScheme::BARE) {
        SmtpCommands(link);
    } else {
        EsmtpCommands(link, server, secret);
    }
    if (lastTry)
        secret.Wipe();  // otherwise kept: a later try logs in again
    std::rewind(spool.File());
    SendSpool(link, spool);
    FinishData(link);
    Quit(link);
}

// Every fault of the settings ends the run before a connection is made.
void CSMTPEmail::ChooseServer(CServerName& server)
{
    const bool news = m_NewsMode == 1;
    const char* text = news ? g_NntpHost : g_SmtpHost;
    const ServerNameStatus status = ParseServer(text, news, server);
    if (status != ServerNameStatus::OK) {
        if (Chatty()) {
            if (status == ServerNameStatus::BAD_PORT)
                std::fprintf(stderr, "Bad port in server name '%s'.\n", text);
            else if (status == ServerNameStatus::UNKNOWN_SCHEME)
                std::fprintf(stderr, "Unknown kind of server in '%s'.\n", text);
            else if (status == ServerNameStatus::WRONG_KIND)
                std::fprintf(stderr, "'%s' is not a %s server.\n", text, news ? "news" : "mail");
            else
                std::fprintf(stderr, "Bad host in server name '%s'.\n", text);
        }
        Raise(ERR_CONNECT);
    }
    if (NeedsTls(server.m_Scheme) && !Platform::TlsAvailable()) {
        if (Chatty())
            std::fprintf(stderr, "TLS for '%s' is not available in this build.\n", text);
        Raise(ERR_TLS);
    }
    if (server.m_Scheme == ServerScheme::SMTP && !g_TransportSettings.m_SmtpUser.empty()) {
        if (Chatty())
            std::fprintf(stderr, "SMTP User is set, but '%s' has no TLS: a password never goes out in the clear. "
                                 "Use submission:// or smtps://.\n", text);
        Raise(ERR_AUTH);
    }
}

void CSMTPEmail::FetchSecret(CSecretText& secret)
{
    const std::string& command = g_TransportSettings.m_PasswordCommand;
    if (command.empty()) {
        if (g_TransportSettings.m_SmtpPassword.Empty())
            AuthFails("SMTP User is set, but neither SMTP Password nor SMTP Password Command");
        secret.Assign(g_TransportSettings.m_SmtpPassword.Text().c_str());
        return;
    }
    std::string line;
    std::string reason;
    const bool ok = Platform::RunSecretCommand(command, TimeoutMs(), line, reason);
    secret.Assign(std::move(line));
    if (!ok)
        AuthFails("SMTP Password Command: " + reason);
}

void CSMTPEmail::Connect(CServerLink& link, const CServerName& server)
{
    const char* text = m_NewsMode == 1 ? g_NntpHost : g_SmtpHost;
    const int port = server.m_Port;
    Platform::SocketAddress address;
    int resolveError = 0;
    bool lookupTimedOut = false;
    const bool resolved =
        ResolveHost(server.m_Host, port, address, TimeoutMs(), resolveError, lookupTimedOut);
    if (lookupTimedOut) {
        if (Chatty())
            std::fprintf(stderr, "Timed out after %d seconds looking up server '%s'.\n",
                         EffectiveTimeoutSeconds(g_TransportSettings.m_TimeoutSeconds), text);
        Raise(ERR_CONNECT);
    }
    link.m_Socket.Reset(Platform::OpenStreamSocket(address));
    if (!link.m_Socket.IsOpen())
        Raise(ERR_SOCKET_HANDLE);
    if (resolved && Platform::ConnectSocket(link.m_Socket.Get(), address, TimeoutMs()))
        return;
    if (!Chatty())
        Raise(ERR_CONNECT);
    if (resolved && Platform::LastSocketTimedOut())
        std::fprintf(stderr, "Timed out after %d seconds connecting to server '%s' port %d.\n",
                     EffectiveTimeoutSeconds(g_TransportSettings.m_TimeoutSeconds), text, port);
    else
        std::fprintf(stderr, "Failed to connect to server '%s' port %d. Winsock error: %d\n", text, port,
                     resolved ? Platform::LastSocketError() : resolveError);
    Raise(ERR_CONNECT);
}

void CSMTPEmail::StartTls(CServerLink& link, const CServerName& server)
{
    Platform::TlsClientOptions options;
    options.m_HostName = server.m_Host;
    options.m_CaFile = g_TransportSettings.m_CaFile;
    options.m_Fingerprint = g_TransportSettings.m_Fingerprint;
    auto tls = std::make_unique<Platform::CTlsSession>();
    std::string reason;
    std::string fingerprint;
    const Platform::TlsStatus status =
        tls->Connect(link.m_Socket.Get(), options, TimeoutMs(), reason, fingerprint);
    link.m_TlsInfo = tls->Info();
    if (status == Platform::TlsStatus::OK) {
        link.m_Tls = std::move(tls);
        return;
    }
    if (Chatty()) {
        if (status == Platform::TlsStatus::UNTRUSTED)
            std::fprintf(stderr, "Certificate of server '%s' not trusted: %s.\n", server.m_Host.c_str(),
                         reason.c_str());
        else
            std::fprintf(stderr, "TLS with server '%s' failed: %s.\n", server.m_Host.c_str(), reason.c_str());
        if (!fingerprint.empty())
            std::fprintf(stderr, "Its certificate's SHA-256 fingerprint: %s\n", fingerprint.c_str());
    }
    Raise(status == Platform::TlsStatus::UNTRUSTED ? ERR_CERTIFICATE : ERR_TLS);
}

// A command line goes out in pieces: keyword, argument, line end.
void CSMTPEmail::Command(CServerLink& link, const char* keyword, const char* argument, bool secret)
{
    SendString(link, keyword);
    SendBytes(link, argument, std::strlen(argument), secret);
    SendString(link, "\r\n");
    ReadReply(link);
}

void CSMTPEmail::SmtpCommands(CServerLink& link)
{
    Command(link, "HELO ", g_LocalHostName);
    MailCommands(link);
}

void CSMTPEmail::MailCommands(CServerLink& link)
{
    Command(link, "MAIL FROM:", EnvelopeSender(GetHeader("X-Sender", nullptr)).c_str());
    for (const std::string& receiver : EnvelopeReceivers(m_Receivers.value_or("")))
        Command(link, "RCPT TO:", receiver.c_str());
    SendString(link, "DATA\r\n");
    ReadReply(link);
}

std::string CSMTPEmail::EhloArgument(CServerLink& link)
{
    std::string address;
    bool ipv6 = false;
    if (!std::strchr(g_LocalHostName, '.') && !Platform::LocalAddressText(link.m_Socket.Get(), address, ipv6))
        Raise(ERR_HOST_NAME);
    return EhloName(g_LocalHostName, address, ipv6);
}

void CSMTPEmail::EsmtpCommands(CServerLink& link, const CServerName& server, const CSecretText& secret)
{
    const std::string name = EhloArgument(link);
    CCapabilities capabilities;
    Hello(link, name, capabilities);
    if (server.m_Scheme == ServerScheme::SUBMISSION) {
        StartTlsCommand(link, server, capabilities);
        Hello(link, name, capabilities);  // what was offered in the clear no longer counts
    }
    if (LogsIn(server))
        Authenticate(link, server, capabilities, secret);
    PipelinedMailCommands(link, capabilities.Has("PIPELINING") ? PIPELINE_GROUP : 1);
}

// Each command goes out as one whole line; a server that offers PIPELINING
// gets them in groups, every reply still read and judged in order before
// DATA. A group stays far below what the socket buffers on either side hold,
// so neither end can stall on a full buffer (RFC 2920, 3.2).
void CSMTPEmail::PipelinedMailCommands(CServerLink& link, std::size_t group)
{
    std::string batch = "MAIL FROM:" + EnvelopeSender(GetHeader("X-Sender", nullptr)) + "\r\n";
    std::size_t waiting = 1;
    const auto flush = [&] {
        SendBytes(link, batch.data(), batch.size());
        for (; waiting > 0; --waiting)
            ReadReply(link);
        batch.clear();
    };
    EachEnvelopeReceiver(m_Receivers.value_or(""), [&](const std::string& receiver) {
        if (waiting == group)
            flush();
        batch += "RCPT TO:";
        batch += receiver;
        batch += "\r\n";
        ++waiting;
    });
    flush();
    SendString(link, "DATA\r\n");
    ReadReply(link);
}

// EHLO, or HELO for a server that does not know it.
void CSMTPEmail::Hello(CServerLink& link, const std::string& name, CCapabilities& capabilities)
{
    capabilities.Clear();
    const std::string ehlo = "EHLO " + name + "\r\n";
    SendBytes(link, ehlo.data(), ehlo.size());
    const char* reply = ReceiveReply(link);
    if (reply[0] == '5') {
        const std::string helo = "HELO " + name + "\r\n";
        SendBytes(link, helo.data(), helo.size());
        ReadReply(link);
        return;
    }
    JudgeReply(reply);
    capabilities.Read(reply);
}

void CSMTPEmail::StartTlsCommand(CServerLink& link, const CServerName& server, const CCapabilities& capabilities)
{
    const char* text = g_SmtpHost;
    if (!capabilities.Has("STARTTLS")) {
        if (Chatty())
            std::fprintf(stderr, "Server '%s' does not offer STARTTLS.\n", text);
        Raise(ERR_TLS);
    }
    SendString(link, "STARTTLS\r\n");
    const char* reply = ReceiveReply(link);
    if (reply[0] != '2') {
        ReportServerError(reply);
        if (Chatty())
            std::fprintf(stderr, "Server '%s' refused STARTTLS: %s\n", text, ReplyLine(reply).c_str());
        Raise(ERR_TLS);
    }
    // Anything sent before the handshake would be taken as said inside TLS.
    if (!link.m_Pending.empty()) {
        if (Chatty())
            std::fprintf(stderr, "Server '%s' sent data before the TLS handshake. Aborting.\n", text);
        Raise(ERR_TLS);
    }
    StartTls(link, server);
}

void CSMTPEmail::AuthFails(const std::string& why)
{
    if (Chatty())
        std::fprintf(stderr, "Authentication failed: %s.\n", why.c_str());
    Raise(ERR_AUTH);
}

// expected is the first digit of the reply that lets the login go on. An
// OAuth error arrives as a 334 challenge that wants one more line before
// the final refusal.
void CSMTPEmail::ExpectAuthReply(CServerLink& link, char expected, const char* oauthDismissal)
{
    const char* reply = ReceiveReply(link);
    if (reply[0] == expected)
        return;
    if (oauthDismissal && reply[0] == '3') {
        SendString(link, oauthDismissal);
        reply = ReceiveReply(link);
    }
    ReportServerError(reply);
    AuthFails("the server said " + ReplyLine(reply));
}

// "SMTP Auth", else the first of PLAIN and LOGIN the server offers; empty
// when there is none.
std::string CSMTPEmail::ChooseMechanism(const CCapabilities& capabilities)
{
    const std::string& chosen = g_TransportSettings.m_SmtpAuth;
    if (!chosen.empty())
        return chosen;
    return capabilities.OffersAuth("PLAIN") ? "plain" : capabilities.OffersAuth("LOGIN") ? "login" : "";
}

void CSMTPEmail::Authenticate(CServerLink& link, const CServerName& server, const CCapabilities& capabilities,
                              const CSecretText& secret)
{
    const std::string mechanism = ChooseMechanism(capabilities);
    if (mechanism.empty())
        AuthFails("the server offers neither PLAIN nor LOGIN");
    if (!capabilities.OffersAuth(mechanism.c_str()))
        AuthFails("the server does not offer " + Upper(mechanism));
    const std::string& user = g_TransportSettings.m_SmtpUser;
    CSecretText response;  // wiped on every way out
    const char* dismissal = nullptr;
    if (mechanism == "login") {
        SendString(link, "AUTH LOGIN\r\n");
        ExpectAuthReply(link, '3');
        SendString(link, Base64Text(user).c_str());
        SendString(link, "\r\n");
        ExpectAuthReply(link, '3');
        response.Assign(Base64Text(secret.Text()));
        SendBytes(link, response.Text().data(), response.Text().size(), true);
    } else {
        if (mechanism == "plain") {
            SendString(link, "AUTH PLAIN ");
            response.Assign(SaslPlain(user, secret.Text()));
        } else if (mechanism == "xoauth2") {
            SendString(link, "AUTH XOAUTH2 ");
            response.Assign(SaslXoauth2(user, secret.Text()));
            dismissal = "\r\n";
        } else {
            SendString(link, "AUTH OAUTHBEARER ");
            response.Assign(SaslOauthBearer(user, server.m_Host, server.m_Port, secret.Text()));
            dismissal = "AQ==\r\n";  // a lone ^A ends a failed exchange (RFC 7628 3.2.3)
        }
        SendBytes(link, response.Text().data(), response.Text().size(), true);
    }
    response.Wipe();
    SendString(link, "\r\n");
    ExpectAuthReply(link, '2', dismissal);
}

void CSMTPEmail::NntpLogin(CServerLink& link)
{
    if (g_NntpUser[0]) {
        Command(link, "AUTHINFO USER ", g_NntpUser);
        if (g_NntpPassword[0])
            Command(link, "AUTHINFO PASS ", g_NntpPassword, true);
    }
}

// GROUP takes one group; the Newsgroups header decides where the article goes.
void CSMTPEmail::NntpCommands(CServerLink& link)
{
    NntpLogin(link);
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

// Runs already in wire form go out straight from the spool file unless TLS
// must see every byte.
void CSMTPEmail::SendSpool(CServerLink& link, CSpoolFile& spool)
{
    const int timeoutMs = TimeoutMs();
    std::uint64_t total = 0;
    // The debug trace shows the data itself, which a progress line would cut.
    CProgressLine progress(Platform::FileSize(spool.Name(), total) ? total : 0, g_Verbose && !g_Debug);
    const auto sendRun = [&](std::int64_t offset, const char* data, std::size_t size) {
        if (link.m_Tls || g_Debug) {
            SendBytes(link, data, size);
            progress.Advance(size);
            return;
        }
        for (std::size_t sent = 0; sent < size;) {
            const long n = Platform::SendFileSome(link.m_Socket.Get(), spool.File(),
                                                  offset + static_cast<std::int64_t>(sent), data + sent,
                                                  size - sent, timeoutMs);
            if (n < 1)
                SendFailed();
            sent += static_cast<std::size_t>(n);
            progress.Advance(static_cast<std::size_t>(n));
        }
    };
    const auto send = [&](const char* data, std::size_t size) {
        SendBytes(link, data, size);
        progress.Advance(size);
    };
    const bool read = ForEachWirePiece(spool.File(), SPOOL_BLOCK_SIZE, send, sendRun);
    if (!read) {
        if (Chatty())
            std::fprintf(stderr, "Unable to read tmp file '%s'. Aborting.\n", spool.Name());
        Raise(ERR_TEMP_FILE);
    }
}

// The server may take long to accept a large message: giving up early would
// make a batch job send it twice (RFC 5321 4.5.3.2.6: ten minutes at least).
// From here on the server may hold the message: silence is no longer an
// ordinary failure, and nothing is tried again.
void CSMTPEmail::FinishData(CServerLink& link)
{
    SendString(link, "\r\n.\r\n");
    m_SessionEnd.m_EndOfDataSent = true;
    ReadReply(link, std::max(END_OF_DATA_SECONDS, EffectiveTimeoutSeconds(g_TransportSettings.m_TimeoutSeconds)),
              ERR_DELIVERY_UNKNOWN);
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
        if (link.m_Tls)
            link.m_Tls->Shutdown(TimeoutMs());
    } catch (CSMTPError*) {
        if (g_Debug)
            std::fprintf(stderr, "QUIT failed after the message was accepted (%s); it was delivered.\n",
                         ErrorText(m_ErrorCode));
        m_ErrorCode = savedCode;
    }
    m_HtmlErrorReport = savedReport;
}
