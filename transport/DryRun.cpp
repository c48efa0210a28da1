#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "quillant/Globals.h"
#include "transport/Envelope.h"
#include "transport/SMTPEmail.h"
#include "transport/Spool.h"
#include "transport/Wire.h"

namespace {

enum class CopyStatus { OK, READ_FAILED, WRITE_FAILED };

// The spool in canonical form, as the server keeps it once it has undone
// the dot-stuffing: the line end that starts the end-of-data line is the
// message's last one.
CopyStatus CopyCanonical(FILE* spool, FILE* out)
{
    CWireEncoder encoder(false);
    std::unique_ptr<char[]> block(new char[SPOOL_BLOCK_SIZE]);
    std::string canonical;
    canonical.reserve(SPOOL_BLOCK_SIZE + 2);
    std::size_t n;
    while ((n = std::fread(block.get(), 1, SPOOL_BLOCK_SIZE, spool)) > 0) {
        canonical.clear();
        encoder.Encode(block.get(), n, canonical);
        if (std::fwrite(canonical.data(), 1, canonical.size(), out) != canonical.size())
            return CopyStatus::WRITE_FAILED;
    }
    if (std::ferror(spool))
        return CopyStatus::READ_FAILED;
    if (std::fputs("\r\n", out) == EOF)
        return CopyStatus::WRITE_FAILED;
    return std::fflush(out) == 0 ? CopyStatus::OK : CopyStatus::WRITE_FAILED;
}

}  // namespace

int CSMTPEmail::DryRun(FILE* out, FILE* envelope)
{
    try {
        return ShowMessage(out, envelope);
    } catch (CSMTPError*) {
        return m_ErrorCode;
    } catch (const std::bad_alloc&) {
        m_ErrorCode = ERR_NO_MEMORY;
    } catch (...) {
        m_ErrorCode = ERR_UNKNOWN;
    }
    return m_ErrorCode;
}

// The same steps as a send up to the connection, so the headers match.
int CSMTPEmail::ShowMessage(FILE* out, FILE* envelope)
{
    StartNetwork();
    LearnLocalHostName();
    AddTransportHeaders();
    CSpoolFile spool;
    if (const int result = WriteSpool(spool))
        return result;
    if (envelope) {
        const std::string receivers = m_Receivers.value_or("");
        if (m_NewsMode == 1) {
            std::fprintf(envelope, "Newsgroups: %s\n", receivers.c_str());
        } else {
            std::fprintf(envelope, "MAIL FROM:%s\n", EnvelopeSender(GetHeader("X-Sender", nullptr)).c_str());
            for (const std::string& receiver : EnvelopeReceivers(receivers))
                std::fprintf(envelope, "RCPT TO:%s\n", receiver.c_str());
        }
    }
    const CopyStatus status = CopyCanonical(spool.File(), out);
    if (status == CopyStatus::OK)
        return 0;
    if (Chatty()) {
        if (status == CopyStatus::READ_FAILED)
            std::fprintf(stderr, "Unable to read tmp file '%s'. Aborting.\n", spool.Name());
        else
            std::fputs("Unable to write the message to standard output.\n", stderr);
    }
    Raise(status == CopyStatus::READ_FAILED ? ERR_TEMP_FILE : ERR_SEND);
}
