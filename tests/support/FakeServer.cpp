#include "tests/support/FakeServer.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

namespace FakeServer {

// ---------------------------------------------------------------- script

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

struct CKeyword {
    const char* m_Name;
    StepKind m_Kind;
    bool m_TakesText;
};

const CKeyword KEYWORDS[] = {
    {"send", StepKind::SEND, true},          {"send-raw", StepKind::SEND_RAW, true},
    {"expect", StepKind::EXPECT, true},      {"expect-prefix", StepKind::EXPECT_PREFIX, true},
    {"data", StepKind::DATA, false},         {"pause", StepKind::PAUSE, true},
    {"close", StepKind::CLOSE, false},       {"hang", StepKind::HANG, false},
    {"starttls", StepKind::STARTTLS, false}, {"drip", StepKind::DRIP, true},
    {"session", StepKind::SESSION, false},
};

bool ParseStep(const std::string& line, CStep& step, std::string& why)
{
    const std::size_t blank = line.find(' ');
    const std::string word = line.substr(0, blank);
    const std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
    for (const CKeyword& k : KEYWORDS) {
        if (word != k.m_Name)
            continue;
        step.m_Kind = k.m_Kind;
        if (k.m_Kind == StepKind::PAUSE || k.m_Kind == StepKind::DRIP) {
            char* end = nullptr;
            const long ms = std::strtol(rest.c_str(), &end, 10);
            const bool drip = k.m_Kind == StepKind::DRIP;
            if (rest.empty() || (drip ? *end != ' ' : *end != '\0') || ms < 0 || ms > 600000) {
                why = std::string(k.m_Name) + " needs milliseconds";
                return false;
            }
            step.m_Milliseconds = static_cast<int>(ms);
            if (drip && !DecodeEscapes(end + 1, step.m_Text)) {
                why = "bad escape";
                return false;
            }
            return true;
        }
        if (!k.m_TakesText)
            return true;
        if (!DecodeEscapes(rest, step.m_Text)) {
            why = "bad escape";
            return false;
        }
        return true;
    }
    why = "unknown step '" + word + "'";
    return false;
}

}  // namespace

bool DecodeEscapes(const std::string& text, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        case 'x': {
            const int hi = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
            const int lo = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

bool ParseScript(const std::string& text, std::vector<CStep>& steps, std::string& error)
{
    steps.clear();
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        CStep step;
        std::string why;
        if (!ParseStep(line, step, why)) {
            error = "script line " + std::to_string(number) + ": " + why;
            return false;
        }
        steps.push_back(step);
    }
    return true;
}

std::string UnstuffDots(const std::string& payload)
{
    std::string out;
    bool lineStart = true;
    for (char c : payload) {
        if (!(lineStart && c == '.'))
            out += c;
        lineStart = c == '\n';
    }
    return out;
}

// ---------------------------------------------------------------- connection

class CConnection {
public:
    CConnection(CServerBase& owner, Platform::SocketHandle s, int idleMs)
        : m_Owner(owner), m_Socket(s), m_IdleMs(idleMs) {}

    // False with a reason when no session could be agreed. Bytes the client
    // sent ahead of its handshake count as the start of it.
    bool StartTls(const CServerOptions& options, std::string& reason)
    {
        if (!m_Pending.empty()) {
            reason = "client sent data before the TLS handshake";
            return false;
        }
        m_Tls = std::make_unique<Platform::CTlsSession>();
        if (m_Tls->Accept(m_Socket.Get(), options.m_TlsCertFile, options.m_TlsKeyFile, m_IdleMs, reason))
            return true;
        m_Tls.reset();
        return false;
    }

    bool Send(const std::string& bytes)
    {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const long n = m_Tls ? m_Tls->Send(bytes.data() + sent, bytes.size() - sent, m_IdleMs)
                                 : Platform::SendSome(m_Socket.Get(), bytes.data() + sent,
                                                      bytes.size() - sent, m_IdleMs);
            if (n < 1)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // One line with its terminator ("\n", normally preceded by "\r"); false
    // when the client closed or fell idle first.
    bool ReadRawLine(std::string& raw)
    {
        for (;;) {
            const std::size_t lf = m_Pending.find('\n');
            if (lf != std::string::npos) {
                raw = m_Pending.substr(0, lf + 1);
                m_Pending.erase(0, lf + 1);
                return true;
            }
            if (!Fill())
                return false;
        }
    }

    // The payload up to (not including) the line ".".
    bool ReadPayload(std::string& payload)
    {
        payload.clear();
        std::string raw;
        while (ReadRawLine(raw)) {
            if (raw == ".\r\n")
                return true;
            payload += raw;
        }
        return false;
    }

    void Drain()
    {
        m_Pending.clear();
        while (Fill())
            m_Pending.clear();
    }

private:
    bool Fill()
    {
        char buffer[4096];
        const long n = m_Tls ? m_Tls->Receive(buffer, sizeof buffer, m_IdleMs)
                             : Platform::ReceiveSome(m_Socket.Get(), buffer, sizeof buffer, m_IdleMs);
        if (n < 1)
            return false;
        m_Owner.Record(buffer, static_cast<std::size_t>(n));
        m_Pending.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    CServerBase& m_Owner;
    Platform::CSocket m_Socket;
    std::unique_ptr<Platform::CTlsSession> m_Tls;
    int m_IdleMs;
    std::string m_Pending;
};

// ---------------------------------------------------------------- base

CServerBase::~CServerBase() { Wait(); }

bool CServerBase::Start()
{
    m_Listener.Reset(Platform::ListenLoopback(m_Options.m_Port, m_Port));
    if (!m_Listener.IsOpen())
        return false;
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void CServerBase::Wait()
{
    if (m_Thread.joinable())
        m_Thread.join();
}

void CServerBase::SetSessionHook(std::function<void()> hook) { m_SessionHook = std::move(hook); }

void CServerBase::Run()
{
    for (int i = 0; m_Options.m_Sessions == 0 || i < m_Options.m_Sessions; ++i) {
        const Platform::SocketHandle s = Platform::AcceptConnection(m_Listener.Get(), m_Options.m_IdleMs);
        if (s == Platform::INVALID_SOCKET_HANDLE) {
            if (m_Options.m_Sessions != 0)
                AddProblem("no client connected for session " + std::to_string(i + 1));
            break;
        }
        CConnection connection(*this, s, m_Options.m_IdleMs);
        std::string reason;
        if (!m_Options.m_ImplicitTls || connection.StartTls(m_Options, reason))
            Serve(connection);
        else
            AddProblem("TLS at connect: " + reason);
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            ++m_Served;
        }
        if (m_SessionHook)
            m_SessionHook();
    }
    m_Listener.Close();
}

void CServerBase::Record(const char* data, std::size_t size)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Received.append(data, size);
}

void CServerBase::AddProblem(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Problems.push_back(text);
}

std::string CServerBase::Received() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Received;
}

std::vector<std::string> CServerBase::Problems() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Problems;
}

