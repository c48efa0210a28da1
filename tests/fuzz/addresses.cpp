// Receivers, senders and address-list files from up to 8 pieces of input:
// each piece's first byte says what its rest is given to (To, Cc, Bcc, From,
// the sender, or a list file "@name" for To); the input's first byte turns
// news mode on.
// Invariants: no CR, LF or NUL in the receiver list, in an envelope address
// or newsgroup, or in the written header block other than as a fold before
// a blank; every envelope address is in "<" and ">".
#include <cstring>

#include "quillant/Globals.h"
#include "quillant/Quillant.h"
#include "tests/fuzz/support/FuzzCheck.h"
#include "tests/fuzz/support/FuzzFiles.h"
#include "transport/Envelope.h"

namespace {

bool Clean(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos; }

void Give(CQuillant& mail, const std::string& piece, int index)
{
    const std::string rest = piece.substr(piece.empty() ? 0 : 1);
    const char* text = rest.c_str();
    try {
        switch (piece.empty() ? 0 : piece[0] % 6) {
        case 0: mail.AddTo(text); break;
        case 1: mail.AddCc(text); break;
        case 2: mail.AddBcc(text); break;
        case 3: mail.SetFrom(text); break;
        case 4: mail.SetSender(text); break;
        default: mail.AddTo(("@" + Fuzz::WriteFile("list" + std::to_string(index), rest)).c_str()); break;
        }
    } catch (CSMTPError*) {
        // refused input: what was taken before it must still be sound
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    g_Verbose = 0;
    CQuillant mail;
    mail.m_NewsMode = data[0] & 1;
    int index = 0;
    for (const std::string& piece : Fuzz::Pieces(Fuzz::Bytes(data + 1, size - 1), 8))
        Give(mail, piece, index++);

    const std::string list = mail.m_Receivers.value_or("");
    Fuzz::Require(Clean(list), "no line break or NUL in the receiver list", list);
    EachEnvelopeReceiver(list, [](const std::string& address) {
        Fuzz::Require(Clean(address) && address.size() >= 2 && address.front() == '<' && address.back() == '>',
                      "an envelope receiver is a clean <address>", address);
    });
    const std::string sender = EnvelopeSender(mail.GetHeader("X-Sender", nullptr));
    Fuzz::Require(Clean(sender) && sender.front() == '<' && sender.back() == '>', "the envelope sender is clean");
    Fuzz::Require(Clean(FirstNewsgroup(list)), "the newsgroup is clean");

    CFilePtr out(std::tmpfile());
    Fuzz::Require(out != nullptr, "temporary file");
    WriteHeaders(mail.m_Headers.get(), out.get());
    const std::string headers = Fuzz::ContentOf(out.get());
    Fuzz::Require(Fuzz::OnlyCrLf(headers) && headers.find('\0') == std::string::npos,
                  "headers hold only CR LF line ends and no NUL");
    for (std::string_view line : Fuzz::Lines(headers))
        Fuzz::Require(line.size() <= 998 && !line.empty() && (line[0] == ' ' || line[0] == '\t' || line.find(": ") != std::string_view::npos),
                      "each header line starts a field or continues one");
    return 0;
}
