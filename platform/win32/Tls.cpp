#include "platform/Tls.h"

#include "platform/common/SocketState.h"

#include <winsock2.h>

namespace Platform {

// No TLS in this build yet: the URL forms that need it end before connecting.
struct CTlsSession::CState {};

namespace {

const char NOT_AVAILABLE[] = "TLS is not available in the Windows build yet";

}  // namespace

bool TlsAvailable() { return false; }

CTlsSession::CTlsSession() = default;
CTlsSession::~CTlsSession() = default;

TlsStatus CTlsSession::Connect(SocketHandle, const TlsClientOptions&, int, std::string& reason,
                               std::string& fingerprint)
{
    reason = NOT_AVAILABLE;
    fingerprint.clear();
    return TlsStatus::FAILED;
}

bool CTlsSession::Accept(SocketHandle, const std::string&, const std::string&, int, std::string& reason)
{
    reason = NOT_AVAILABLE;
    return false;
}

long CTlsSession::Send(const char*, std::size_t, int)
{
    SetSocketError(WSAENOTCONN);
    return -1;
}

long CTlsSession::Receive(char*, std::size_t, int)
{
    SetSocketError(WSAENOTCONN);
    return -1;
}

void CTlsSession::Shutdown(int) {}

}  // namespace Platform
