#include "sendvale/Setup.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Console.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "quillant/Globals.h"
#include "quillant/Quillant.h"
#include "transport/ServerName.h"
#include "transport/Settings.h"

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

// A value that goes into a server command is refused rather than changed: a
// line break would end the command early and start another, a NUL byte would
// cut it, and a cut login name or password logs in as someone else.
bool ReadCommandValue(const char* key, char (&value)[128], std::size_t limit)
{
    const std::size_t count = Platform::GetProfileString(SECTION, key, "", value, VALUE_SIZE);
    const char* problem = nullptr;
    if (count != std::strlen(value) || std::strpbrk(value, "\r\n"))
        problem = "holds a line break or a NUL byte";
    else if (count > limit)
        problem = "is too long";
    if (!problem)
        return true;
    std::fprintf(stderr, "%s: %s in %s %s", g_ProgramName, key, Platform::ProfileLocation().c_str(), problem);
    if (count > limit)
        std::fprintf(stderr, " (at most %d characters)", static_cast<int>(limit));
    std::fputs(".\n", stderr);
    return false;
}

// An optional login setting fills its buffer only while the buffer is empty.
template <std::size_t N>
bool TakeIfEmpty(char (&setting)[N], const char* key)
{
    if (setting[0])
        return true;
    char value[128];
    const bool taken = ReadCommandValue(key, value, N - 1);
    CopyText(setting, N, taken ? value : "");
    return taken;
}

// The other optional settings, likewise; their buffers hold every value read.
void TakeOtherIfEmpty(char (&setting)[128], const char* key)
{
    if (!setting[0])
        ReadSetupValue(key, setting);
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
        g_TransportSettings.m_TimeoutSeconds = static_cast<int>(seconds);
}

int NotInitialized()
{
    std::fprintf(stderr, "%s: Not initialized.\r\nRun: %s -init\n\n", g_ProgramName, g_ProgramName);
    return 0;
}

// The transport's keys go into commands and file names, where a line break
// must not end a line early.
std::string ReadOneLineValue(const char* key)
{
    char value[128];
    ReadSetupValue(key, value);
    BlankLineBreaks(value);
    return value;
}

bool BadValue(const char* key, const char* expected)
{
    std::fprintf(stderr, "%s: Bad %s in %s: expected %s.\n", g_ProgramName, key,
                 Platform::ProfileLocation().c_str(), expected);
    return false;
}

// An absent key keeps the default; a wrong one is refused rather than
// ignored, since a batch job relies on what it asked for.
bool ReadWholeNumber(const char* key, long high, int& setting)
{
    char value[128];
    ReadSetupValue(key, value);
    if (!value[0])
        return true;
    errno = 0;
    char* end = nullptr;
    const long number = std::strtol(value, &end, 10);
    if (errno != 0 || *end != '\0' || value[0] < '0' || value[0] > '9' || number > high) {
        const std::string expected = "a whole number from 0 to " + std::to_string(high);
        return BadValue(key, expected.c_str());
    }
    setting = static_cast<int>(number);
    return true;
}

// A password others can read is no longer secret, and a command others can
// change runs whatever they put there.
bool ProfileKeepsSecrets(const CTransportSettings& settings)
{
    bool othersRead, othersWrite;
    Platform::ProfileOpenToOthers(othersRead, othersWrite);
    const char* held = nullptr;
    const char* access = nullptr;
    if (!settings.m_SmtpPassword.Empty() && othersRead) {
        held = "an SMTP password";
        access = "read";
    } else if (!settings.m_PasswordCommand.empty() && othersWrite) {
        held = "an SMTP password command";
        access = "write";
    }
    if (!held)
        return true;
    const std::string file = Platform::ProfileLocation();
    std::fprintf(stderr, "%s: %s holds %s but others can %s it; run: chmod 600 %s\n", g_ProgramName,
                 file.c_str(), held, access, file.c_str());
    return false;
}

bool LoadTransportSettings()
{
    CTransportSettings& settings = g_TransportSettings;
    settings.m_CaFile = ReadOneLineValue("CA File");
    char user[128];
    if (!ReadCommandValue("SMTP User", user, VALUE_SIZE - 1))
        return false;
    settings.m_SmtpUser = user;
    settings.m_PasswordCommand = ReadOneLineValue("SMTP Password Command");
    char password[128];
    ReadSetupValue("SMTP Password", password);
    BlankLineBreaks(password);
    settings.m_SmtpPassword.Assign(password);
    Platform::WipeMemory(password, sizeof password);
    if (!ProfileKeepsSecrets(settings)) {
        settings.m_SmtpPassword.Wipe();
        return false;
    }
    const std::string fingerprint = ReadOneLineValue("TLS Fingerprint");
    if (!NormalizeFingerprint(fingerprint, settings.m_Fingerprint) && !fingerprint.empty())
        return BadValue("TLS Fingerprint", "64 hex digits");
    if (!NormalizeAuthMechanism(ReadOneLineValue("SMTP Auth"), settings.m_SmtpAuth)) {
        settings.m_SmtpAuth.clear();
        return BadValue("SMTP Auth", "plain, login, xoauth2 or oauthbearer");
    }
    return ReadWholeNumber("Retries", MAX_RETRIES, settings.m_Retries)
        && ReadWholeNumber("Retry Delay", MAX_RETRY_DELAY_SECONDS, settings.m_RetryDelaySeconds);
}

