// Every receive ends at its time-out, whatever the socket went through: a
// file send that left it non-blocking, or a closed socket's number come back.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "platform/Sockets.h"

namespace {

using namespace Platform;

TEST(Receive, EveryWaitEndsAtItsTimeOut)
{
    char got[4] = {};
    const auto timesOut = [&](const CSocket& s, int ms) {
        return ReceiveSome(s.Get(), got, sizeof got, ms) == -1 && LastSocketTimedOut();
    };
    for (int round = 0; round < 2; ++round) {  // round 2's client most likely reuses round 1's number
        int port = 0;
        CSocket listener(ListenLoopback(0, port));
        SocketAddress address;
        ASSERT_TRUE(ResolveAddress("127.0.0.1", port, address));
        CSocket client(OpenStreamSocket(address));
        ASSERT_TRUE(ConnectSocket(client.Get(), address, 5000));
        CSocket server(AcceptConnection(listener.Get(), 5000));
        EXPECT_TRUE(timesOut(client, 50));
        EXPECT_TRUE(timesOut(client, 0));

        const std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), std::fclose);
        ASSERT_TRUE(file && std::fputs("xyz", file.get()) >= 0 && std::fflush(file.get()) == 0);
        ASSERT_EQ(SendFileSome(client.Get(), file.get(), 0, "xyz", 3, 5000), 3);
        EXPECT_EQ(ReceiveSome(server.Get(), got, sizeof got, 5000), 3);
        EXPECT_TRUE(timesOut(client, 50));
        ASSERT_EQ(SendSome(server.Get(), "b", 1, 5000), 1);
        EXPECT_EQ(ReceiveSome(client.Get(), got, sizeof got, 5000), 1);
        server.Close();
        // Ends with the time-out the next round starts with, which a reused
        // number must not be taken to have already.
        EXPECT_EQ(ReceiveSome(client.Get(), got, sizeof got, 50), 0);
    }
}

}  // namespace
