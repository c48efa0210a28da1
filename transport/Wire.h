// The byte-level rules of the line protocols: the data's wire form and where
// a reply ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

constexpr std::size_t REPLY_BUFFER_SIZE = 4096;  // 4095 bytes kept and a NUL
// The spool is read, and encoded bytes are gathered, in blocks of this size;
// memory stays flat whatever the message's size.
constexpr std::size_t SPOOL_BLOCK_SIZE = 128 * 1024;
// A run of bytes already in wire form at least this long goes out straight
// from the spool file; shorter ones are gathered with the encoded bytes.
constexpr std::size_t MIN_FILE_RUN = 16 * 1024;

// Turns message bytes into their wire form: CR LF, bare LF and bare CR all go
// out as CR LF, and a line that begins with "." gets one more in front. State
// carries over between calls, so the text may arrive in any pieces.
class CWireEncoder {
public:
    // Without stuffDots only the line ends change: the canonical form.
    explicit CWireEncoder(bool stuffDots = true) : m_StuffDots(stuffDots) {}
    void Encode(const char* data, std::size_t size, std::string& out);
    // How many of the bytes, from the first, Encode would pass on unchanged;
    // the state moves past them as if they had been encoded.
    std::size_t Unchanged(const char* data, std::size_t size);

private:
    bool m_StuffDots;
    bool m_LineStart = true;
    bool m_AfterCR = false;
};

// Reads the spool from its current position to its end and hands its wire
// form on in order: encoded bytes through send (at most SPOOL_BLOCK_SIZE at
// a time), and long runs that need no change through sendRun with their
// offset in the file (counted from where reading began), so they can go out
// straight from it. False when the spool cannot be read.
bool ForEachWirePiece(FILE* spool, std::size_t blockSize, const std::function<void(const char*, std::size_t)>& send,
                      const std::function<void(std::int64_t, const char*, std::size_t)>& sendRun);

// Finds the end of a reply: the first line ending in CR LF whose fourth byte
// is not "-" (a "250-" line is continued, "250 " or a short line is final),
// and whether every line of it is well formed: three digits, then a blank,
// "-" or the line end.
class CReplyScanner {
public:
    // How many of the bytes belong to the reply; complete is set when its
    // end lies among them.
    std::size_t Scan(const char* data, std::size_t size, bool& complete);
    bool WellFormed() const { return m_WellFormed; }

private:
    std::size_t m_LineLength = 0;
    char m_Head[4] = {};
    bool m_AfterCR = false;
    bool m_WellFormed = true;
};
