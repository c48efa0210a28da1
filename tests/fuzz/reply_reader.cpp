// Server bytes read as replies, whole and in pieces of 1 to 16 bytes.
// Invariants: every reply returned is well formed and is exactly what the
// line rules below make of the bytes; how the bytes were cut changes nothing.
#include <algorithm>
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

// The replies the line rules make of bytes, up to the first that is not
// well formed or not whole, which ends the reading with 8. Only the head of
// a long reply is kept, up to a NUL.
CReading Model(std::string_view bytes)
{
    CReading reading;
    for (Fuzz::CModelReply reply; Fuzz::TakeReply(bytes, reply) && reply.m_WellFormed;) {
        reply.m_Text.resize(std::min(reply.m_Text.size(), REPLY_BUFFER_SIZE - 1));
        reading.m_Replies.push_back(reply.m_Text.substr(0, reply.m_Text.find('\0')));
    }
    reading.m_EndCode = ERR_RECEIVE;
    return reading;
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
