// A message of up to 4 parts from the pieces of the input: each piece's
// first byte makes its rest a text part or an attachment file (its name's
// extension picked by the same byte).
// Invariants: composing succeeds; with more than one part the boundary
// occurs only as the delimiter lines, once per part and once to close;
// each part decodes to what was given (a text up to its first NUL, line
// ends canonical; an attachment byte for byte).
#include <cstring>

#include "platform/Clock.h"
#include "quillant/Globals.h"
#include "quillant/MessagePart.h"
#include "quillant/Quillant.h"
#include "tests/fuzz/support/FuzzCheck.h"
#include "tests/fuzz/support/FuzzFiles.h"

namespace {

const char* const EXTENSIONS[] = {".txt", ".bin", ".jpg", ".html"};

struct CGiven {
    bool m_Attachment;
    std::string m_Bytes;
};

std::string HeaderValue(std::string_view headers, std::string_view name)
{
    std::string unfolded;
    for (std::string_view line : Fuzz::Lines(headers)) {
        if (!unfolded.empty() && !line.empty() && (line[0] == ' ' || line[0] == '\t'))
            unfolded.pop_back();
        unfolded.append(line.data(), line.size()).append("\n");
    }
    std::size_t at = 0;
    while ((at = unfolded.find(name, at)) != std::string::npos) {
        if (at == 0 || unfolded[at - 1] == '\n')
            return unfolded.substr(at + name.size(), unfolded.find('\n', at) - at - name.size());
        ++at;
    }
    return "";
}

// The body of one part (or of a single-part message) decoded by its headers.
std::string DecodedBody(std::string_view headers, std::string_view body)
{
    const std::string encoding = HeaderValue(headers, "Content-Transfer-Encoding: ");
    std::string decoded;
    if (encoding == "base64")
        Fuzz::Require(Fuzz::DecodeBase64(body, decoded), "base64 is well formed");
    else if (encoding == "quoted-printable")
        Fuzz::Require(Fuzz::DecodeQuotedPrintable(Fuzz::Canonical(body), decoded), "quoted-printable is well formed");
    else
        decoded = body;
    return decoded;
}

bool Matches(const CGiven& given, const std::string& decoded)
{
    if (given.m_Attachment)
        return decoded == given.m_Bytes;
    return Fuzz::Canonical(decoded) == Fuzz::Canonical(given.m_Bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const Platform::ClockOverride CLOCK{1700000000, 4242, 123456};
    Platform::SetClockOverride(&CLOCK);  // one boundary for the whole run
    g_Verbose = 0;
    std::vector<CGiven> given;
    CQuillant mail;
    mail.SetSender("me@example.com");
    mail.AddTo("you@example.com");
    for (const std::string& piece : Fuzz::Pieces(Fuzz::Bytes(data, size), 4)) {
        const unsigned pick = piece.empty() ? 0 : static_cast<unsigned char>(piece[0]);
        std::string rest = piece.substr(piece.empty() ? 0 : 1);
        if (pick & 1) {
            const std::string name = "part" + std::to_string(given.size()) + EXTENSIONS[pick >> 1 & 3];
            Fuzz::Require(mail.AddPart(Fuzz::WriteFile(name, rest).c_str(), PART_ATTACHMENT) == 0, "attachment taken");
            given.push_back({true, rest});
        } else {
            rest.resize(std::strlen(rest.c_str()));
            mail.AddPart(rest.c_str(), PART_BODY);
            given.push_back({false, rest});
        }
    }
    CFilePtr out(std::tmpfile());
    Fuzz::Require(out != nullptr, "temporary file");
    Fuzz::Require(mail.WriteOutMessage(out.get()) == 0 && !std::ferror(out.get()), "the message is composed");
    const std::string message = Fuzz::ContentOf(out.get());
    const std::size_t split = message.find("\r\n\r\n");
    Fuzz::Require(split != std::string::npos, "a header block");
    const std::string_view headers = std::string_view(message).substr(0, split + 2);
    const std::string_view body = std::string_view(message).substr(split + 4);

    if (given.size() == 1) {
        Fuzz::Require(Matches(given[0], DecodedBody(headers, body)), "the single part decodes to its input");
        return 0;
    }
    const std::string type = HeaderValue(headers, "Content-type: ");
    const std::size_t b = type.find("boundary=");
    Fuzz::Require(b != std::string::npos, "a multipart message names its boundary", message);
    const std::string delimiter = "\r\n--" + type.substr(b + 9);
    std::vector<std::size_t> at;
    for (std::size_t p = message.find(delimiter); p != std::string::npos; p = message.find(delimiter, p + 1))
        at.push_back(p);
    Fuzz::Require(at.size() == given.size() + 1, "the boundary occurs only as the delimiter lines");
    Fuzz::Require(message.compare(at.back(), delimiter.size() + 4, delimiter + "--\r\n") == 0
                      && at.back() + delimiter.size() + 4 == message.size(),
                  "the closing delimiter ends the message");
    for (std::size_t i = 0; i < given.size(); ++i) {
        const std::size_t start = at[i] + delimiter.size() + 2;
        const std::string_view part = std::string_view(message).substr(start, at[i + 1] - start);
        const std::size_t end = part.find("\r\n\r\n");
        Fuzz::Require(end != std::string_view::npos, "a part has headers");
        Fuzz::Require(Matches(given[i], DecodedBody(part.substr(0, end + 2), part.substr(end + 4))),
                      "each part decodes to its input");
    }
    return 0;
}
