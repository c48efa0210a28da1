#include "transport/Wire.h"

#include <algorithm>
#include <cstring>
#include <memory>

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
        if (m_LineStart && c == '.' && m_StuffDots)
            out += '.';
        m_LineStart = false;
        out += c;
    }
}

std::size_t CWireEncoder::Unchanged(const char* data, std::size_t size)
{
    if (m_AfterCR && size > 0 && data[0] == '\n')
        return 0;  // the LF of a CR LF already written is dropped, not passed on
    std::size_t i = 0;
    while (i < size && !(m_LineStart && data[i] == '.')) {
        // Whole lines ending in CR LF with no other CR in them pass as they are.
        const void* lf = std::memchr(data + i, '\n', size - i);
        const std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - data) : size;
        const void* cr = std::memchr(data + i, '\r', end - i);
        const std::size_t firstCr = cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - data) : end;
        if (lf && firstCr + 1 == end) {
            i = end + 1;
            m_LineStart = true;
            continue;
        }
        // A bare CR or LF needs the encoder, and so does a CR whose LF may
        // begin the next block.
        if (firstCr > i)
            m_LineStart = false;
        i = firstCr;
        break;
    }
    if (i > 0)
        m_AfterCR = false;
    return i;
}

bool ForEachWirePiece(FILE* spool, std::size_t blockSize, const std::function<void(const char*, std::size_t)>& send,
                      const std::function<void(std::int64_t, const char*, std::size_t)>& sendRun)
{
    CWireEncoder encoder;
    std::string gathered;
    gathered.reserve(blockSize + 2);
    std::unique_ptr<char[]> block(new char[blockSize]);
    std::int64_t offset = 0;
    auto flush = [&] {
        if (!gathered.empty())
            send(gathered.data(), gathered.size());
        gathered.clear();
    };
    std::size_t n;
    while ((n = std::fread(block.get(), 1, blockSize, spool)) > 0) {
        const char* data = block.get();
        for (std::size_t i = 0; i < n;) {
            const std::size_t run = encoder.Unchanged(data + i, n - i);
            if (run >= MIN_FILE_RUN) {
                flush();
                sendRun(offset + static_cast<std::int64_t>(i), data + i, run);
            } else {
                gathered.append(data + i, run);
            }
            i += run;
            if (i < n)
                encoder.Encode(data + i++, 1, gathered);
            if (gathered.size() >= blockSize)
                flush();
        }
        offset += static_cast<std::int64_t>(n);
    }
    if (std::ferror(spool))
        return false;
    flush();
    return true;
}

std::size_t CReplyScanner::Scan(const char* data, std::size_t size, bool& complete)
{
    complete = false;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n' && m_AfterCR) {
            const auto digit = [](char d) { return d >= '0' && d <= '9'; };
            const char fourth = m_Head[3];
            m_WellFormed = m_WellFormed && m_LineLength >= 4 && digit(m_Head[0]) && digit(m_Head[1])
                && digit(m_Head[2]) && (fourth == ' ' || fourth == '-' || fourth == '\r');
            complete = fourth != '-';
            m_LineLength = 0;
            std::fill(m_Head, m_Head + 4, '\0');
            m_AfterCR = false;
            if (complete)
                return i + 1;
            continue;
        }
        if (m_LineLength < 4)
            m_Head[m_LineLength] = c;
        ++m_LineLength;
        m_AfterCR = c == '\r';
    }
    return size;
}
