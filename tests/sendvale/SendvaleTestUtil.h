// Helpers shared by the sendvale unit tests: console input and a clean slate
// of the process-wide settings, on top of the general test helpers.
#pragma once

#include <cstdio>
#include <string>

#include "quillant/Globals.h"
#include "transport/Settings.h"
#include "sendvale/BodyInput.h"
#include "sendvale/Driver.h"
#include "tests/support/TestUtil.h"

namespace TestUtil {

// A stream that yields the given bytes, like a pipe on standard input.
class CInput {
public:
    explicit CInput(const std::string& bytes) : m_File(std::tmpfile())
    {
        std::fwrite(bytes.data(), 1, bytes.size(), m_File);
        std::rewind(m_File);
    }
    ~CInput() { std::fclose(m_File); }
    CInput(const CInput&) = delete;
    CInput& operator=(const CInput&) = delete;
    FILE* Get() const { return m_File; }
    // What is left unread.
    std::string Rest() const
    {
        std::string rest;
        int c;
        while ((c = std::getc(m_File)) != EOF)
            rest += static_cast<char>(c);
        return rest;
    }

private:
    FILE* m_File;
};

inline void ResetDriverGlobals()
{
    g_Verbose = g_Debug = 0;
    g_DotTerminator = g_PauseAfterSend = 0;
    g_BodyLines.clear();
    g_TextFiles.clear();
    g_AttachmentFiles.clear();
    CopyText(g_SmtpHost, sizeof g_SmtpHost, "mail.invalid");
    g_Organization[0] = g_NntpHost[0] = g_NntpUser[0] = g_NntpPassword[0] = '\0';
    g_TransportSettings.m_TimeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
    g_TransportSettings.m_Retries = 0;
    g_TransportSettings.m_RetryDelaySeconds = DEFAULT_RETRY_DELAY_SECONDS;
    g_ProgramName = "sendvale";
}

}  // namespace TestUtil
