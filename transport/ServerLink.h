// One connection to the server and the bytes it sent past the last reply.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/Sockets.h"
#include "platform/Tls.h"
#include "transport/Settings.h"

class CServerLink {
public:
    // As Platform::SendSome and ReceiveSome, inside TLS once it is up.
    long SendSome(const char* data, std::size_t size, int timeoutMs);
    long ReceiveSome(char* buffer, std::size_t size, int timeoutMs);

    Platform::CSocket m_Socket;
    std::unique_ptr<Platform::CTlsSession> m_Tls;  // set once TLS is up
    // What the last handshake showed, kept when its certificate was refused.
    Platform::TlsSessionInfo m_TlsInfo;
    // Bytes received behind the end of the last reply: the start of the next.
    std::string m_Pending;
};

// Milliseconds for a time-out given in seconds; 0 or less means the default.
// Without an argument: the general time-out of the settings.
int TimeoutMs(int seconds = g_TransportSettings.m_TimeoutSeconds);
int EffectiveTimeoutSeconds(int seconds);
