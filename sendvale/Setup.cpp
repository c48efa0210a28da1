#include "sendvale/Setup.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Console.h"
#include "platform/Profile.h"
#include "quillant/Globals.h"
#include "quillant/Quillant.h"

namespace {

const char* const SECTION = "Setup";
// Values are read with the profile call's size 127, so 126 characters count.
constexpr std::size_t VALUE_SIZE = 127;
// Longer time-outs are taken for typing errors rather than intent.
constexpr long MAX_TIMEOUT_SECONDS = 86400;

void ReadSetupValue(const char* key, char (&value)[128])
{
    Platform::GetProfileString(SECTION, key, "", value, VALUE_SIZE);
}

// An optional setting fills its buffer only while the buffer is empty.
template <std::size_t N>
void TakeIfEmpty(char (&setting)[N], const char* key)
{
    if (setting[0])
        return;
    char value[128];
    ReadSetupValue(key, value);
    CopyText(setting, N, value);
}

// A "Timeout" that is not a whole number of seconds in range is ignored.
void LoadTimeout()
{
    char value[128];
    ReadSetupValue("Timeout", value);
    if (!value[0])
        return;
    errno = 0;
    char* end = nullptr;
    const long seconds = std::strtol(value, &end, 10);
    if (errno == 0 && *end == '\0' && seconds >= 1 && seconds <= MAX_TIMEOUT_SECONDS)
        g_TimeoutSeconds = static_cast<int>(seconds);
}

int NotInitialized()
{
    std::fprintf(stderr, "%s: Not initialized.\r\nRun: %s -init\n\n", g_ProgramName, g_ProgramName);
    return 0;
}

}  // namespace

int LoadSetup(CQuillant& mail)
{
    char value[128];
    ReadSetupValue("HOST", value);
    if (!value[0])
        return NotInitialized();
    CopyText(g_SmtpHost, sizeof g_SmtpHost, value);
    ReadSetupValue("Return Address", value);
    if (!value[0])
        return NotInitialized();
    mail.SetSender(value);
    TakeIfEmpty(g_NntpUser, "NNTP User");
    TakeIfEmpty(g_NntpPassword, "NNTP Passws");
    TakeIfEmpty(g_NntpHost, "NNTP HOST");
    TakeIfEmpty(g_Organization, "Organization");
    LoadTimeout();
    return 1;
}

bool PromptSetupValue(const char* key, const char* description, FILE* in)
{
    char current[128];
    ReadSetupValue(key, current);
    std::fprintf(stderr, "%s (%s): ", description, current);
    std::fflush(stderr);
    char answer[128];
    if (!Platform::ReadConsoleLine(answer, VALUE_SIZE, in)) {
        std::fputs("\n", stderr);
        return false;
    }
    if (answer[0] == '\0' || answer[0] == '\n' || answer[0] == '\r')
        CopyText(answer, sizeof answer, current);
    // The line end that closed the answer is not part of the value.
    answer[std::strcspn(answer, "\n")] = '\0';
    if (!Platform::WriteProfileString(SECTION, key, answer)) {
        std::fprintf(stderr, "%s: Unable to store '%s' in %s.\n", g_ProgramName, key,
                     Platform::ProfileLocation().c_str());
        return false;
    }
    return true;
}

int RunSetup(FILE* in)
{
    std::fprintf(stderr, "%s: Setup\r\n\r\n", g_ProgramName);
    if (!PromptSetupValue("HOST", "Your mail server", in) ||
        !PromptSetupValue("Return Address", "Default return path (Your email address)", in) ||
        !PromptSetupValue("Organization", "Organization (not required)", in))
        return -1;
    std::fprintf(stderr, "\nThe following applies only if you will use %s to\npost usenet messages.\n",
                 g_ProgramName);
    if (PromptSetupValue("NNTP HOST", "Your NNTP server", in) &&
        PromptSetupValue("NNTP User", "Login name on server", in))
        PromptSetupValue("NNTP Passws", "Login pawssword on server", in);
    return -1;
}
