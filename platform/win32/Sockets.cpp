#include "platform/Sockets.h"

#include "platform/common/SocketState.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>

namespace Platform {
namespace {

const WORD WINSOCK_VERSION_1_1 = 257;

static_assert(sizeof(sockaddr_storage) <= sizeof(SocketAddress::m_Storage), "address storage too small");

SOCKET Sock(SocketHandle s) { return static_cast<SOCKET>(s); }

int ClampSize(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

void SetBlocking(SocketHandle s, bool blocking)
{
    u_long nonBlocking = blocking ? 0 : 1;
    ioctlsocket(Sock(s), FIONBIO, &nonBlocking);
}

enum class Wait { READ, WRITE, CONNECT };

// Waits until the socket is ready; false with the error set on time-out or
// failure. Winsock reports a failed non-blocking connect in the exception
// set, never as writable, so a connect watches that set too.
bool WaitFor(SocketHandle s, Wait what, int timeoutMs)
{
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(Sock(s), &ready);
    if (what == Wait::CONNECT)
        FD_SET(Sock(s), &failed);
    const int ms = timeoutMs < 0 ? 0 : timeoutMs;
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    const bool read = what == Wait::READ;
    const int n = select(0, read ? &ready : nullptr, read ? nullptr : &ready, &failed, &limit);
    if (n == 0) {
        SetSocketError(WSAETIMEDOUT, true);
        return false;
    }
    if (n == SOCKET_ERROR) {
        SetSocketError(WSAGetLastError());
        return false;
    }
    if (FD_ISSET(Sock(s), &failed)) {
        int error = 0;
        int length = sizeof error;
        getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        SetSocketError(error ? error : WSAECONNRESET);
        return false;
    }
    return true;
}

bool StoreIPv4(std::uint32_t networkAddress, int port, SocketAddress& out)
{
    // 0.0.0.0 would reach this very host on some stacks; an empty or unknown
    // name must end as a refused connection instead.
    if (networkAddress == 0) {
        SetSocketError(WSAEADDRNOTAVAIL);
        return false;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(port));
    sa.sin_addr.s_addr = networkAddress;
    std::memcpy(out.m_Storage, &sa, sizeof sa);
    out.m_Length = sizeof sa;
    return true;
}

bool ResolveIPv6Literal(const char* host, int port, SocketAddress& out)
{
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &list);
    bool ok = rc == 0 && list && list->ai_addrlen <= sizeof out.m_Storage;
    if (ok) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(list->ai_addr);
        ok = !IN6_IS_ADDR_UNSPECIFIED(&sa->sin6_addr);
        sa->sin6_port = htons(static_cast<u_short>(port));
        if (ok) {
            std::memcpy(out.m_Storage, sa, list->ai_addrlen);
            out.m_Length = static_cast<unsigned>(list->ai_addrlen);
        }
    }
    if (!ok)
        SetSocketError(rc ? rc : WSAEADDRNOTAVAIL);
    if (list)
        freeaddrinfo(list);
    return ok;
}

// Dotted text through inet_addr, names through gethostbyname (first IPv4
// address). inet_addr cannot tell the broadcast address from a failure.
bool ResolveIPv4(const char* host, int port, SocketAddress& out)
{
    const unsigned long dotted = inet_addr(host);
    if (dotted != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0)
        return StoreIPv4(static_cast<std::uint32_t>(dotted), port, out);
    const hostent* entry = gethostbyname(host);
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list || !entry->h_addr_list[0]) {
        SetSocketError(entry ? WSAHOST_NOT_FOUND : WSAGetLastError());
        return false;
    }
    std::uint32_t address = 0;
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
    return StoreIPv4(address, port, out);
}

}  // namespace

bool StartSockets()
{
    WSADATA data;
    const int rc = WSAStartup(WINSOCK_VERSION_1_1, &data);
    if (rc != 0)
        SetSocketError(rc);
    return rc == 0;
}

void StopSockets() { WSACleanup(); }

bool ResolveAddress(const char* host, int port, SocketAddress& out)
{
    out = SocketAddress{};
    if (!host || !*host) {
        SetSocketError(WSAEADDRNOTAVAIL);
        return false;
    }
    if (std::strchr(host, ':'))
        return ResolveIPv6Literal(host, port, out);
    return ResolveIPv4(host, port, out);
}

SocketHandle OpenStreamSocket(const SocketAddress& forAddress)
{
    const auto* sa = reinterpret_cast<const sockaddr*>(forAddress.m_Storage);
    const int family = forAddress.m_Length ? sa->sa_family : AF_INET;
    const SOCKET s = socket(family, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        SetSocketError(WSAGetLastError());
        return INVALID_SOCKET_HANDLE;
    }
    // A command line goes out in small pieces; without this each one after
    // the first waits for the server's delayed acknowledgement.
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<SocketHandle>(s);
}

