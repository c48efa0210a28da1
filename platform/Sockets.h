// TCP stream sockets: the client calls of the server dialogue, bounded by
// time-outs, and the loopback listener the test servers use.
//
// Every call that can fail leaves its error number for LastSocketError() and
// says through LastSocketTimedOut() whether the failure was a time-out. Both
// are kept per thread, so a test server running beside the client does not
// disturb them. A time-out of 0 or less means "do not wait at all".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace Platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle INVALID_SOCKET_HANDLE = -1;

// An IPv4 or IPv6 address with its port; opaque outside the platform layer.
struct SocketAddress {
    alignas(8) unsigned char m_Storage[128] = {};
    unsigned m_Length = 0;
};

// Socket library start-up and clean-up (no-ops where there is nothing to do).
bool StartSockets();
void StopSockets();

// Resolves dotted IPv4 text, an IPv6 literal without brackets, or a host
// name (IPv4 addresses preferred). False for an empty or unknown name and for
// the unspecified address (0.0.0.0 or ::), which must never be reached.
bool ResolveAddress(const char* host, int port, SocketAddress& out);

// A stream socket of the address's family; INVALID_SOCKET_HANDLE on failure.
SocketHandle OpenStreamSocket(const SocketAddress& forAddress);
bool ConnectSocket(SocketHandle s, const SocketAddress& to, int timeoutMs);
// Sends some of the bytes: the count sent (at least 1), or -1 on failure or
// time-out. A peer that has gone away is a failure, never a signal.
long SendSome(SocketHandle s, const char* data, std::size_t size, int timeoutMs);
// As SendSome, for the size bytes of file at offset (from the file's start),
// which the caller has read into data too: they go out straight from the
// file where the platform can, else from data. The file's position is kept.
long SendFileSome(SocketHandle s, FILE* file, std::int64_t offset, const char* data, std::size_t size,
                  int timeoutMs);
// Receives some bytes: the count (at least 1), 0 when the peer has closed,
// -1 on failure or time-out.
long ReceiveSome(SocketHandle s, char* buffer, std::size_t size, int timeoutMs);
void CloseSocket(SocketHandle s);
// True when bytes from the peer are there to be read now (never waits; the
// peer having closed does not count).
bool DataWaiting(SocketHandle s);

int LastSocketError();
bool LastSocketTimedOut();

// The local host name, terminated within size bytes; false on failure.
bool LocalHostName(char* buffer, std::size_t size);
// The numeric address of the connection's local end ("127.0.0.1", "::1");
// ipv6 tells which family. False on failure.
bool LocalAddressText(SocketHandle s, std::string& text, bool& ipv6);

// Listens on 127.0.0.1 (port 0: an ephemeral one); the port bound is stored
// in boundPort. INVALID_SOCKET_HANDLE on failure.
SocketHandle ListenLoopback(int port, int& boundPort);
// Waits for one connection; INVALID_SOCKET_HANDLE on time-out or failure.
SocketHandle AcceptConnection(SocketHandle listener, int timeoutMs);

// Owns one socket handle and closes it when it goes out of scope.
class CSocket {
public:
    CSocket() = default;
    explicit CSocket(SocketHandle s) : m_Handle(s) {}
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    CSocket(CSocket&& other) noexcept : m_Handle(other.Release()) {}
    CSocket& operator=(CSocket&& other) noexcept;
    ~CSocket() { Close(); }

    SocketHandle Get() const { return m_Handle; }
    bool IsOpen() const { return m_Handle != INVALID_SOCKET_HANDLE; }
    SocketHandle Release();
    void Reset(SocketHandle s = INVALID_SOCKET_HANDLE);
    void Close() { Reset(); }

private:
    SocketHandle m_Handle = INVALID_SOCKET_HANDLE;
};

// Test seam for failure sweeps: counting from this call, on the calling
// thread only, SendSome and ReceiveSome calls are numbered from 1 and the
// one numbered nth fails (as a broken connection). 0 turns the seam off.
void SetSocketFault(int nth);
// How many SendSome and ReceiveSome calls the calling thread has made since
// the last SetSocketFault.
int SocketCallCount();

}  // namespace Platform
