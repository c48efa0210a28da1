// Checks of the Win32 platform services, run under Wine by tests/wine/run.sh.
// Debian has no MinGW build of GoogleTest, so this is a plain program: each
// failed check prints one line, and the exit status is the number of failures.
#include <winsock2.h>
// windows.h maps these names onto its own A/W pairs.
#undef GetProfileString
#undef WriteProfileString
#undef OemToAnsi

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Command.h"
#include "platform/Console.h"
#include "platform/ContentTypes.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Random.h"
#include "platform/Sockets.h"
#include "platform/Tls.h"

namespace {

int g_Failures = 0;

void Check(bool ok, const char* what, const std::string& detail, int line)
{
    if (ok)
        return;
    ++g_Failures;
    std::printf("FAIL line %d: %s %s\n", line, what, detail.c_str());
}
#define CHECK(expr) Check((expr), #expr, "", __LINE__)
#define CHECK_TEXT(actual, expected) \
    Check(std::string(actual) == (expected), #actual, "gave [" + std::string(actual) + "]", __LINE__)

std::string ReadAllLines(FILE* f, std::size_t size)
{
    std::string out;
    std::vector<char> buffer(size);
    for (int i = 0; i < 6; ++i) {
        const char* line = Platform::ReadConsoleLine(buffer.data(), size, f);
        out += line ? "[" + std::string(line) + "]" : "<end>";
    }
    return out;
}

// Writes bytes to name, then reads them back as console text through mode;
// "<end>" marks each null return.
std::string ConsoleRead(const char* name, const std::string& bytes, const char* mode, std::size_t size)
{
    FILE* w = std::fopen(name, "wb");
    if (!w)
        return "cannot write";
    std::fwrite(bytes.data(), 1, bytes.size(), w);
    std::fclose(w);
    FILE* r = std::fopen(name, mode);
    if (!r)
        return "cannot read";
    const std::string lines = ReadAllLines(r, size);
    std::fclose(r);
    Platform::RemoveFile(name);
    return lines;
}

void CheckConsole()
{
    struct Row {
        const char* bytes;
        std::size_t length;
        const char* mode;
        std::size_t size;
        const char* expected;
    };
    const Row rows[] = {
        // 1: CR LF arrives as LF, a lone CR stays, Ctrl-Z ends input for good
        {"ab\r\ncd\re\r\n\x1axyz\r\n", 17, "rb", 128, "[ab\n][cd\re\n]<end><end><end><end>"},
        // 2: the same bytes through the C library's text mode
        {"ab\r\ncd\re\r\n\x1axyz\r\n", 17, "r", 128, "[ab\n][cd\re\n]<end><end><end><end>"},
        // 3: a line longer than the buffer comes in pieces
        {"abcdef\r\n", 8, "rb", 4, "[abc][def][\n]<end><end><end>"},
        // 4: Ctrl-Z inside a line ends it there, without a line end
        {"ab\x1a\r\ncd\r\n", 8, "rb", 128, "[ab]<end><end><end><end><end>"},
        // 5: a CR LF split across the buffer limit still becomes one LF
        {"abc\r\nd", 6, "rb", 5, "[abc\n][d]<end><end><end><end>"},
    };
    int number = 0;
    for (const Row& row : rows) {
        ++number;
        const std::string got = ConsoleRead("console.tmp", std::string(row.bytes, row.length), row.mode, row.size);
        Check(got == row.expected, "console row", std::to_string(number) + " gave " + got, __LINE__);
    }
    CHECK_TEXT(Platform::END_OF_INPUT_KEY, "^Z");
}

void CheckProgramName()
{
    CHECK_TEXT(Platform::ProgramBaseName("C:\\Tools\\Sendvale.exe", "x"), "Sendvale.exe");
    CHECK_TEXT(Platform::ProgramBaseName("Sendvale", "x"), "Sendvale");
    // Only the backslash separates on Windows.
    CHECK_TEXT(Platform::ProgramBaseName("bin/Sendvale.exe", "x"), "bin/Sendvale.exe");
    CHECK_TEXT(Platform::ProgramBaseName("C:\\dir\\", "x"), "");
    CHECK_TEXT(Platform::ProgramBaseName(nullptr, "fallback"), "fallback");
}

void CheckFiles()
{
    const char* name = "exclusive.tmp";
    Platform::RemoveFile(name);
    FILE* f = Platform::CreateExclusive(name);
    CHECK(f != nullptr);
    if (f) {
        CHECK(std::fwrite("a\nb", 1, 3, f) == 3);
        std::rewind(f);
        char back[8] = {};
        CHECK(std::fread(back, 1, sizeof back, f) == 3);  // binary: no CR added
        CHECK(std::memcmp(back, "a\nb", 3) == 0);
        std::fclose(f);
    }
    // A second creation under the same name fails and leaves the file alone.
    FILE* again = Platform::CreateExclusive(name);
    CHECK(again == nullptr);
    if (again)
        std::fclose(again);
    std::uint64_t size = 99;
    CHECK(Platform::FileSize(name, size) && size == 3);
    CHECK(Platform::PathExists(name));
    CHECK(!Platform::IsDirectory(name));
    CHECK(Platform::RemoveFile(name));
    CHECK(!Platform::PathExists(name));
    CHECK(!Platform::FileSize(name, size));
    CHECK(!Platform::RemoveFile(name));
    CHECK(Platform::IsDirectory("."));
    CHECK(Platform::PathExists("."));
    CHECK(!Platform::PathExists("no-such-dir\\file"));
    // Creation inside a missing folder, or under a name no file can have,
    // fails cleanly; such a name does not count as taken.
    CHECK(Platform::CreateExclusive("no-such-dir\\file") == nullptr);
    CHECK(!Platform::PathExists("bad<name>"));
    CHECK(Platform::CreateExclusive("bad<name>") == nullptr);
}

void CheckProfile()
{
    const char* section = "PlatformCheck";
    char out[16];
    CHECK(Platform::GetProfileString(section, "Missing", "dflt", out, sizeof out) == 4);
    CHECK_TEXT(out, "dflt");
    struct Row {
        const char* written;
        const char* read;
    };
    const Row rows[] = {
        {"plain", "plain"},
        {"line end\r\n", "line end"},  // an answer keeps its LF; the value does not
        {"a\nb\rc", "a b c"},          // inner line ends cannot start a new line
        {"", ""},
    };
    for (const Row& row : rows) {
        CHECK(Platform::WriteProfileString(section, "Key", row.written));
        Platform::GetProfileString(section, "Key", "", out, sizeof out);
        CHECK_TEXT(out, row.read);
    }
    // A read keeps at most size-1 characters, like GetProfileStringA.
    CHECK(Platform::WriteProfileString(section, "Long", "0123456789"));
    CHECK(Platform::GetProfileString(section, "Long", "", out, 5) == 4);
    CHECK_TEXT(out, "0123");
    CHECK(Platform::GetProfileString(section, "Long", "", out, 0) == 0);
    CHECK(!Platform::ProfileLocation().empty());
}

void CheckContentTypes()
{
    char out[64] = "untouched";
    CHECK(Platform::ReadRegistryValue(".txt", "Content Type", out, sizeof out));
    CHECK_TEXT(out, "text/plain");
    // Key names compare without regard to case.
    CHECK(Platform::ReadRegistryValue(".JPG", "Content Type", out, sizeof out));
    CHECK_TEXT(out, "image/jpeg");
    // "text/plain" needs 11 bytes with its terminator.
    char exact[11];
    CHECK(Platform::ReadRegistryValue(".txt", "Content Type", exact, sizeof exact));
    char small[10] = "untouched";
    CHECK(!Platform::ReadRegistryValue(".txt", "Content Type", small, sizeof small));
    CHECK_TEXT(small, "untouched");
    std::snprintf(out, sizeof out, "%s", "untouched");
    CHECK(!Platform::ReadRegistryValue(".no-such-extension", "Content Type", out, sizeof out));
    CHECK(!Platform::ReadRegistryValue(".txt", "No Such Value", out, sizeof out));
    CHECK_TEXT(out, "untouched");
}

void CheckCodePage()
{
    // u-umlaut, a-umlaut, o-umlaut and sharp s sit at the same OEM places in
    // code pages 437 and 850.
    const char oem[] = "Gr\x81\x84\x94\xe1 ok";
    char ansi[sizeof oem];
    Platform::OemToAnsi(oem, ansi);
    CHECK_TEXT(ansi, "Gr\xfc\xe4\xf6\xdf ok");
    char inPlace[] = "\x81x";
    Platform::OemToAnsi(inPlace, inPlace);
    CHECK_TEXT(inPlace, "\xfcx");
    CHECK_TEXT(Platform::TextCharset("\xc3\xa4"), "iso-8859-1");
}

// Two fills of 16 bytes from RtlGenRandom never agree.
void CheckRandom()
{
    unsigned char a[16] = {};
    unsigned char b[16] = {};
    CHECK(Platform::RandomBytes(a, sizeof a) && Platform::RandomBytes(b, sizeof b));
    CHECK(std::memcmp(a, b, sizeof a) != 0);
    CHECK(Platform::RandomBytes(a, 0));
}

void CheckResolve()
{
    struct Row {
        const char* host;
        bool ok;
    };
    const Row rows[] = {
        {"", false},        {"0.0.0.0", false},     {"::", false},
        {"127.0.0.1", true}, {"255.255.255.255", true}, {"::1", true},
        {"localhost", true}, {"no-such-host.invalid", false},
    };
    for (const Row& row : rows) {
        Platform::SocketAddress address;
        Check(Platform::ResolveAddress(row.host, 25, address) == row.ok, "resolve", row.host, __LINE__);
    }
}

// A connected client and server socket pair on the loopback interface.
struct CPair {
    Platform::CSocket m_Client;
    Platform::CSocket m_Server;
};

bool Connect(CPair& pair, Platform::CSocket& listener)
{
    int port = 0;
    listener.Reset(Platform::ListenLoopback(0, port));
    Platform::SocketAddress address;
    if (!listener.IsOpen() || !Platform::ResolveAddress("127.0.0.1", port, address))
        return false;
    pair.m_Client.Reset(Platform::OpenStreamSocket(address));
    if (!Platform::ConnectSocket(pair.m_Client.Get(), address, 5000))
        return false;
    pair.m_Server.Reset(Platform::AcceptConnection(listener.Get(), 5000));
    return pair.m_Server.IsOpen();
}

void CheckRefusedConnection()
{
    int port = 0;
    Platform::CSocket listener(Platform::ListenLoopback(0, port));
    listener.Close();
    Platform::SocketAddress address;
    CHECK(Platform::ResolveAddress("127.0.0.1", port, address));
    Platform::CSocket client(Platform::OpenStreamSocket(address));
    CHECK(!Platform::ConnectSocket(client.Get(), address, 5000));
    CHECK(Platform::LastSocketError() == 10061);  // WSAECONNREFUSED
    CHECK(!Platform::LastSocketTimedOut());
}

void CheckTraffic()
{
    Platform::CSocket listener;
    CPair pair;
    CHECK(Connect(pair, listener));
    if (!pair.m_Server.IsOpen())
        return;
    char buffer[16] = {};
    // Nothing to read: the wait ends as a time-out instead of blocking.
    CHECK(Platform::ReceiveSome(pair.m_Client.Get(), buffer, sizeof buffer, 100) == -1);
    CHECK(Platform::LastSocketTimedOut());
    CHECK(Platform::SendSome(pair.m_Client.Get(), "hello", 5, 5000) == 5);
    CHECK(Platform::ReceiveSome(pair.m_Server.Get(), buffer, sizeof buffer, 5000) == 5);
    CHECK(std::memcmp(buffer, "hello", 5) == 0);
    BOOL noDelay = FALSE;
    int length = sizeof noDelay;
    getsockopt(static_cast<SOCKET>(pair.m_Client.Get()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay),
               &length);
    CHECK(noDelay);
    // A peer that never reads: sending must end in a time-out, never block.
    const std::vector<char> chunk(1 << 16, 'x');
    long sent = 0;
    for (int i = 0; i < 4096 && sent >= 0; ++i)
        sent = Platform::SendSome(pair.m_Client.Get(), chunk.data(), chunk.size(), 100);
    CHECK(sent == -1);
    CHECK(Platform::LastSocketTimedOut());
    // An orderly close reads as 0 once the pending bytes are drained.
    pair.m_Client.Close();
    std::vector<char> drain(1 << 16);
    long got = 1;
    for (int i = 0; i < 100000 && got > 0; ++i)
        got = Platform::ReceiveSome(pair.m_Server.Get(), drain.data(), drain.size(), 5000);
    CHECK(got == 0);
}

void CheckFaultSeam()
{
    Platform::CSocket listener;
    CPair pair;
    CHECK(Connect(pair, listener));
    Platform::SetSocketFault(2);
    CHECK(Platform::SendSome(pair.m_Client.Get(), "a", 1, 5000) == 1);
    CHECK(Platform::SendSome(pair.m_Client.Get(), "b", 1, 5000) == -1);
    CHECK(Platform::LastSocketError() == 10054);  // WSAECONNRESET
    CHECK(Platform::SocketCallCount() == 2);
    Platform::SetSocketFault(0);
}

void CheckHostName()
{
    char name[256] = {};
    CHECK(Platform::LocalHostName(name, sizeof name));
    CHECK(name[0] != '\0');
    CHECK(!Platform::LocalHostName(name, 0));
}

void CheckSecretCommand()
{
    struct Row {
        const char* command;
        int timeoutMs;
        const char* line;    // the first line, or nullptr
        const char* reason;  // when there is none
    };
    const Row rows[] = {
        {"echo testpass", 20000, "testpass", ""},
        {"(echo first& echo second)", 20000, "first", ""},
        {"echo gone& exit /b 3", 20000, nullptr, "it failed"},
        {"rem", 20000, nullptr, "it printed nothing"},
        {"echo.", 20000, nullptr, "it printed nothing"},
        {"for /l %i in (1,0,2) do rem", 1500, nullptr, "it did not finish in time"},
    };
    for (const Row& row : rows) {
        std::string line = "untouched";
        std::string reason;
        const bool ok = Platform::RunSecretCommand(row.command, row.timeoutMs, line, reason);
        Check(ok == (row.line != nullptr) && line == (row.line ? row.line : "")
                  && (row.line || reason == row.reason),
              "secret command", std::string(row.command) + " gave [" + line + "] " + reason, __LINE__);
    }
}

// TLS against the suite's echo server, named by SENDVALE_TLS_ECHO_PORT and
// SENDVALE_TLS_CA (its CA File); skipped without them.
bool ConnectEcho(Platform::CSocket& s)
{
    const char* port = std::getenv("SENDVALE_TLS_ECHO_PORT");
    Platform::SocketAddress address;
    if (!port || !Platform::ResolveAddress("127.0.0.1", std::atoi(port), address))
        return false;
    s.Reset(Platform::OpenStreamSocket(address));
    return Platform::ConnectSocket(s.Get(), address, 5000);
}

void CheckTls()
{
    const char* ca = std::getenv("SENDVALE_TLS_CA");
    if (!ca || !std::getenv("SENDVALE_TLS_ECHO_PORT"))
        return;
    CHECK(Platform::TlsAvailable());
    // A fault at every socket call of the handshake fails it cleanly; past
    // its last call the same handshake succeeds.
    for (int nth = 1; nth < 100; ++nth) {
        Platform::CSocket s;
        CHECK(ConnectEcho(s));
        Platform::CTlsSession tls;
        std::string reason, fingerprint;
        Platform::SetSocketFault(nth);
        const Platform::TlsStatus status = tls.Connect(s.Get(), {"localhost", ca, ""}, 5000, reason, fingerprint);
        const int calls = Platform::SocketCallCount();
        Platform::SetSocketFault(0);
        if (status != Platform::TlsStatus::OK) {
            Check(status == Platform::TlsStatus::FAILED && nth <= calls, "fault", std::to_string(nth) + " " + reason,
                  __LINE__);
            continue;
        }
        CHECK(nth > calls && fingerprint.size() == 95);
        // Echoed in small records, read in pieces smaller than one: what a
        // read leaves, of ciphertext and of plain text, comes next.
        std::string sent;
        for (int i = 0; i < 6000; ++i)
            sent += static_cast<char>('a' + i % 23);
        for (std::size_t at = 0; at < sent.size();) {
            const long n = tls.Send(sent.data() + at, sent.size() - at, 5000);
            CHECK(n > 0);
            at += n > 0 ? static_cast<std::size_t>(n) : sent.size();
        }
        std::string back;
        char piece[7];
        for (long n = 1; back.size() < sent.size() && n > 0;) {
            n = tls.Receive(piece, sizeof piece, 5000);
            back.append(piece, n > 0 ? static_cast<std::size_t>(n) : 0);
        }
        CHECK(back == sent);
        tls.Shutdown(5000);
        CHECK(tls.Receive(piece, sizeof piece, 5000) == 0);  // the server's close_notify
        return;
    }
    CHECK(!"the handshake never succeeded");
}

}  // namespace

int main()
{
    CheckConsole();
    CheckProgramName();
    CheckFiles();
    CheckProfile();
    CheckContentTypes();
    CheckCodePage();
    CheckRandom();
    if (!Platform::StartSockets()) {
        std::printf("FAIL: socket start-up\n");
        return 1;
    }
    CheckResolve();
    CheckRefusedConnection();
    CheckTraffic();
    CheckFaultSeam();
    CheckHostName();
    CheckSecretCommand();
    CheckTls();
    Platform::StopSockets();
    std::printf("%d failed checks\n", g_Failures);
    return g_Failures;
}
