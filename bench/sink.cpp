// Benchmark peer: a discarding SMTP sink (plain or implicit TLS, PIPELINING
// offered or not) and the raw clients that set the floor to compare with.
//   sink serve PORT-FILE [--pipelining] [--tls CERT KEY]   one session each, until killed
//   sink send PORT MESSAGE-FILE         the pre-encoded message by sendfile
//   sink receivers PORT N pipelined|lockstep
#include <arpa/inet.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Sockets.h"
#include "platform/Tls.h"

namespace {

constexpr int WAIT_MS = 30000;
constexpr std::size_t BLOCK = 256 * 1024;

class CPeer {
public:
    explicit CPeer(Platform::SocketHandle s) : m_Socket(s) {}
    bool StartTls(const char* cert, const char* key)
    {
        std::string reason;
        m_Tls = std::make_unique<Platform::CTlsSession>();
        return m_Tls->Accept(m_Socket.Get(), cert, key, WAIT_MS, reason);
    }
    long Receive(char* buffer, std::size_t size)
    {
        return m_Tls ? m_Tls->Receive(buffer, size, WAIT_MS) : Platform::ReceiveSome(m_Socket.Get(), buffer, size, WAIT_MS);
    }
    bool Send(const std::string& text)
    {
        for (std::size_t sent = 0; sent < text.size();) {
            const long n = m_Tls ? m_Tls->Send(text.data() + sent, text.size() - sent, WAIT_MS)
                                 : Platform::SendSome(m_Socket.Get(), text.data() + sent, text.size() - sent, WAIT_MS);
            if (n < 1)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    Platform::CSocket m_Socket;
    std::unique_ptr<Platform::CTlsSession> m_Tls;
};

// Replies to every complete command line in the buffer with one send, so a
// pipelined group is answered as a group; the message is skipped unread.
void Serve(CPeer& peer, bool pipelining)
{
    std::unique_ptr<char[]> block(new char[BLOCK]);
    std::string pending;
    bool inData = false;
    std::string tail;  // the last bytes of the data seen, to find its end across blocks
    if (!peer.Send("220 sink ready\r\n"))
        return;
    for (;;) {
        const long n = peer.Receive(block.get(), BLOCK);
        if (n < 1)
            return;
        std::string replies;
        std::size_t at = 0;
        const std::size_t size = static_cast<std::size_t>(n);
        while (at < size) {
            if (inData) {
                // The end of data may straddle two receives: look at the seam, then inside.
                const char* p = block.get() + at;
                const std::size_t len = size - at;
                const std::string seam = tail + std::string(p, std::min<std::size_t>(len, 4));
                const std::size_t e = seam.find("\r\n.\r\n");
                const void* m = e == std::string::npos ? memmem(p, len, "\r\n.\r\n", 5) : nullptr;
                if (e == std::string::npos && !m) {
                    const std::string seen = tail + std::string(p + (len > 4 ? len - 4 : 0), std::min<std::size_t>(len, 4));
                    tail = seen.substr(seen.size() > 4 ? seen.size() - 4 : 0);
                    at = size;
                    continue;
                }
                at += e != std::string::npos ? e + 5 - tail.size() : static_cast<std::size_t>(static_cast<const char*>(m) - p) + 5;
                inData = false;
                replies += "250 queued\r\n";
                continue;
            }
            const char* lf = static_cast<const char*>(std::memchr(block.get() + at, '\n', size - at));
            if (!lf) {
                pending.append(block.get() + at, size - at);
                break;
            }
            pending.append(block.get() + at, lf + 1 - (block.get() + at));
            at = static_cast<std::size_t>(lf + 1 - block.get());
            const std::string verb = pending.substr(0, 4);
            if (verb == "EHLO")
                replies += pipelining ? "250-sink\r\n250-PIPELINING\r\n250 8BITMIME\r\n" : "250-sink\r\n250 8BITMIME\r\n";
            else if (verb == "DATA") {
                replies += "354 go\r\n";
                inData = true;
                tail = "\r\n";
            } else if (verb == "QUIT") {
                peer.Send(replies + "221 bye\r\n");
                return;
            } else
                replies += "250 ok\r\n";
            pending.clear();
        }
        if (!replies.empty() && !peer.Send(replies))
            return;
    }
}

int Connect(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

void Put(int fd, const std::string& text)
{
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = write(fd, text.data() + sent, text.size() - sent);
        if (n < 1)
            std::exit(1);
        sent += static_cast<std::size_t>(n);
    }
}

// Reads replies until count of them have ended (final lines).
void Await(int fd, int count)
{
    char buffer[65536];
    int seen = 0;
    bool lineStart = true;
    int column = 0;
    bool final = false;
    while (seen < count) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 1)
            std::exit(1);
        for (ssize_t i = 0; i < n; ++i) {
            if (lineStart)
                column = 0;
            if (++column == 4)
                final = buffer[i] != '-';
            lineStart = buffer[i] == '\n';
            if (lineStart && final) {
                ++seen;
                final = false;
            }
        }
    }
}

int RawSend(int port, const char* file)
{
    const int fd = Connect(port);
    Await(fd, 1);
    Put(fd, "EHLO raw.example\r\n");
    Await(fd, 1);
    Put(fd, "MAIL FROM:<me@example.com>\r\nRCPT TO:<to@example.com>\r\nDATA\r\n");
    Await(fd, 3);
    const int in = open(file, O_RDONLY);
    struct stat st {};
    fstat(in, &st);
    off_t offset = 0;
    while (offset < st.st_size)
        if (sendfile(fd, in, &offset, static_cast<std::size_t>(st.st_size - offset)) < 1)
            return 1;
    Put(fd, "\r\n.\r\nQUIT\r\n");
    Await(fd, 2);
    return 0;
}

int RawReceivers(int port, int count, bool pipelined)
{
    const int fd = Connect(port);
    Await(fd, 1);
    Put(fd, "EHLO raw.example\r\n");
    Await(fd, 1);
    std::string group;
    for (int i = -1; i < count; ++i) {
        group += i < 0 ? std::string("MAIL FROM:<me@example.com>\r\n") : "RCPT TO:<r" + std::to_string(i) + "@example.com>\r\n";
        if (!pipelined || i % 100 == 98 || i == count - 1) {
            Put(fd, group);
            Await(fd, pipelined ? static_cast<int>(std::count(group.begin(), group.end(), '\n')) : 1);
            group.clear();
        }
    }
    Put(fd, "DATA\r\n");
    Await(fd, 1);
    // The same receivers in the To header, as a composed message has them.
    std::string message = "Subject: x\r\nTo: ";
    for (int i = 0; i < count; ++i)
        message += (i ? ",\r\n r" : "r") + std::to_string(i) + "@example.com";
    Put(fd, message + "\r\n\r\nx\r\n.\r\nQUIT\r\n");
    Await(fd, 2);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "send" && argc == 4)
        return RawSend(std::atoi(argv[2]), argv[3]);
    if (mode == "receivers" && argc == 5)
        return RawReceivers(std::atoi(argv[2]), std::atoi(argv[3]), std::string(argv[4]) == "pipelined");
    if (mode != "serve" || argc < 3) {
        std::fputs("usage: sink serve PORT-FILE [--pipelining] [--tls CERT KEY] | send PORT FILE | "
                   "receivers PORT N pipelined|lockstep\n", stderr);
        return 2;
    }
    bool pipelining = false;
    const char* cert = nullptr;
    const char* key = nullptr;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pipelining") == 0)
            pipelining = true;
        else if (std::strcmp(argv[i], "--tls") == 0 && i + 2 < argc) {
            cert = argv[++i];
            key = argv[++i];
        }
    }
    int port = 0;
    Platform::CSocket listener(Platform::ListenLoopback(0, port));
    if (!listener.IsOpen())
        return 3;
    FILE* f = std::fopen(argv[2], "w");
    if (!f)
        return 3;
    std::fprintf(f, "%d\n", port);
    std::fclose(f);
    for (;;) {
        const Platform::SocketHandle s = Platform::AcceptConnection(listener.Get(), 600000);
        if (s == Platform::INVALID_SOCKET_HANDLE)
            return 0;
        CPeer peer(s);
        if (!cert || peer.StartTls(cert, key))
            Serve(peer, pipelining);
    }
}