int CServerBase::SessionsServed() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Served;
}

// ---------------------------------------------------------------- script server

CScriptServer::CScriptServer(std::vector<CStep> steps, const CServerOptions& options)
    : CServerBase(options), m_Steps(std::move(steps)) {}

CScriptServer::~CScriptServer() { Wait(); }

void CScriptServer::Serve(CConnection& connection)
{
    std::size_t first = 0;
    for (int skip = SessionsServed(); skip > 0; --skip) {
        std::size_t mark = first;
        while (mark < m_Steps.size() && m_Steps[mark].m_Kind != StepKind::SESSION)
            ++mark;
        if (mark == m_Steps.size())
            break;  // the last group serves every later connection
        first = mark + 1;
    }
    for (std::size_t i = first; i < m_Steps.size() && m_Steps[i].m_Kind != StepKind::SESSION; ++i)
        if (!RunStep(connection, m_Steps[i], i + 1))
            return;
    connection.Drain();
}

// False ends the session (closing the connection).
bool CScriptServer::RunStep(CConnection& connection, const CStep& step, std::size_t number)
{
    const std::string where = "step " + std::to_string(number) + ": ";
    std::string payload;
    switch (step.m_Kind) {
    case StepKind::SEND:
        return connection.Send(step.m_Text + "\r\n");
    case StepKind::SEND_RAW:
        return connection.Send(step.m_Text);
    case StepKind::PAUSE:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.m_Milliseconds));
        return true;
    case StepKind::DRIP:
        for (const char c : step.m_Text) {
            if (!connection.Send(std::string(1, c)))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(step.m_Milliseconds));
        }
        return true;
    case StepKind::CLOSE:
        return false;
    case StepKind::STARTTLS:
        if (connection.StartTls(m_Options, payload))
            return true;
        AddProblem(where + "TLS: " + payload);
        return false;
    case StepKind::HANG:
        connection.Drain();
        return false;
    case StepKind::DATA:
        if (!connection.ReadPayload(payload)) {
            AddProblem(where + "payload not ended by the line \".\"");
            return false;
        }
        return true;
    case StepKind::SESSION:
        return true;
    case StepKind::EXPECT:
    case StepKind::EXPECT_PREFIX:
        break;
    }
    return ExpectLine(connection, step, where);
}

