#include "transport/Wire.h"

void CWireEncoder::Encode(const char* data, std::size_t size, std::string& out)
{
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n' && m_AfterCR) {  // the LF of a CR LF already written
            m_AfterCR = false;
            continue;
        }
        m_AfterCR = c == '\r';
        if (c == '\r' || c == '\n') {
            out += "\r\n";
            m_LineStart = true;
            continue;
        }
        if (m_LineStart && c == '.')
            out += '.';
        m_LineStart = false;
        out += c;
    }
}

bool ForEachWireChunk(FILE* spool, const std::function<void(const char*, std::size_t)>& send)
{
    CWireEncoder encoder;
    std::string wire;
    char block[4096];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, spool)) > 0) {
        encoder.Encode(block, n, wire);
        std::size_t offset = 0;
        for (; wire.size() - offset >= SEND_CHUNK_SIZE; offset += SEND_CHUNK_SIZE)
            send(wire.data() + offset, SEND_CHUNK_SIZE);
        wire.erase(0, offset);
    }
    if (std::ferror(spool))
        return false;
    if (!wire.empty())
        send(wire.data(), wire.size());
    return true;
}

std::size_t CReplyScanner::Scan(const char* data, std::size_t size, bool& complete)
{
    complete = false;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n' && m_AfterCR) {
            complete = m_Fourth != '-';
            m_LineLength = 0;
            m_Fourth = 0;
            m_AfterCR = false;
            if (complete)
                return i + 1;
            continue;
        }
        if (++m_LineLength == 4)
            m_Fourth = c;
        m_AfterCR = c == '\r';
    }
    return size;
}
