// A profile file made of the input up to its first 0x1e byte; the rest is
// a value written under one key.
// Invariants: no value read holds an LF, nor a CR unless the file has a bare
// one; writing one key changes only that key's line (adding it, with a blank
// line and its section head, when missing) and every other line survives as
// it was; the key then reads back as written, line ends inside it blanked
// and surrounding blanks trimmed.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Profile.h"
#include "tests/fuzz/support/FuzzCheck.h"
#include "tests/fuzz/support/FuzzFiles.h"

namespace {

const char* const KEYS[] = {"HOST", "NNTP HOST", "Return Address", "Timeout", "Fuzz Key"};

// Lines end at LF, as the store reads them; a CR before it is its own.
std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at - (end > at && text[end - 1] == '\r' ? 1 : 0)));
        at = end + 1;
    }
    return lines;
}

std::string Trimmed(std::string text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> pieces = Fuzz::Pieces(Fuzz::Bytes(data, size), 2);
    const std::string before = pieces[0];
    std::string value = pieces.size() > 1 ? pieces[1] : "value";
    value.resize(std::strlen(value.c_str()));
    const std::string path = Fuzz::WriteFile("profile.ini", before);
    setenv("SENDVALE_PROFILE", path.c_str(), 1);

    bool bareCr = false;
    for (std::size_t i = 0; i < before.size(); ++i)
        bareCr = bareCr || (before[i] == '\r' && (i + 1 == before.size() || before[i + 1] != '\n'));
    char out[512];
    for (const char* key : KEYS) {
        const std::size_t n = Platform::GetProfileString("Setup", key, "", out, sizeof out);
        // A bare CR inside a line stays in its value, for the caller to blank or refuse.
        Fuzz::Require(n < sizeof out && std::memchr(out, '\n', n) == nullptr
                          && (std::memchr(out, '\r', n) == nullptr || bareCr),
                      "a value read holds no line end");
    }
    if (!Platform::WriteProfileString("Setup", "Fuzz Key", value.c_str()))
        return 0;
    const std::vector<std::string> old = LinesOf(before);
    const std::vector<std::string> now = LinesOf(Fuzz::ReadFile(path));
    // The old lines stand where they stood, but for the key's own line: one
    // line replaced, or up to three added in one place.
    std::size_t prefix = 0;
    while (prefix < old.size() && prefix < now.size() && old[prefix] == now[prefix])
        ++prefix;
    std::size_t suffix = 0;
    while (prefix + suffix < old.size() && prefix + suffix < now.size()
           && old[old.size() - 1 - suffix] == now[now.size() - 1 - suffix])
        ++suffix;
    const std::size_t kept = prefix + suffix;
    Fuzz::Require(now.size() >= old.size() && now.size() <= old.size() + 3
                      && kept + (now.size() == old.size() ? 1 : 0) >= old.size(),
                  "only the written key's line changes");

    std::string expected = value;
    while (!expected.empty() && (expected.back() == '\r' || expected.back() == '\n'))
        expected.pop_back();
    for (char& c : expected)
        if (c == '\r' || c == '\n')
            c = ' ';
    expected = Trimmed(expected);
    const std::size_t n = Platform::GetProfileString("Setup", "Fuzz Key", "", out, sizeof out);
    if (expected.size() < sizeof out)
        Fuzz::Require(std::string(out, n) == expected, "the key reads back as written");
    return 0;
}
