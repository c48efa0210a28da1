// What the fuzz targets share: the check that ends a run with a report, the
// input cut into pieces, files in memory and independent decoders, so an
// invariant is never judged by the code under test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"

namespace Fuzz {

// A broken invariant is a crash libFuzzer keeps the input of; the text
// that broke it is shown with its control bytes escaped.
inline void Require(bool holds, const char* invariant, std::string_view shown = {})
{
    if (holds)
        return;
    std::fprintf(stderr, "invariant broken: %s\n", invariant);
    for (unsigned char c : shown)
        std::fprintf(stderr, c < 32 || c > 126 ? "\\x%02x" : "%c", c);
    std::fputs("\n", stderr);
    std::abort();
}

inline std::string_view Bytes(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

// The input cut at each separator into at most most pieces, the last one
// taking the rest, separators included.
inline std::vector<std::string> Pieces(std::string_view input, std::size_t most, char separator = '\x1e')
{
    std::vector<std::string> pieces;
    while (pieces.size() + 1 < most) {
        const std::size_t cut = input.find(separator);
        if (cut == std::string_view::npos)
            break;
        pieces.emplace_back(input.substr(0, cut));
        input.remove_prefix(cut + 1);
    }
    pieces.emplace_back(input);
    return pieces;
}

// Every CR is followed by LF and every LF follows a CR.
inline bool OnlyCrLf(std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
            return false;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            return false;
    }
    return true;
}

// Lines without their CR LF; the text after the last CR LF is one more line
// when it is not empty.
inline std::vector<std::string_view> Lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find("\r\n");
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 2);
    }
    return lines;
}

// One server reply by the line rules alone, taken off the front of bytes:
// a line ends at the first CR LF, a reply at the first line whose fourth
// byte is not "-"; it is well formed when each line holds three digits and
// then a blank, "-" or its CR. False when the bytes end before the reply.
struct CModelReply {
    std::string m_Text;
    bool m_WellFormed = true;
};

inline bool TakeReply(std::string_view& bytes, CModelReply& reply)
{
    reply = CModelReply();
    for (bool complete = false; !complete;) {
        const std::size_t end = bytes.find("\r\n");
        if (end == std::string_view::npos)
            return false;
        const std::string_view line = bytes.substr(0, end + 2);
        bytes.remove_prefix(end + 2);
        const auto digit = [](char c) { return c >= '0' && c <= '9'; };
        const char fourth = line.size() >= 5 ? line[3] : '\0';
        reply.m_WellFormed = reply.m_WellFormed && line.size() >= 5 && digit(line[0]) && digit(line[1])
            && digit(line[2]) && (fourth == ' ' || fourth == '-' || fourth == '\r');
        complete = fourth != '-';
        reply.m_Text += line;
    }
    return true;
}

// CR LF, bare CR and bare LF all become CR LF.
inline std::string Canonical(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            out += "\r\n";
        } else {
            out += text[i];
        }
    }
    return out;
}

inline int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Strict quoted-printable: "=" CR LF is a soft break, "=" is followed by two
// upper-case hex digits; false for anything else after "=".
inline bool DecodeQuotedPrintable(std::string_view text, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
        } else if (text.substr(i + 1, 2) == "\r\n") {
            i += 2;
        } else if (i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

// Base64 with line breaks between groups; false for any other byte or a
// group cut short.
inline bool DecodeBase64(std::string_view text, std::string& out)
{
    static const std::string_view ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.clear();
    std::uint32_t group = 0;
    int held = 0;
    int pad = 0;
    for (char c : text) {
        if (c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            ++pad;
            group <<= 6;
        } else {
            const std::size_t v = ALPHABET.find(c);
            if (v == std::string_view::npos || pad)
                return false;
            group = group << 6 | static_cast<std::uint32_t>(v);
        }
        if (++held == 4) {
            if (pad > 2)
                return false;
            const char bytes[3] = {static_cast<char>(group >> 16), static_cast<char>(group >> 8),
                                   static_cast<char>(group)};
            out.append(bytes, 3 - pad);
            if (pad)
                pad = 3;  // nothing may follow padding
            group = 0;
            held = 0;
        }
    }
    return held == 0;
}

// A FILE that reads the bytes given, or collects what is written to it.
inline CFilePtr FileOf(std::string_view bytes)
{
    CFilePtr file(std::tmpfile());
    Require(file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size(), "temporary file");
    std::rewind(file.get());
    return file;
}

inline std::string ContentOf(FILE* file)
{
    std::string text;
    std::rewind(file);
    char block[4096];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;)
        text.append(block, n);
    return text;
}

}  // namespace Fuzz
