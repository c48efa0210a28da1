#include "platform/Sockets.h"

#include "platform/common/SocketState.h"

namespace Platform {
namespace {

thread_local int t_LastError = 0;
thread_local bool t_TimedOut = false;
thread_local int t_FaultAt = 0;
thread_local int t_CallCount = 0;

}  // namespace

void SetSocketError(int error, bool timedOut)
{
    t_LastError = error;
    t_TimedOut = timedOut;
}

bool InjectedSocketFault(int resetError)
{
    ++t_CallCount;
    if (t_FaultAt > 0 && t_CallCount == t_FaultAt) {
        SetSocketError(resetError);
        return true;
    }
    return false;
}

int LastSocketError() { return t_LastError; }
bool LastSocketTimedOut() { return t_TimedOut; }

void SetSocketFault(int nth)
{
    t_FaultAt = nth;
    t_CallCount = 0;
}

int SocketCallCount() { return t_CallCount; }

CSocket& CSocket::operator=(CSocket&& other) noexcept
{
    if (this != &other)
        Reset(other.Release());
    return *this;
}

SocketHandle CSocket::Release()
{
    const SocketHandle s = m_Handle;
    m_Handle = INVALID_SOCKET_HANDLE;
    return s;
}

void CSocket::Reset(SocketHandle s)
{
    if (m_Handle != INVALID_SOCKET_HANDLE)
        CloseSocket(m_Handle);
    m_Handle = s;
}

}  // namespace Platform
