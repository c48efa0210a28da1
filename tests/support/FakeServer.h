// Fake SMTP/NNTP servers for tests: a scripted one and a generic sink.
//
// Both listen on 127.0.0.1 (an ephemeral port unless one is asked for), serve
// their sessions one after the other on a thread of their own, record every
// byte the clients sent, and end by themselves when a wait exceeds the idle
// time-out, so no test can hang on them.
//
// Script format (one step per line; blank lines and lines starting with "#"
// are ignored; texts take the escapes \r \n \t \\ and \xHH):
//   send TEXT           one send of TEXT followed by CR LF
//   send-raw TEXT       one send of TEXT as it stands (split a reply with
//                       several of these, e.g. "send-raw 25", "send-raw 0 ok\r\n")
//   expect TEXT         read one client line (ending in CR LF) and require it
//                       to equal TEXT (the CR LF not included)
//   expect-prefix TEXT  as expect, but the line need only begin with TEXT
//   data                read the DATA/POST payload up to the line "." before
//                       going on; a client that waits for a reply before
//                       sending the end-of-data line is caught by this;
//                       a client that closes inside it is noted as a problem
//   pause MS            wait MS milliseconds before the next step
//   drip MS TEXT        send TEXT one byte at a time, MS milliseconds apart
//   close               close the connection at once
//   hang                never answer: record until the client closes
//   starttls            TLS handshake as the server, with the options'
//                       certificate; what follows runs inside TLS
//   session             the steps after it serve the next connection; the
//                       last group serves every later one
// When the steps are done the server still records until the client closes.
// A mismatch is noted in Problems() and ends the session (the connection is
// closed), so the client sees a vanished server.
//
// Sink mode answers any well-formed dialogue positively. SMTP: greeting 220;
// HELO/EHLO, MAIL, RCPT, RSET, NOOP 250; DATA 354, then 250 after the payload;
// QUIT 221. NNTP: greeting 200; AUTHINFO USER 381, AUTHINFO PASS 281; GROUP
// 211; MODE READER 200; POST 340, then 240 after the payload; QUIT 205.
// Anything else gets 500. A refusal replaces the reply to every command line
// that begins with its prefix (compared without regard to case; the reply
// defaults to "550 refused"); the prefixes
// "greeting" and "message" stand for the greeting and the reply after the
// payload. Each accepted message is stored as DIR/message-N.eml (dot-stuffing
// removed, N counting from 1) with the session's command lines up to the
// payload in DIR/message-N.envelope.
//
// Command line (tests/tools/fakeserver.cpp, built as <build>/tests/fakeserver):
//   fakeserver --script FILE [common options]
//   fakeserver --sink smtp|nntp [--store DIR] [--refuse PREFIX[=REPLY]]... [common]
// common options:
//   --record FILE     all bytes the clients sent, rewritten after each session
//   --port-file FILE  the port number and a line end, written once listening
//   --port N          listen on port N instead of an ephemeral one
//   --sessions N      serve N connections, then exit (script default 1; sink
//                     default: until no client arrives within the idle time)
//   --idle SECONDS    idle time-out for every wait (default 10)
// It prints the port on standard output as well. Exit status: 0 success; 1 a
// script expectation failed, a message could not be stored, or fewer clients
// came than --sessions asked for; 2 bad usage or unreadable script; 3 cannot
// listen.
//
// Example (a shell test):
//   fakeserver --sink smtp --store out --sessions 1 --port-file port &
//   (wait for the file "port") sendvale -x127.0.0.1:$(cat port) ... ; wait
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Sockets.h"
#include "platform/Tls.h"

namespace FakeServer {

enum class StepKind { SEND, SEND_RAW, EXPECT, EXPECT_PREFIX, DATA, PAUSE, CLOSE, HANG, STARTTLS, DRIP, SESSION };

struct CStep {
    StepKind m_Kind = StepKind::SEND;
    std::string m_Text;  // escapes already decoded
    int m_Milliseconds = 0;
};

// Parses a script; false with a one-line reason (naming the line) on error.
bool ParseScript(const std::string& text, std::vector<CStep>& steps, std::string& error);
// Decodes \r \n \t \\ \xHH; false for an unknown or cut escape.
bool DecodeEscapes(const std::string& text, std::string& out);

struct CServerOptions {
    int m_Port = 0;
    int m_Sessions = 1;          // 0: until no client arrives within the idle time
    int m_IdleMs = 10000;
    // TLS: the certificate and key (PEM) for "starttls" and implicit TLS.
    std::string m_TlsCertFile;
    std::string m_TlsKeyFile;
    bool m_ImplicitTls = false;  // handshake as soon as a client connects
};

// One accepted connection: buffered line and payload reads, recording.
class CConnection;

// Common base: listener, thread, the record of client bytes, problems.
class CServerBase {
public:
    CServerBase(const CServerBase&) = delete;
    CServerBase& operator=(const CServerBase&) = delete;
    virtual ~CServerBase();

    // Listens and starts serving on a thread; false when it cannot listen.
    bool Start();
    int Port() const { return m_Port; }
    // Waits until every session is over (or the idle time-out ended them).
    void Wait();

    std::string Received() const;           // every byte the clients sent
    std::vector<std::string> Problems() const;
    int SessionsServed() const;
    // Called on the server thread after each session (set before Start).
    void SetSessionHook(std::function<void()> hook);

protected:
    explicit CServerBase(const CServerOptions& options) : m_Options(options) {}
    virtual void Serve(CConnection& connection) = 0;
    void AddProblem(const std::string& text);
    const CServerOptions m_Options;

private:
    friend class CConnection;
    void Run();
    void Record(const char* data, std::size_t size);

    Platform::CSocket m_Listener;
    int m_Port = 0;
    std::thread m_Thread;
    std::function<void()> m_SessionHook;
    mutable std::mutex m_Mutex;
    std::string m_Received;
    std::vector<std::string> m_Problems;
    int m_Served = 0;
};

class CScriptServer : public CServerBase {
public:
    CScriptServer(std::vector<CStep> steps, const CServerOptions& options = {});
    ~CScriptServer() override;

private:
    void Serve(CConnection& connection) override;
    bool RunStep(CConnection& connection, const CStep& step, std::size_t number);
    bool ExpectLine(CConnection& connection, const CStep& step, const std::string& where);
    std::vector<CStep> m_Steps;
};

enum class SinkProtocol { SMTP, NNTP };

class CSinkServer : public CServerBase {
public:
    // refusals: pairs of a command prefix and the reply that replaces the
    // positive one (an empty reply means "550 refused").
    CSinkServer(SinkProtocol protocol, std::string storeDir,
                std::vector<std::pair<std::string, std::string>> refusals,
                const CServerOptions& options = {});
    ~CSinkServer() override;

    int MessagesStored() const;  // read after Wait()

private:
    void Serve(CConnection& connection) override;
    std::string Answer(const std::string& prefix, const std::string& positive) const;
    std::string PositiveReply(const std::string& line, bool& payload, bool& quit) const;
    void StoreMessage(const std::string& payload, const std::string& envelope);

    SinkProtocol m_Protocol;
    std::string m_StoreDir;
    std::vector<std::pair<std::string, std::string>> m_Refusals;
    int m_Stored = 0;
};

// Removes one leading dot from every line that starts with one.
std::string UnstuffDots(const std::string& payload);

}  // namespace FakeServer
