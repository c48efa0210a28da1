#include "transport/SMTPEmail.h"
#include "transport/Settings.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/Sockets.h"
#include "quillant/Globals.h"
#include "transport/ServerLink.h"

int g_SMTPEmailCount = 0;
int g_WinsockStarted = 0;

int EffectiveTimeoutSeconds(int seconds)
{
    return seconds > 0 ? seconds : DEFAULT_TIMEOUT_SECONDS;
}

int TimeoutMs(int seconds)
{
    const int s = EffectiveTimeoutSeconds(seconds);
    return s > INT_MAX / 1000 ? INT_MAX : s * 1000;
}

long CServerLink::SendSome(const char* data, std::size_t size, int timeoutMs)
{
    return m_Tls ? m_Tls->Send(data, size, timeoutMs) : Platform::SendSome(m_Socket.Get(), data, size, timeoutMs);
}

long CServerLink::ReceiveSome(char* buffer, std::size_t size, int timeoutMs)
{
    return m_Tls ? m_Tls->Receive(buffer, size, timeoutMs)
                 : Platform::ReceiveSome(m_Socket.Get(), buffer, size, timeoutMs);
}

CSMTPEmail::CSMTPEmail()
{
    ++g_SMTPEmailCount;
    m_HtmlErrorReport = 0;
}

CSMTPEmail::~CSMTPEmail()
{
    if (--g_SMTPEmailCount == 0 && g_WinsockStarted)
        Platform::StopSockets();
}

// Anything other than our own error must not come back as success when no
// code had been stored yet.
int CSMTPEmail::Send()
{
    try {
        return _SendIt();
    } catch (CSMTPError*) {
        return m_ErrorCode;
    } catch (const std::bad_alloc&) {
        m_ErrorCode = ERR_NO_MEMORY;
    } catch (...) {
        m_ErrorCode = ERR_UNKNOWN;
    }
    return m_ErrorCode;
}

int CSMTPEmail::SendString(CServerLink& link, const char* text)
{
    return SendBytes(link, text, std::strlen(text));
}

int CSMTPEmail::SendBytes(CServerLink& link, const char* data, std::size_t size, bool secret)
{
    // Whatever arrived before this command was sent cannot be its answer.
    if (!link.m_Pending.empty() || (!link.m_Tls && Platform::DataWaiting(link.m_Socket.Get()))) {
        if (Chatty())
            std::fputs("Server sent data before the command it would answer. Aborting.\n", stderr);
        Raise(ERR_RECEIVE);
    }
    if (g_Debug) {
        std::fputs("Posting: ", stderr);
        if (secret)
            std::fputs("********", stderr);
        else
            std::fwrite(data, 1, size, stderr);
    }
    const int timeoutMs = TimeoutMs();
    for (std::size_t sent = 0; sent < size;) {
        const long n = link.SendSome(data + sent, size - sent, timeoutMs);
        if (n < 1)
            SendFailed();
        sent += static_cast<std::size_t>(n);
    }
    return 1;
}

void CSMTPEmail::SendFailed()
{
    if (Platform::LastSocketTimedOut() && Chatty())
        std::fprintf(stderr, "Timed out after %d seconds sending to the server.\n",
                     EffectiveTimeoutSeconds(g_TransportSettings.m_TimeoutSeconds));
    Raise(ERR_SEND);
}
