#include "quillant/Encoders.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <algorithm>

namespace {

const char BASE64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char HEX_DIGITS[] = "0123456789ABCDEF";

constexpr std::size_t READ_BLOCK = 48 * 1024;
constexpr std::size_t WRITE_BLOCK = 16 * 1024;
constexpr int BASE64_TEXT_LIMIT = 71;    // 18 groups, 72 characters a line
constexpr int QP_LIMIT = 72;             // at most 76 with the closing '='

// Output gathered into blocks: one stdio call per byte would cost more than
// the encoding itself. The first failed write ends all output: the encoders
// ask Failed() as they go, so an endless input is not read on in vain. The
// error stays on the stream (ferror) for its owner.
class COutBuffer {
public:
    explicit COutBuffer(FILE* out) : m_Out(out), m_Failed(std::ferror(out) != 0) {}
    COutBuffer(const COutBuffer&) = delete;
    COutBuffer& operator=(const COutBuffer&) = delete;
    ~COutBuffer() { Flush(); }

    void Put(char c)
    {
        if (m_Length == WRITE_BLOCK)
            Flush();
        m_Buffer[m_Length++] = c;
    }
    void Put(const char* text, std::size_t length)
    {
        if (m_Length + length > WRITE_BLOCK)
            Flush();
        std::memcpy(m_Buffer + m_Length, text, length);
        m_Length += length;
    }
    void Flush()
    {
        if (m_Length && !m_Failed)
            m_Failed = std::fwrite(m_Buffer, 1, m_Length, m_Out) != m_Length || std::ferror(m_Out);
        m_Length = 0;
    }
    bool Failed() const { return m_Failed; }

private:
    FILE* m_Out;
    bool m_Failed;
    std::size_t m_Length = 0;
    char m_Buffer[WRITE_BLOCK];
};

// Bytes of a stream read in blocks, with one byte of look-ahead. The end of
// the input and a read error both end the data; the caller tells them apart
// by ferror on the stream.
class CStreamSource {
public:
    explicit CStreamSource(FILE* in) : m_In(in) {}
    CStreamSource(const CStreamSource&) = delete;
    CStreamSource& operator=(const CStreamSource&) = delete;

    int Next() { return m_Position < m_Length || Refill() ? m_Buffer[m_Position++] : -1; }
    int Peek() { return m_Position < m_Length || Refill() ? m_Buffer[m_Position] : -1; }

private:
    bool Refill()
    {
        if (m_Ended)
            return false;
        m_Length = std::fread(m_Buffer, 1, READ_BLOCK, m_In);
        m_Position = 0;
        m_Ended = m_Length == 0;
        return !m_Ended;
    }

    FILE* m_In;
    std::size_t m_Position = 0;
    std::size_t m_Length = 0;
    bool m_Ended = false;
    unsigned char m_Buffer[READ_BLOCK];
};

// Bytes of a zero-terminated text; the terminator ends the data.
class CTextSource {
public:
    explicit CTextSource(const char* text) : m_Next(reinterpret_cast<const unsigned char*>(text)) {}

    int Next() { return *m_Next ? *m_Next++ : -1; }
    int Peek() { return *m_Next ? *m_Next : -1; }

private:
    const unsigned char* m_Next;
};

void PutGroup(int b1, int b2, int b3, int pad, char group[4])
{
    const unsigned bits = (unsigned(b1 & 0xFF) << 16) | (unsigned(b2 & 0xFF) << 8) | unsigned(b3 & 0xFF);
    group[0] = BASE64_ALPHABET[(bits >> 18) & 0x3F];
    group[1] = BASE64_ALPHABET[(bits >> 12) & 0x3F];
    group[2] = pad == 2 ? '=' : BASE64_ALPHABET[(bits >> 6) & 0x3F];
    group[3] = pad != 0 ? '=' : BASE64_ALPHABET[bits & 0x3F];
}

template <class Source>
void Base64Encode(Source& source, COutBuffer& out, int lineLimit)
{
    int lineCount = 0;
    while (!out.Failed()) {
        const int b1 = source.Next();
        if (b1 < 0)
            break;
        int b2 = source.Next();
        int b3 = 0;
        int pad = 0;
        if (b2 < 0) {
            b2 = 0;
            pad = 2;
        } else if ((b3 = source.Next()) < 0) {
            b3 = 0;
            pad = 1;
        }
        char group[4];
        PutGroup(b1, b2, b3, pad, group);
        out.Put(group, 4);
        lineCount += 4;
        if (lineCount > lineLimit) {
            out.Put("\r\n", 2);
            lineCount = 0;
        }
        if (pad)
            break;
    }
    if (lineCount)
        out.Put("\r\n", 2);
}

bool IsQPLiteral(int c) { return c == '\t' || (c >= 32 && c <= 126 && c != '='); }

// A CR directly followed by LF is part of the line end: it never takes a soft
// break between itself and its LF, does not count toward the line length and
// gets the white-space guard like a bare LF. The guard then uses the line's
// own CR LF ("=" CR LF), so a CR LF text gains no bare LF. A lone CR would
// read as a line break once the transport canonicalises line ends, so it is
// encoded.
template <class Source>
void QPEncode(Source& source, COutBuffer& out)
{
    int lineCount = 0;
    int previous = '\n';
    for (int c; !out.Failed() && (c = source.Next()) >= 0;) {
        const bool crlf = c == '\r' && source.Peek() == '\n';
        if (c == '\n' || crlf) {
            if (crlf)
                source.Next();
            if (previous == ' ' || previous == '\t')
                out.Put(crlf ? "=\r\n" : "=\n", crlf ? 3 : 2);
            out.Put(crlf ? "\r\n" : "\n", crlf ? 2 : 1);
            lineCount = 0;
            previous = '\n';
            continue;
        }
        if (IsQPLiteral(c)) {
            out.Put(static_cast<char>(c));
            lineCount += 1;
            previous = c;
        } else {
            const char escaped[3] = {'=', HEX_DIGITS[c >> 4], HEX_DIGITS[c & 0x0F]};
            out.Put(escaped, 3);
            lineCount += 3;
            previous = '=';
        }
        if (lineCount > QP_LIMIT) {
            out.Put("=\r\n", 3);
            lineCount = 0;
            previous = '\n';
        }
    }
    if (lineCount)
        out.Put("=\r\n", 3);
}

}  // namespace

