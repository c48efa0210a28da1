// The platform's socket calls without a network, for the fuzz targets. Only
// the rest of a piece the client's buffer could not hold counts as waiting:
// a server that talks ahead of its turn does so inside one piece.
#include "tests/fuzz/support/MemoryServer.h"

#include <cstdio>
#include <cstring>

#include "platform/Sockets.h"
#include "platform/common/SocketState.h"

namespace {

std::vector<std::string> g_Pieces;
std::size_t g_NextPiece = 0;
std::string g_Unread;  // of the piece last handed out
std::string g_Sent;
Platform::SocketHandle g_NextHandle = 3;

}  // namespace

namespace MemoryServer {

void Play(std::vector<std::string> pieces)
{
    g_Pieces = std::move(pieces);
    g_NextPiece = 0;
    g_Unread.clear();
    g_Sent.clear();
}

const std::string& Sent() { return g_Sent; }

}  // namespace MemoryServer

namespace Platform {

bool StartSockets() { return true; }
void StopSockets() {}

bool ResolveAddress(const char* host, int, SocketAddress& out)
{
    out = SocketAddress{};
    out.m_Length = 1;
    return host && *host;
}

SocketHandle OpenStreamSocket(const SocketAddress&) { return g_NextHandle++; }

bool ConnectSocket(SocketHandle, const SocketAddress&, int)
{
    g_NextPiece = 0;  // every connection hears the script from its start
    g_Unread.clear();
    return true;
}

long SendSome(SocketHandle, const char* data, std::size_t size, int)
{
    g_Sent.append(data, size);
    return static_cast<long>(size);
}

long SendFileSome(SocketHandle s, FILE*, std::int64_t, const char* data, std::size_t size, int timeoutMs)
{
    return SendSome(s, data, size, timeoutMs);
}

long ReceiveSome(SocketHandle, char* buffer, std::size_t size, int)
{
    while (g_Unread.empty()) {
        if (g_NextPiece == g_Pieces.size())
            return 0;
        g_Unread = g_Pieces[g_NextPiece++];
    }
    const std::size_t n = g_Unread.size() < size ? g_Unread.size() : size;
    std::memcpy(buffer, g_Unread.data(), n);
    g_Unread.erase(0, n);
    return static_cast<long>(n);
}

void CloseSocket(SocketHandle) {}

bool DataWaiting(SocketHandle) { return !g_Unread.empty(); }

bool LocalHostName(char* buffer, std::size_t size)
{
    return size > 0 && std::snprintf(buffer, size, "client.example") < static_cast<int>(size);
}

bool LocalAddressText(SocketHandle, std::string& text, bool& ipv6)
{
    text = "127.0.0.1";
    ipv6 = false;
    return true;
}

SocketHandle ListenLoopback(int, int&) { return INVALID_SOCKET_HANDLE; }
SocketHandle AcceptConnection(SocketHandle, int) { return INVALID_SOCKET_HANDLE; }

}  // namespace Platform