// Non-blocking connect bounded by select; the socket is blocking again after.
bool ConnectSocket(SocketHandle s, const SocketAddress& to, int timeoutMs)
{
    SetBlocking(s, false);
    const auto* sa = reinterpret_cast<const sockaddr*>(to.m_Storage);
    bool ok = connect(Sock(s), sa, static_cast<int>(to.m_Length)) == 0;
    if (!ok) {
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK)
            ok = WaitFor(s, Wait::CONNECT, timeoutMs);
        else
            SetSocketError(error);
    }
    SetBlocking(s, true);
    return ok;
}

// A blocking send waits until all of a large buffer is taken, beyond any
// time-out, so the call runs non-blocking once select says there is room.
long SendSome(SocketHandle s, const char* data, std::size_t size, int timeoutMs)
{
    if (InjectedSocketFault(WSAECONNRESET))
        return -1;
    if (!WaitFor(s, Wait::WRITE, timeoutMs))
        return -1;
    SetBlocking(s, false);
    const int n = send(Sock(s), data, ClampSize(size), 0);
    const int error = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    SetBlocking(s, true);
    if (n > 0)
        return n;
    SetSocketError(n == 0 ? WSAECONNRESET : error, error == WSAEWOULDBLOCK);
    return -1;
}

// No zero-copy path here: the bytes go from memory.
long SendFileSome(SocketHandle s, FILE*, std::int64_t, const char* data, std::size_t size, int timeoutMs)
{
    return SendSome(s, data, size, timeoutMs);
}

long ReceiveSome(SocketHandle s, char* buffer, std::size_t size, int timeoutMs)
{
    if (InjectedSocketFault(WSAECONNRESET))
        return -1;
    if (!WaitFor(s, Wait::READ, timeoutMs))
        return -1;
    const int n = recv(Sock(s), buffer, ClampSize(size), 0);
    if (n >= 0)
        return n;
    SetSocketError(WSAGetLastError());
    return -1;
}

bool DataWaiting(SocketHandle s)
{
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(Sock(s), &ready);
    timeval none{0, 0};
    char c;
    return select(0, &ready, nullptr, nullptr, &none) == 1 && recv(Sock(s), &c, 1, MSG_PEEK) > 0;
}

void CloseSocket(SocketHandle s)
{
    if (s != INVALID_SOCKET_HANDLE)
        closesocket(Sock(s));
}

bool LocalHostName(char* buffer, std::size_t size)
{
    if (size == 0 || gethostname(buffer, ClampSize(size)) != 0) {
        SetSocketError(size == 0 ? WSAEFAULT : WSAGetLastError());
        return false;
    }
    buffer[size - 1] = '\0';
    return true;
}

bool LocalAddressText(SocketHandle s, std::string& text, bool& ipv6)
{
    sockaddr_storage sa{};
    int length = sizeof sa;
    char buffer[INET6_ADDRSTRLEN];
    DWORD size = sizeof buffer;
    if (getsockname(Sock(s), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        SetSocketError(WSAGetLastError());
        return false;
    }
    ipv6 = sa.ss_family == AF_INET6;
    // The port must not appear in the text.
    if (ipv6)
        reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port = 0;
    else
        reinterpret_cast<sockaddr_in*>(&sa)->sin_port = 0;
    if (WSAAddressToStringA(reinterpret_cast<sockaddr*>(&sa), static_cast<DWORD>(length), nullptr, buffer, &size) != 0) {
        SetSocketError(WSAGetLastError());
        return false;
    }
    text = buffer;
    return true;
}

SocketHandle ListenLoopback(int port, int& boundPort)
{
    CSocket listener(static_cast<SocketHandle>(socket(AF_INET, SOCK_STREAM, 0)));
    if (!listener.IsOpen()) {
        SetSocketError(WSAGetLastError());
        return INVALID_SOCKET_HANDLE;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof sa;
    if (bind(Sock(listener.Get()), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0
        || listen(Sock(listener.Get()), 8) != 0
        || getsockname(Sock(listener.Get()), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        SetSocketError(WSAGetLastError());
        return INVALID_SOCKET_HANDLE;
    }
    boundPort = ntohs(sa.sin_port);
    return listener.Release();
}

SocketHandle AcceptConnection(SocketHandle listener, int timeoutMs)
{
    if (!WaitFor(listener, Wait::READ, timeoutMs))
        return INVALID_SOCKET_HANDLE;
    const SOCKET s = accept(Sock(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        SetSocketError(WSAGetLastError());
        return INVALID_SOCKET_HANDLE;
    }
    return static_cast<SocketHandle>(s);
}

}  // namespace Platform
