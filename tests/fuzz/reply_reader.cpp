// Server bytes read as replies, whole and in pieces of 1 to 16 bytes.
// Invariants: every reply returned is well formed and is exactly what the
// line rules below make of the bytes; how the bytes were cut changes nothing.
#include <cstring>

#include "quillant/Globals.h"
#include "tests/fuzz/support/FuzzCheck.h"
#include "tests/fuzz/support/MemoryServer.h"
#include "transport/SMTPEmail.h"
#include "transport/ServerLink.h"
#include "transport/Wire.h"

namespace {

struct CReading {
    std::vector<std::string> m_Replies;
    int m_EndCode = 0;
};

// A line ends at the first CR LF; a reply at the first line whose fourth
// byte is not "-". Well formed: each line holds three digits and then a
// blank, "-" or its CR. Only the head of a long reply is kept, up to a NUL.
CReading Model(std::string_view bytes)
{
    CReading reading;
    while (true) {
        std::string reply;
        bool wellFormed = true;
        bool complete = false;
        while (!complete) {
            const std::size_t end = bytes.find("\r\n");
            if (end == std::string_view::npos) {
                reading.m_EndCode = ERR_RECEIVE;
                return reading;
            }
            const std::string_view line = bytes.substr(0, end + 2);
            bytes.remove_prefix(end + 2);
            const auto digit = [](char c) { return c >= '0' && c <= '9'; };
            const char fourth = line.size() >= 5 ? line[3] : '\0';
            wellFormed = wellFormed && line.size() >= 5 && digit(line[0]) && digit(line[1]) && digit(line[2])
                && (fourth == ' ' || fourth == '-' || fourth == '\r');
            complete = fourth != '-';
            reply += line;
        }
        if (!wellFormed) {
            reading.m_EndCode = ERR_RECEIVE;
            return reading;
        }
        reply.resize(std::min(reply.size(), REPLY_BUFFER_SIZE - 1));
        reading.m_Replies.push_back(reply.substr(0, reply.find('\0')));
    }
}

CReading Read(CSMTPEmail& mail, std::vector<std::string> pieces)
{
    MemoryServer::Play(std::move(pieces));
    CServerLink link;
    link.m_Socket.Reset(Platform::OpenStreamSocket({}));
    CReading reading;
    try {
        while (true)
            reading.m_Replies.emplace_back(mail.ReceiveReply(link, 1));
    } catch (CSMTPError* e) {
        reading.m_EndCode = e->m_ErrorCode;
    }
    return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t k = data[0] % 16 + 1;
    const std::string bytes(Fuzz::Bytes(data + 1, size - 1));
    g_Verbose = 0;
    g_Debug = 0;
    CSMTPEmail mail;
    const CReading whole = Read(mail, {bytes});
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += k)
        pieces.push_back(bytes.substr(at, k));
    const CReading cut = Read(mail, pieces);
    const CReading model = Model(bytes);
    Fuzz::Require(whole.m_Replies == cut.m_Replies && whole.m_EndCode == cut.m_EndCode,
                  "the same replies however the bytes are cut");
    Fuzz::Require(whole.m_Replies == model.m_Replies && whole.m_EndCode == model.m_EndCode,
                  "replies as the line rules make them");
    for (const std::string& reply : whole.m_Replies)
        Fuzz::Require(reply.size() >= 4 && reply.find_first_not_of("0123456789") == 3, "a reply starts with its code");
    return 0;
}
