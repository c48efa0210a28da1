#include "platform/Sockets.h"

#include "platform/common/SocketState.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

namespace Platform {
namespace {

static_assert(sizeof(sockaddr_storage) <= sizeof(SocketAddress::m_Storage), "address storage too small");

int Fd(SocketHandle s) { return static_cast<int>(s); }

// The receive time-out last set on each socket, so that it is set only when
// it changes. An entry goes when its descriptor is made or closed, so a
// reused number never inherits one.
std::mutex g_TimeoutLock;
std::unordered_map<int, int> g_ReceiveTimeout;

void ForgetTimeout(int fd)
{
    const std::lock_guard<std::mutex> hold(g_TimeoutLock);
    g_ReceiveTimeout.erase(fd);
}

bool SetReceiveTimeout(int fd, int timeoutMs)
{
    const std::lock_guard<std::mutex> hold(g_TimeoutLock);
    const auto known = g_ReceiveTimeout.find(fd);
    if (known != g_ReceiveTimeout.end() && known->second == timeoutMs)
        return true;
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0)
        return false;
    g_ReceiveTimeout[fd] = timeoutMs;
    return true;
}

// Waits until the socket is ready for events; false with the error set on
// time-out or failure. Interrupted waits resume with the time left.
bool WaitFor(SocketHandle s, short events, int timeoutMs)
{
    pollfd p{Fd(s), events, 0};
    for (;;) {
        const int n = poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
        if (n > 0)
            return true;
        if (n == 0) {
            SetSocketError(ETIMEDOUT, true);
            return false;
        }
        if (errno != EINTR) {
            SetSocketError(errno);
            return false;
        }
    }
}

bool IsUnspecified(const sockaddr* sa)
{
    if (sa->sa_family == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr == htonl(INADDR_ANY);
    if (sa->sa_family == AF_INET6)
        return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
    return true;
}

void StoreAddress(const sockaddr* sa, socklen_t length, int port, SocketAddress& out)
{
    std::memcpy(out.m_Storage, sa, length);
    out.m_Length = length;
    auto* stored = reinterpret_cast<sockaddr*>(out.m_Storage);
    if (stored->sa_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(stored)->sin_port = htons(static_cast<std::uint16_t>(port));
    else
        reinterpret_cast<sockaddr_in6*>(stored)->sin6_port = htons(static_cast<std::uint16_t>(port));
}

// First IPv4 result, else the first IPv6 one.
const addrinfo* PickAddress(const addrinfo* list)
{
    for (const addrinfo* a = list; a; a = a->ai_next)
        if (a->ai_family == AF_INET)
            return a;
    for (const addrinfo* a = list; a; a = a->ai_next)
        if (a->ai_family == AF_INET6)
            return a;
    return nullptr;
}

}  // namespace

bool StartSockets() { return true; }
void StopSockets() {}

bool ResolveAddress(const char* host, int port, SocketAddress& out)
{
    out = SocketAddress{};
    if (!host || !*host) {
        SetSocketError(EADDRNOTAVAIL);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &list);
    const addrinfo* chosen = rc == 0 ? PickAddress(list) : nullptr;
    // The unspecified address would reach this very host on POSIX; an empty
    // or unknown name must end as a refused connection instead.
    const bool ok = chosen && !IsUnspecified(chosen->ai_addr);
    if (ok)
        StoreAddress(chosen->ai_addr, chosen->ai_addrlen, port, out);
    else
        SetSocketError(EADDRNOTAVAIL);
    if (list)
        freeaddrinfo(list);
    return ok;
}

SocketHandle OpenStreamSocket(const SocketAddress& forAddress)
{
    const auto* sa = reinterpret_cast<const sockaddr*>(forAddress.m_Storage);
    const int family = forAddress.m_Length ? sa->sa_family : AF_INET;
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetSocketError(errno);
        return INVALID_SOCKET_HANDLE;
    }
    ForgetTimeout(fd);
    // A command line goes out in small pieces; without this each one after
    // the first waits for the server's delayed acknowledgement.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Non-blocking connect bounded by poll; the socket is blocking again after.
bool ConnectSocket(SocketHandle s, const SocketAddress& to, int timeoutMs)
{
    const int flags = fcntl(Fd(s), F_GETFL);
    fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK);
    const auto* sa = reinterpret_cast<const sockaddr*>(to.m_Storage);
    bool ok = connect(Fd(s), sa, to.m_Length) == 0;
    if (!ok && errno != EINPROGRESS) {
        SetSocketError(errno);
    } else if (!ok && WaitFor(s, POLLOUT, timeoutMs)) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &length);
        ok = error == 0;
        if (!ok)
            SetSocketError(error);
    }
    fcntl(Fd(s), F_SETFL, flags);
    return ok;
}

