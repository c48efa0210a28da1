// Header fields from up to 4 pieces of input: each piece's first byte picks
// the field (the subject, the sender's From, or a free text field), its rest
// is the text.
// Invariants: the written block has only CR LF line ends, each followed by a
// blank (a fold) except the field's last; no line passes 998 octets; with
// the folds taken out and the encoded-words decoded (RFC 2047), each text
// field reads as it was stored. A field that cannot be folded to fit stops
// the writing, and no line written before it is too long.
#include <algorithm>
#include <cstring>

#include "quillant/Globals.h"
#include "quillant/Quillant.h"
#include "tests/fuzz/support/FuzzCheck.h"

namespace {

const char* const TEXT_FIELDS[] = {"Subject", "Comments", "Content-Description", "X-Note"};

// "=?charset?B|Q?text?=" decoded into out; false when word is none.
bool DecodeWord(std::string_view word, std::string& out)
{
    if (word.size() < 8 || word.substr(0, 2) != "=?" || word.substr(word.size() - 2) != "?=")
        return false;
    const std::size_t q1 = word.find('?', 2);
    if (q1 == std::string_view::npos || q1 + 3 > word.size() - 2 || word[q1 + 2] != '?')
        return false;
    const char kind = word[q1 + 1];
    const std::string_view text = word.substr(q1 + 3, word.size() - 2 - (q1 + 3));
    if (text.find('?') != std::string_view::npos)
        return false;
    std::string bytes;
    if (kind == 'B') {
        if (!Fuzz::DecodeBase64(text, bytes))
            return false;
    } else if (kind == 'Q') {
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '_') {
                bytes += ' ';
            } else if (text[i] == '=') {
                if (i + 2 >= text.size() || Fuzz::HexValue(text[i + 1]) < 0 || Fuzz::HexValue(text[i + 2]) < 0)
                    return false;
                bytes += static_cast<char>(Fuzz::HexValue(text[i + 1]) * 16 + Fuzz::HexValue(text[i + 2]));
                i += 2;
            } else {
                bytes += text[i];
            }
        }
    } else {
        return false;
    }
    out += bytes;
    return true;
}

// Unfolded field body with its encoded-words decoded; the white space
// between two encoded-words is dropped.
std::string Decoded(std::string_view body)
{
    std::string out;
    std::string space;
    bool afterWord = false;
    for (std::size_t i = 0; i < body.size();) {
        const std::size_t end = std::min(body.find_first_of(" \t", i), body.size());
        if (end == i) {
            space += body[i++];
            continue;
        }
        const std::string_view token = body.substr(i, end - i);
        std::string decoded;
        const bool word = DecodeWord(token, decoded);
        if (!(word && afterWord))
            out += space;
        out += word ? decoded : std::string(token);
        afterWord = word;
        space.clear();
        i = end;
    }
    return out + space;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    g_Verbose = 0;
    CQuillant mail;
    for (const std::string& piece : Fuzz::Pieces(Fuzz::Bytes(data, size), 4)) {
        const std::string rest = piece.substr(piece.empty() ? 0 : 1);
        const int pick = piece.empty() ? 0 : static_cast<unsigned char>(piece[0]) % 6;
        if (pick == 0)
            mail.SetSubject(rest.c_str());
        else if (pick == 1)
            mail.SetFrom(rest.c_str());
        else  // a free text field holds no line break of its own
            mail.SetHeader(TEXT_FIELDS[pick - 2], WithoutLineBreaks(rest).c_str(), 0);
    }
    CFilePtr out(std::tmpfile());
    Fuzz::Require(out != nullptr, "temporary file");
    const bool whole = WriteHeaders(mail.m_Headers.get(), out.get());
    const std::string block = Fuzz::ContentOf(out.get());
    Fuzz::Require(Fuzz::OnlyCrLf(block), "only CR LF line ends");
    for (std::string_view line : Fuzz::Lines(block))
        Fuzz::Require(line.size() <= 998, "no header line over 998 octets");
    if (!whole)
        return 0;

    // Each field: "Name: body" and its folds, up to the CR LF not followed by a blank.
    std::string_view rest = block;
    while (!rest.empty()) {
        std::size_t end = rest.find("\r\n");
        while (end + 2 < rest.size() && (rest[end + 2] == ' ' || rest[end + 2] == '\t'))
            end = rest.find("\r\n", end + 2);
        Fuzz::Require(end != std::string_view::npos, "every field ends in CR LF");
        std::string field;
        for (std::string_view line : Fuzz::Lines(rest.substr(0, end + 2)))
            field.append(line.data(), line.size());
        rest.remove_prefix(end + 2);
        const std::size_t colon = field.find(": ");
        Fuzz::Require(colon != std::string::npos, "a field has a name");
        const std::string name = field.substr(0, colon);
        const char* stored = mail.GetHeader(name.c_str(), nullptr);
        Fuzz::Require(stored != nullptr, "only stored fields are written");
        const bool text = name == "Subject" || std::find(std::begin(TEXT_FIELDS), std::end(TEXT_FIELDS), name)
            != std::end(TEXT_FIELDS);
        const std::string body = field.substr(colon + 2);
        if (!HasHighByte(stored))
            Fuzz::Require(body == stored, "an ASCII field only gains folds");
        else if (text)
            Fuzz::Require(Decoded(body) == stored, "a text field decodes to what was stored");
    }
    return 0;
}
