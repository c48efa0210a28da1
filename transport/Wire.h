// The byte-level rules of the line protocols: the data's wire form and where
// a reply ends.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

constexpr std::size_t SEND_CHUNK_SIZE = 1024;
constexpr std::size_t REPLY_BUFFER_SIZE = 4096;  // 4095 bytes kept and a NUL

// Turns message bytes into their wire form: CR LF, bare LF and bare CR all go
// out as CR LF, and a line that begins with "." gets one more in front. State
// carries over between calls, so the text may arrive in any pieces.
class CWireEncoder {
public:
    void Encode(const char* data, std::size_t size, std::string& out);

private:
    bool m_LineStart = true;
    bool m_AfterCR = false;
};

// Reads the spool to its end and hands its wire form on in chunks of
// SEND_CHUNK_SIZE bytes, the last one shorter; an empty spool gives none.
// False when the spool cannot be read.
bool ForEachWireChunk(FILE* spool, const std::function<void(const char*, std::size_t)>& send);

// Finds the end of a reply: the first line ending in CR LF whose fourth byte
// is not "-" (a "250-" line is continued, "250 " or a short line is final).
class CReplyScanner {
public:
    // How many of the bytes belong to the reply; complete is set when its
    // end lies among them.
    std::size_t Scan(const char* data, std::size_t size, bool& complete);

private:
    std::size_t m_LineLength = 0;
    char m_Fourth = 0;
    bool m_AfterCR = false;
};
