// The message writer: completes the header list, then writes a multipart, a
// single-part or a plain message.
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/Clock.h"
#include "quillant/Globals.h"
#include "quillant/MessagePart.h"
#include "quillant/Quillant.h"

namespace {

const char* const MAIL_LIBRARY = "Quillant for Win32, message composition library of Sendvale";
const char* const PREAMBLE =
    "> THIS IS A MESSAGE IN 'MIME' FORMAT.  Your mail reader does not support MIME.\r\n"
    "> Some parts of this will be readable as plain text.\r\n"
    "> To see the rest, you will need to upgrade your mail reader.\r\n";

bool HeldByText(const CQuillant& mail, const std::string& boundary)
{
    for (const CMessagePart* part = mail.m_Parts.get(); part; part = part->m_Next.get())
        if (part->m_IsText && part->m_Data && part->m_Data->find(boundary) != std::string::npos)
            return true;
    return false;
}

// The three numbers are printed signed, as they were on 32-bit systems: a
// tick count past 2^31 shows a minus sign. A text that holds the boundary
// would end its part early, so the boundary then gains a number more.
// Attachments need no look: base64 has no "." or "-".
std::string MakeBoundary(const CQuillant& mail)
{
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "PART.BOUNDARY.QL.%d.%d.%d",
                  static_cast<int>(static_cast<std::int32_t>(Platform::CurrentProcessId())),
                  static_cast<int>(static_cast<std::int32_t>(Platform::CurrentTime())),
                  static_cast<int>(static_cast<std::int32_t>(Platform::TickCount())));
    std::string boundary = numbers;
    for (int n = 1; HeldByText(mail, boundary); ++n)
        boundary = numbers + ("." + std::to_string(n));
    return boundary;
}

void CompleteHeaders(CQuillant& mail)
{
    if (mail.m_UseMime)
        mail.SetHeader("MIME-Version", "1.0", 0);
    mail.SetHeader("X-MailLibrary", MAIL_LIBRARY, 0);
    if (mail.GetHeader("From", "")[0] == '\0') {
        // SetFrom copies before it changes the list, so the X-Sender text may be passed as is.
        const std::string sender = mail.GetHeader("X-Sender", "(NULL)");
        mail.SetFrom(sender.c_str());
    }
    if (g_Organization[0])
        mail.SetHeader("Organization", WithoutLineBreaks(g_Organization).c_str(), 0);
}

// Raises 1 for a header line that cannot be kept to 998 octets: no server
// need take it, and a cut one would change the message.
void PutHeaders(CQuillant& mail, FILE* out)
{
    if (!WriteHeaders(mail.m_Headers.get(), out))
        mail.Raise(ERR_BAD_ARGUMENTS);
}

// After a failed write nothing more is written: the error stays on the
// stream, and the transport fails the send on it.
bool Broken(FILE* out) { return std::ferror(out) != 0; }

// The multipart header value ends in "\r\n\r\n": being the last header, it
// closes the header block and leaves an empty first body line.
void WriteMultipart(CQuillant& mail, FILE* out)
{
    const std::string boundary = MakeBoundary(mail);
    const std::string type = "multipart/mixed;\r\n\tboundary=" + boundary + "\r\n\r\n";
    mail.SetHeader("Content-type", type.c_str(), 0);
    PutHeaders(mail, out);
    std::fputs(PREAMBLE, out);
    for (CMessagePart* part = mail.m_Parts.get(); part && !Broken(out); part = part->m_Next.get()) {
        std::fprintf(out, "\r\n--%s\r\n", boundary.c_str());
        part->WritePartHeaders(out);
        std::fputs("\r\n", out);
        part->WritePartBody(out);
    }
    if (!Broken(out))
        std::fprintf(out, "\r\n--%s--\r\n", boundary.c_str());
}

// One MIME part: its Content-type and Content-Transfer-Encoding lines join
// the message's own header block.
void WriteSinglePart(CQuillant& mail, FILE* out)
{
    PutHeaders(mail, out);
    mail.m_Parts->WritePartHeaders(out);
    std::fputs("\r\n", out);
    if (!Broken(out))
        mail.m_Parts->WritePartBody(out);
}

// Without MIME only the first part can be shown; the others are left out.
void WritePlain(CQuillant& mail, FILE* out)
{
    PutHeaders(mail, out);
    std::fputs("\r\n", out);
    if (!Broken(out))
        mail.m_Parts->WritePartBody(out);
}

}  // namespace

int CQuillant::WriteOutMessage(FILE* out)
{
    try {
        return WriteMessageText(out);
    } catch (CSMTPError* error) {
        return error->m_ErrorCode;
    } catch (...) {
        std::fputs("CQuillant::WriteOutMessage() - Fatal error - processing aborted.\n", stderr);
        return -1;
    }
}

int CQuillant::WriteMessageText(FILE* out)
{
    CompleteHeaders(*this);
    if (!m_Parts)
        return 0;
    if (!m_UseMime)
        WritePlain(*this, out);
    else if (m_Parts->m_Next)
        WriteMultipart(*this, out);
    else
        WriteSinglePart(*this, out);
    return 0;
}
