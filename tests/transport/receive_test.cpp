// Receiving on the platform's sockets: every wait ends at its time-out,
// whatever the socket went through before (a file send that left it
// non-blocking, a closed socket whose number comes back).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "platform/Sockets.h"

namespace {

struct CPair {
    Platform::CSocket m_Listener, m_Client, m_Server;
};

void Connect(CPair& pair)
{
    int port = 0;
    pair.m_Listener.Reset(Platform::ListenLoopback(0, port));
    Platform::SocketAddress address;
    ASSERT_TRUE(Platform::ResolveAddress("127.0.0.1", port, address));
    pair.m_Client.Reset(Platform::OpenStreamSocket(address));
    ASSERT_TRUE(Platform::ConnectSocket(pair.m_Client.Get(), address, 5000));
    pair.m_Server.Reset(Platform::AcceptConnection(pair.m_Listener.Get(), 5000));
    ASSERT_TRUE(pair.m_Server.IsOpen());
}

void ExpectTimeOut(const CPair& pair, int timeoutMs)
{
    char c;
    EXPECT_EQ(Platform::ReceiveSome(pair.m_Client.Get(), &c, 1, timeoutMs), -1) << timeoutMs;
    EXPECT_TRUE(Platform::LastSocketTimedOut()) << timeoutMs;
}

TEST(Receive, EveryWaitEndsAtItsTimeOut)
{
    char got[4] = {};
    for (int round = 0; round < 2; ++round) {
        // The second round's client most likely gets the first one's number.
        CPair pair;
        Connect(pair);
        ExpectTimeOut(pair, 50);
        ExpectTimeOut(pair, 0);
        ASSERT_EQ(Platform::SendSome(pair.m_Server.Get(), "a", 1, 5000), 1);
        EXPECT_EQ(Platform::ReceiveSome(pair.m_Client.Get(), got, sizeof got, 5000), 1);

        const std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), std::fclose);
        ASSERT_TRUE(file && std::fputs("xyz", file.get()) >= 0 && std::fflush(file.get()) == 0);
        ASSERT_EQ(Platform::SendFileSome(pair.m_Client.Get(), file.get(), 0, "xyz", 3, 5000), 3);
        EXPECT_EQ(Platform::ReceiveSome(pair.m_Server.Get(), got, sizeof got, 5000), 3);
        ExpectTimeOut(pair, 50);
        ASSERT_EQ(Platform::SendSome(pair.m_Server.Get(), "b", 1, 5000), 1);
        EXPECT_EQ(Platform::ReceiveSome(pair.m_Client.Get(), got, sizeof got, 5000), 1);
        EXPECT_EQ(got[0], 'b');
        pair.m_Server.Close();
        // The time-out the next round starts with: a number coming back must
        // not come with the belief that it is already set.
        EXPECT_EQ(Platform::ReceiveSome(pair.m_Client.Get(), got, sizeof got, 50), 0);
    }
}

}  // namespace