// The URL forms of HOST that log in to the mail server.
bool HostLogsIn()
{
    char host[128];
    ReadSetupValue("HOST", host);
    CServerName server;
    return ParseServer(host, false, server) == ServerNameStatus::OK
        && (server.m_Scheme == ServerScheme::SUBMISSION || server.m_Scheme == ServerScheme::SMTPS);
}

// Such profiles were used before, so this is a warning, not a refusal.
void WarnOfOpenNntpPassword()
{
    bool othersRead, othersWrite;
    if (!g_NntpPassword[0] || !Platform::ProfileOpenToOthers(othersRead, othersWrite) || !othersRead)
        return;
    const std::string file = Platform::ProfileLocation();
    std::fprintf(stderr, "%s: warning: %s holds an NNTP password that others can read; run: chmod 600 %s\n",
                 g_ProgramName, file.c_str(), file.c_str());
}

}  // namespace

int LoadSetup(CQuillant& mail)
{
    if (!Platform::ProfileKindUsable()) {
        std::fprintf(stderr, "%s: %s is not a regular file or a pipe.\n", g_ProgramName,
                     Platform::ProfileLocation().c_str());
        return 0;
    }
    char value[128];
    ReadSetupValue("HOST", value);
    if (!value[0])
        return NotInitialized();
    CopyText(g_SmtpHost, sizeof g_SmtpHost, value);
    ReadSetupValue("Return Address", value);
    if (!value[0])
        return NotInitialized();
    mail.SetSender(value);
    if (!TakeIfEmpty(g_NntpUser, "NNTP User") || !TakeIfEmpty(g_NntpPassword, "NNTP Passws"))
        return 0;
    WarnOfOpenNntpPassword();
    TakeOtherIfEmpty(g_NntpHost, "NNTP HOST");
    TakeOtherIfEmpty(g_Organization, "Organization");
    LoadTimeout();
    return LoadTransportSettings() ? 1 : 0;
}

bool PromptSetupValue(const char* key, const char* description, FILE* in, bool masked)
{
    char current[128];
    ReadSetupValue(key, current);
    std::fprintf(stderr, "%s (%s): ", description, masked && current[0] ? "********" : current);
    std::fflush(stderr);
    char answer[128];
    bool stored = false;
    if (!Platform::ReadConsoleLine(answer, VALUE_SIZE, in)) {
        std::fputs("\n", stderr);
    } else {
        if (answer[0] == '\0' || answer[0] == '\n' || answer[0] == '\r')
            CopyText(answer, sizeof answer, current);
        // The line end that closed the answer is not part of the value.
        answer[std::strcspn(answer, "\n")] = '\0';
        stored = Platform::WriteProfileString(SECTION, key, answer);
        if (!stored)
            std::fprintf(stderr, "%s: Unable to store '%s' in %s.\n", g_ProgramName, key,
                         Platform::ProfileLocation().c_str());
    }
    if (masked) {
        Platform::WipeMemory(current, sizeof current);
        Platform::WipeMemory(answer, sizeof answer);
    }
    return stored;
}

int RunSetup(FILE* in)
{
    std::fprintf(stderr, "%s: Setup\r\n\r\n", g_ProgramName);
    if (!PromptSetupValue("HOST", "Your mail server", in))
        return -1;
    if (HostLogsIn() && (!PromptSetupValue("SMTP User", "Login name on mail server", in) ||
                         !PromptSetupValue("SMTP Password", "Login password on mail server", in, true)))
        return -1;
    if (!PromptSetupValue("Return Address", "Default return path (Your email address)", in) ||
        !PromptSetupValue("Organization", "Organization (not required)", in))
        return -1;
    std::fprintf(stderr, "\nThe following applies only if you will use %s to\npost usenet messages.\n",
                 g_ProgramName);
    if (PromptSetupValue("NNTP HOST", "Your NNTP server", in) &&
        PromptSetupValue("NNTP User", "Login name on server", in))
        PromptSetupValue("NNTP Passws", "Login pawssword on server", in, true);
    return -1;
}
