// Command-line front of the fake servers; usage in tests/support/FakeServer.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/FakeServer.h"

namespace {

using namespace FakeServer;

struct COptions {
    std::string m_Script;
    std::string m_Sink;
    std::string m_Store;
    std::string m_Record;
    std::string m_PortFile;
    std::vector<std::pair<std::string, std::string>> m_Refusals;
    CServerOptions m_Server;
    bool m_SessionsGiven = false;
};

const char USAGE[] =
    "usage: fakeserver --script FILE | --sink smtp|nntp [--store DIR] [--refuse PREFIX[=REPLY]]...\n"
    "       [--record FILE] [--port-file FILE] [--port N] [--sessions N] [--idle SECONDS]\n";

bool ReadWholeFile(const std::string& name, std::string& text)
{
    FILE* f = std::fopen(name.c_str(), "rb");
    if (!f)
        return false;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

// Written under a temporary name and renamed, so a reader never sees half.
bool WriteFileAtomically(const std::string& name, const std::string& bytes)
{
    const std::string temp = name + ".part";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written)
        return false;
    return std::rename(temp.c_str(), name.c_str()) == 0;
}

bool ParseNumber(const char* text, int low, int high, int& value)
{
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (!*text || *end || n < low || n > high)
        return false;
    value = static_cast<int>(n);
    return true;
}

bool ApplyOption(const std::string& name, const char* value, COptions& o)
{
    int number = 0;
    if (name == "--script") o.m_Script = value;
    else if (name == "--sink") o.m_Sink = value;
    else if (name == "--store") o.m_Store = value;
    else if (name == "--record") o.m_Record = value;
    else if (name == "--port-file") o.m_PortFile = value;
    else if (name == "--port" && ParseNumber(value, 0, 65535, number)) o.m_Server.m_Port = number;
    else if (name == "--sessions" && ParseNumber(value, 1, 1000000, number)) {
        o.m_Server.m_Sessions = number;
        o.m_SessionsGiven = true;
    } else if (name == "--idle" && ParseNumber(value, 1, 86400, number)) o.m_Server.m_IdleMs = number * 1000;
    else if (name == "--refuse") {
        const std::string text = value;
        const std::size_t eq = text.find('=');
        o.m_Refusals.emplace_back(text.substr(0, eq), eq == std::string::npos ? "" : text.substr(eq + 1));
    } else return false;
    return true;
}

bool ParseArguments(int argc, char** argv, COptions& o)
{
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc || !ApplyOption(argv[i], argv[i + 1], o)) {
            std::fprintf(stderr, "fakeserver: bad option '%s'\n%s", argv[i], USAGE);
            return false;
        }
    }
    if (o.m_Script.empty() == o.m_Sink.empty() || (!o.m_Sink.empty() && o.m_Sink != "smtp" && o.m_Sink != "nntp")) {
        std::fprintf(stderr, "fakeserver: give either --script FILE or --sink smtp|nntp\n%s", USAGE);
        return false;
    }
    if (!o.m_Sink.empty() && !o.m_SessionsGiven)
        o.m_Server.m_Sessions = 0;
    return true;
}

std::unique_ptr<CServerBase> MakeServer(const COptions& o)
{
    if (!o.m_Sink.empty()) {
        const SinkProtocol protocol = o.m_Sink == "smtp" ? SinkProtocol::SMTP : SinkProtocol::NNTP;
        return std::make_unique<CSinkServer>(protocol, o.m_Store, o.m_Refusals, o.m_Server);
    }
    std::string text;
    std::string error;
    std::vector<CStep> steps;
    if (!ReadWholeFile(o.m_Script, text)) {
        std::fprintf(stderr, "fakeserver: cannot read script '%s'\n", o.m_Script.c_str());
        return nullptr;
    }
    if (!ParseScript(text, steps, error)) {
        std::fprintf(stderr, "fakeserver: %s: %s\n", o.m_Script.c_str(), error.c_str());
        return nullptr;
    }
    return std::make_unique<CScriptServer>(std::move(steps), o.m_Server);
}

}  // namespace

int main(int argc, char** argv)
{
    COptions options;
    if (!ParseArguments(argc, argv, options))
        return 2;
    std::unique_ptr<CServerBase> server = MakeServer(options);
    if (!server)
        return 2;
    CServerBase* s = server.get();
    if (!options.m_Record.empty()) {
        const std::string record = options.m_Record;
        WriteFileAtomically(record, "");
        s->SetSessionHook([s, record] { WriteFileAtomically(record, s->Received()); });
    }
    if (!s->Start()) {
        std::fprintf(stderr, "fakeserver: cannot listen on 127.0.0.1 port %d\n", options.m_Server.m_Port);
        return 3;
    }
    if (!options.m_PortFile.empty() && !WriteFileAtomically(options.m_PortFile, std::to_string(s->Port()) + "\n")) {
        std::fprintf(stderr, "fakeserver: cannot write port file '%s'\n", options.m_PortFile.c_str());
        return 2;
    }
    std::printf("%d\n", s->Port());
    std::fflush(stdout);
    s->Wait();
    if (!options.m_Record.empty())
        WriteFileAtomically(options.m_Record, s->Received());
    const std::vector<std::string> problems = s->Problems();
    for (const std::string& p : problems)
        std::fprintf(stderr, "fakeserver: %s\n", p.c_str());
    return problems.empty() ? 0 : 1;
}