// A send is tried first and waited for only when it would block: most
// sends find room in the socket buffer. attempt makes one non-blocking try.
template <class Attempt>
long SendTrying(SocketHandle s, int timeoutMs, Attempt attempt)
{
    if (InjectedSocketFault(ECONNRESET))
        return -1;
    for (;;) {
        const ssize_t n = attempt();
        if (n > 0)
            return static_cast<long>(n);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(s, POLLOUT, timeoutMs))
                return -1;
            continue;
        }
        SetSocketError(n == 0 ? EPIPE : errno);
        return -1;
    }
}

long SendSome(SocketHandle s, const char* data, std::size_t size, int timeoutMs)
{
    return SendTrying(s, timeoutMs, [&] { return send(Fd(s), data, size, MSG_NOSIGNAL | MSG_DONTWAIT); });
}

long SendFileSome(SocketHandle s, FILE* file, std::int64_t offset, const char*, std::size_t size, int timeoutMs)
{
    // sendfile has no per-call flag: the socket itself must not block.
    const int flags = fcntl(Fd(s), F_GETFL);
    if (!(flags & O_NONBLOCK))
        fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK);
    off_t at = static_cast<off_t>(offset);
    return SendTrying(s, timeoutMs, [&] { return sendfile(Fd(s), fileno(file), &at, size); });
}

// A reply is seldom there the moment it is asked for, so the receive blocks,
// bounded by the socket's own time-out: one call where a wait and a receive
// would be two. A socket left non-blocking by SendFileSome waits by poll.
long ReceiveSome(SocketHandle s, char* buffer, std::size_t size, int timeoutMs)
{
    if (InjectedSocketFault(ECONNRESET))
        return -1;
    const bool blocking = timeoutMs > 0 && SetReceiveTimeout(Fd(s), timeoutMs);
    for (bool waited = false;;) {
        const ssize_t n = recv(Fd(s), buffer, size, blocking && !waited ? 0 : MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            SetSocketError(errno);
            return -1;
        }
        if (blocking && !waited && !(fcntl(Fd(s), F_GETFL) & O_NONBLOCK)) {
            SetSocketError(ETIMEDOUT, true);
            return -1;
        }
        if (!WaitFor(s, POLLIN, timeoutMs))
            return -1;
        waited = true;
    }
}

bool DataWaiting(SocketHandle s)
{
    char c;
    return recv(Fd(s), &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

void CloseSocket(SocketHandle s)
{
    if (s != INVALID_SOCKET_HANDLE) {
        ForgetTimeout(Fd(s));
        close(Fd(s));
    }
}

bool LocalHostName(char* buffer, std::size_t size)
{
    if (size == 0 || gethostname(buffer, size) != 0) {
        SetSocketError(errno);
        return false;
    }
    buffer[size - 1] = '\0';
    return true;
}

bool LocalAddressText(SocketHandle s, std::string& text, bool& ipv6)
{
    sockaddr_storage sa{};
    socklen_t length = sizeof sa;
    char buffer[INET6_ADDRSTRLEN];
    if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        SetSocketError(errno);
        return false;
    }
    ipv6 = sa.ss_family == AF_INET6;
    const void* address = ipv6 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&sa)->sin6_addr)
                               : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&sa)->sin_addr);
    if (!inet_ntop(sa.ss_family, address, buffer, sizeof buffer)) {
        SetSocketError(errno);
        return false;
    }
    text = buffer;
    return true;
}

SocketHandle ListenLoopback(int port, int& boundPort)
{
    CSocket listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.IsOpen()) {
        SetSocketError(errno);
        return INVALID_SOCKET_HANDLE;
    }
    const int one = 1;
    setsockopt(Fd(listener.Get()), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    if (bind(Fd(listener.Get()), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0
        || listen(Fd(listener.Get()), 8) != 0
        || getsockname(Fd(listener.Get()), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        SetSocketError(errno);
        return INVALID_SOCKET_HANDLE;
    }
    boundPort = ntohs(sa.sin_port);
    return listener.Release();
}

SocketHandle AcceptConnection(SocketHandle listener, int timeoutMs)
{
    if (!WaitFor(listener, POLLIN, timeoutMs))
        return INVALID_SOCKET_HANDLE;
    const int fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        SetSocketError(errno);
        return INVALID_SOCKET_HANDLE;
    }
    ForgetTimeout(fd);
    return fd;
}

}  // namespace Platform