void Base64EncodeGroup(int b1, int b2, int b3, int pad, FILE* out)
{
    if (std::ferror(out))
        return;
    char group[4];
    PutGroup(b1, b2, b3, pad, group);
    std::fwrite(group, 1, 4, out);
}

// Whole 57-byte lines, 76 characters each, straight from and into large
// blocks: the byte-by-byte path would cost more than the disk. The output is
// that of the general encoder. A failed write ends the encoding at once.
std::string Base64Text(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    char group[4];
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        PutGroup(static_cast<unsigned char>(bytes[i]), n > 1 ? static_cast<unsigned char>(bytes[i + 1]) : 0,
                 n > 2 ? static_cast<unsigned char>(bytes[i + 2]) : 0, static_cast<int>(3 - n), group);
        out.append(group, 4);
    }
    return out;
}

void Base64EncodeStream(FILE* in, FILE* out)
{
    constexpr std::size_t LINE_BYTES = 57;
    constexpr std::size_t LINES = 512;
    std::unique_ptr<unsigned char[]> input(new unsigned char[LINE_BYTES * LINES]);
    std::unique_ptr<char[]> output(new char[(76 + 2) * LINES]);
    std::size_t held = 0;
    bool failed = std::ferror(out) != 0;
    while (!failed) {
        const std::size_t got = std::fread(input.get() + held, 1, LINE_BYTES * LINES - held, in);
        held += got;
        const std::size_t lines = got == 0 ? 0 : held / LINE_BYTES;
        char* o = output.get();
        for (std::size_t line = 0; line < lines; ++line) {
            const unsigned char* b = input.get() + line * LINE_BYTES;
            for (std::size_t k = 0; k < LINE_BYTES; k += 3, o += 4) {
                const unsigned bits = unsigned(b[k]) << 16 | unsigned(b[k + 1]) << 8 | b[k + 2];
                o[0] = BASE64_ALPHABET[bits >> 18];
                o[1] = BASE64_ALPHABET[(bits >> 12) & 0x3F];
                o[2] = BASE64_ALPHABET[(bits >> 6) & 0x3F];
                o[3] = BASE64_ALPHABET[bits & 0x3F];
            }
            *o++ = '\r';
            *o++ = '\n';
        }
        const std::size_t size = static_cast<std::size_t>(o - output.get());
        if (size && (std::fwrite(output.get(), 1, size, out) != size || std::ferror(out))) {
            failed = true;
            break;
        }
        held -= lines * LINE_BYTES;
        std::memmove(input.get(), input.get() + lines * LINE_BYTES, held);
        if (got == 0)
            break;
    }
    if (!failed && held) {
        // The last, short line goes through the general encoder for its padding.
        COutBuffer buffer(out);
        for (std::size_t k = 0; k < held; k += 3) {
            const std::size_t n = std::min<std::size_t>(3, held - k);
            char group[4];
            PutGroup(input[k], n > 1 ? input[k + 1] : 0, n > 2 ? input[k + 2] : 0, static_cast<int>(3 - n), group);
            buffer.Put(group, 4);
        }
        buffer.Put("\r\n", 2);
    }
    std::fflush(out);
}

void Base64EncodeText(const char* text, FILE* out)
{
    {
        CTextSource source(text);
        COutBuffer buffer(out);
        Base64Encode(source, buffer, BASE64_TEXT_LIMIT);
    }
    std::fflush(out);
}

void QPEncodeStream(FILE* in, FILE* out)
{
    CStreamSource source(in);
    COutBuffer buffer(out);
    QPEncode(source, buffer);
}

void QPEncodeText(const char* text, FILE* out)
{
    CTextSource source(text);
    COutBuffer buffer(out);
    QPEncode(source, buffer);
}
