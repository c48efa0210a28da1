// One connection to the server and the bytes it sent past the last reply.
#pragma once

#include <string>

#include "platform/Sockets.h"

class CServerLink {
public:
    Platform::CSocket m_Socket;
    // Bytes received behind the end of the last reply: the start of the next.
    std::string m_Pending;
};

// Milliseconds for a time-out given in seconds; 0 or less means the default.
int TimeoutMs(int seconds);
int EffectiveTimeoutSeconds(int seconds);
