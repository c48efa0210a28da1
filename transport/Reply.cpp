#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/Sockets.h"
#include "transport/Settings.h"
#include "quillant/Globals.h"
#include "transport/SMTPEmail.h"
#include "transport/ServerLink.h"
#include "transport/Wire.h"

namespace {

// A server that never ends its reply must not hold the client forever.
constexpr std::size_t MAX_REPLY_BYTES = 1 << 20;

// One buffer for every reply of the process, allocated by the first read.
std::unique_ptr<char[]> g_ReplyBuffer;

void TraceReceived(const char* data, std::size_t size)
{
    std::fprintf(stderr, "Received: (%d bytes) ", static_cast<int>(size));
    std::fwrite(data, 1, size, stderr);
}

// Receives into the pending bytes; false when the server closed, failed or
// did not answer by the deadline.
bool ReceiveMore(CServerLink& link, int timeoutSeconds, std::chrono::steady_clock::time_point deadline)
{
    char block[REPLY_BUFFER_SIZE];
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const long n = link.ReceiveSome(block, sizeof block, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (n < 1) {
        if (n < 0 && Platform::LastSocketTimedOut() && Chatty())
            std::fprintf(stderr, "Timed out after %d seconds waiting for the server's reply.\n",
                         EffectiveTimeoutSeconds(timeoutSeconds));
        return false;
    }
    if (g_Debug)
        TraceReceived(block, static_cast<std::size_t>(n));
    link.m_Pending.assign(block, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

// A reply longer than the buffer is read to its end, so the next command's
// reply is not taken from its tail; only its head is kept for the report.
// One deadline bounds the whole reply: a server that drips a byte at a time
// must not hold the client for longer than the time-out.
std::size_t CSMTPEmail::GatherReply(CServerLink& link, int timeoutSeconds, int silenceCode, char* reply)
{
    std::size_t held = 0;
    std::size_t total = 0;
    CReplyScanner scanner;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs(timeoutSeconds));
    for (bool complete = false; !complete;) {
        if (link.m_Pending.empty() && !ReceiveMore(link, timeoutSeconds, deadline))
            Raise(silenceCode);
        const std::size_t used = scanner.Scan(link.m_Pending.data(), link.m_Pending.size(), complete);
        total += used;
        if (total > MAX_REPLY_BYTES) {
            if (Chatty())
                std::fprintf(stderr, "Server reply longer than %d bytes. Aborting.\n",
                             static_cast<int>(MAX_REPLY_BYTES));
            Raise(ERR_RECEIVE);
        }
        const std::size_t kept = std::min(used, REPLY_BUFFER_SIZE - 1 - held);
        std::memcpy(reply + held, link.m_Pending.data(), kept);
        held += kept;
        link.m_Pending.erase(0, used);
        if (!complete && g_Debug)
            std::fputs("Incomplete server message. Awaiting CRLF\n", stderr);
    }
    // NUL bytes, a bare line end or noise are no answer, not even a passing one.
    if (!scanner.WellFormed()) {
        if (Chatty())
            std::fputs("Server reply is not well formed. Aborting.\n", stderr);
        Raise(ERR_RECEIVE);
    }
    return held;
}

const char* CSMTPEmail::ReceiveReply(CServerLink& link, int timeoutSeconds, int silenceCode)
{
    if (!g_ReplyBuffer) {
        g_ReplyBuffer.reset(new (std::nothrow) char[REPLY_BUFFER_SIZE]);
        if (!g_ReplyBuffer)
            Raise(ERR_NO_MEMORY);
    }
    char* reply = g_ReplyBuffer.get();
    const int seconds = timeoutSeconds > 0 ? timeoutSeconds : g_TransportSettings.m_TimeoutSeconds;
    reply[GatherReply(link, seconds, silenceCode, reply)] = '\0';
    return reply;
}

void CSMTPEmail::JudgeReply(const char* reply)
{
    if (static_cast<signed char>(reply[0]) <= '3')  // only the first byte decides
        return;
    m_SessionEnd.m_TemporaryRefusal = reply[0] == '4';
    ReportServerError(reply);
    Raise(ERR_SERVER);
}

void CSMTPEmail::ReportServerError(const char* reply) const
{
    if (m_HtmlErrorReport)
        std::printf("<h3>SMTP server error: %s</h3>\n", reply);
}

int CSMTPEmail::ReadReply(CServerLink& link, int timeoutSeconds, int silenceCode)
{
    JudgeReply(ReceiveReply(link, timeoutSeconds, silenceCode));
    return 1;
}