bool CScriptServer::ExpectLine(CConnection& connection, const CStep& step, const std::string& where)
{
    std::string raw;
    if (!connection.ReadRawLine(raw)) {
        AddProblem(where + "expected '" + step.m_Text + "', client sent no complete line");
        return false;
    }
    const bool crlf = raw.size() >= 2 && raw[raw.size() - 2] == '\r';
    const std::string line = raw.substr(0, raw.size() - (crlf ? 2 : 1));
    const bool match = step.m_Kind == StepKind::EXPECT ? line == step.m_Text
                                                       : line.compare(0, step.m_Text.size(), step.m_Text) == 0;
    if (!match || !crlf) {
        AddProblem(where + "expected '" + step.m_Text + "', got '" + line + "'" + (crlf ? "" : " without CR"));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- sink server

namespace {

bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

bool WriteWholeFile(const std::string& name, const std::string& bytes)
{
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

CSinkServer::CSinkServer(SinkProtocol protocol, std::string storeDir,
                         std::vector<std::pair<std::string, std::string>> refusals,
                         const CServerOptions& options)
    : CServerBase(options), m_Protocol(protocol), m_StoreDir(std::move(storeDir)),
      m_Refusals(std::move(refusals)) {}

CSinkServer::~CSinkServer() { Wait(); }

int CSinkServer::MessagesStored() const
{
    return m_Stored;
}

std::string CSinkServer::Answer(const std::string& prefix, const std::string& positive) const
{
    for (const auto& refusal : m_Refusals)
        if (StartsWithNoCase(prefix, refusal.first))
            return (refusal.second.empty() ? "550 refused" : refusal.second) + "\r\n";
    return positive + "\r\n";
}

// The positive reply to one command line; payload: the command opens the
// data mode; quit: the session ends after the reply.
std::string CSinkServer::PositiveReply(const std::string& line, bool& payload, bool& quit) const
{
    struct CRule { const char* m_Prefix; const char* m_Reply; bool m_Payload; bool m_Quit; };
    static const CRule SMTP[] = {
        {"HELO", "250 fakeserver", false, false}, {"EHLO", "250 fakeserver", false, false},
        {"MAIL FROM:", "250 sender ok", false, false}, {"RCPT TO:", "250 receiver ok", false, false},
        {"RSET", "250 reset", false, false}, {"NOOP", "250 ok", false, false},
        {"DATA", "354 end data with <CR><LF>.<CR><LF>", true, false}, {"QUIT", "221 bye", false, true}};
    static const CRule NNTP[] = {
        {"AUTHINFO USER", "381 password required", false, false},
        {"AUTHINFO PASS", "281 authentication accepted", false, false},
        {"GROUP ", "211 0 0 0 group selected", false, false}, {"MODE READER", "200 reader", false, false},
        {"POST", "340 send article", true, false}, {"QUIT", "205 bye", false, true}};
    const bool smtp = m_Protocol == SinkProtocol::SMTP;
    const CRule* rules = smtp ? SMTP : NNTP;
    const std::size_t count = smtp ? sizeof SMTP / sizeof SMTP[0] : sizeof NNTP / sizeof NNTP[0];
    for (std::size_t i = 0; i < count; ++i) {
        if (StartsWithNoCase(line, rules[i].m_Prefix)) {
            payload = rules[i].m_Payload;
            quit = rules[i].m_Quit;
            return rules[i].m_Reply;
        }
    }
    return "500 command not recognised";
}

void CSinkServer::StoreMessage(const std::string& payload, const std::string& envelope)
{
    const int number = ++m_Stored;
    if (m_StoreDir.empty())
        return;
    const std::string base = m_StoreDir + "/message-" + std::to_string(number);
    if (!WriteWholeFile(base + ".eml", UnstuffDots(payload)) || !WriteWholeFile(base + ".envelope", envelope))
        AddProblem("cannot store " + base);
}

void CSinkServer::Serve(CConnection& connection)
{
    const bool smtp = m_Protocol == SinkProtocol::SMTP;
    if (!connection.Send(Answer("greeting", smtp ? "220 fakeserver ready" : "200 fakeserver ready")))
        return;
    std::string envelope;
    std::string raw;
    while (connection.ReadRawLine(raw)) {
        envelope += raw;
        const std::string line = raw.substr(0, raw.find_first_of("\r\n"));
        bool payload = false;
        bool quit = false;
        const std::string positive = PositiveReply(line, payload, quit);
        const std::string reply = Answer(line, positive);
        if (!connection.Send(reply))
            return;
        if (payload && reply[0] == '3') {
            std::string message;
            if (!connection.ReadPayload(message))
                return;
            const std::string done = Answer("message", smtp ? "250 message accepted" : "240 article posted");
            if (done[0] == '2')
                StoreMessage(message, envelope);
            envelope.clear();
            if (!connection.Send(done))
                return;
        }
        if (quit)
            break;
    }
    connection.Drain();
}

}  // namespace FakeServer
