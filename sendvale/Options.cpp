#include "sendvale/Driver.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quillant/Globals.h"
#include "sendvale/BodyInput.h"
#include "sendvale/Usage.h"
#include "transport/SMTPEmail.h"

int g_PauseAfterSend = 0;
int g_DryRun = 0;
StringList g_AttachmentFiles;
int g_CheckServers = 0;

namespace {

using AddReceiver = void (CQuillant::*)(const char*);

// Runs of commas and commas at either end give no empty pieces; blanks stay.
void AddEachPiece(CQuillant& mail, AddReceiver add, const char* list)
{
    std::string piece;
    for (const char* p = list;; ++p) {
        if (*p == ',' || *p == '\0') {
            if (!piece.empty())
                (mail.*add)(piece.c_str());
            piece.clear();
            if (*p == '\0')
                return;
        } else {
            piece += *p;
        }
    }
}

// The decimal number at the start of the text, 0 when there is none.
int LeadingNumber(const char* text)
{
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// A value from the command line must not break the header block.
void SetOrganization(const char* text)
{
    CopyText(g_Organization, sizeof g_Organization, text);
    BlankLineBreaks(g_Organization);
}

// A cut host name would reach some other server: refuse it instead.
bool SetSmtpHost(const char* text)
{
    if (std::strlen(text) >= sizeof g_SmtpHost) {
        std::fprintf(stderr, "%s: SMTP server name is longer than 127 characters.\n", g_ProgramName);
        return false;
    }
    CopyText(g_SmtpHost, sizeof g_SmtpHost, text);
    return true;
}

// Flag options: their letter alone decides; characters after it are ignored.
bool ApplyFlag(char letter, CSMTPEmail& mail, CConsoleInput& input)
{
    switch (letter) {
    case 'd': g_Debug = 1; return true;
    case 'v': g_Verbose = 1; return true;
    case 'p': g_PauseAfterSend = 1; return true;
    case 'C': mail.m_HtmlErrorReport = 0; return true;
    case '.': g_DotTerminator = 1; return true;
    case 'a': mail.m_OemToAnsi = 1; return true;
    case '-': input.m_TextSource = input.m_Console; return true;
    case 'm': mail.m_UseMime = 0; return true;
    case 'u': mail.m_NewsMode = 1; return true;
    case 'n': g_DryRun = 1; return true;
    default: return false;
    }
}

// Options whose argument is the rest of the same word.
bool ApplyValueOption(char letter, const char* arg, CSMTPEmail& mail)
{
    switch (letter) {
    case 's': mail.SetSubject(arg); return true;
    case 'f': mail.SetFrom(arg); return true;
    case 'i': AppendString(arg, g_AttachmentFiles); return true;
    case 't': AppendString(arg, g_TextFiles); return true;
    case 'P': mail.SetPriority(LeadingNumber(arg)); return true;
    case 'o': SetOrganization(arg); return true;
    case 'c': AddEachPiece(mail, &CQuillant::AddCc, arg); return true;
    case 'b': AddEachPiece(mail, &CQuillant::AddBcc, arg); return true;
    default: return false;
    }
}

std::optional<int> ApplyOption(const char* word, CSMTPEmail& mail, CConsoleInput& input)
{
    // Only the whole word: "--" and any other "--word" still select standard input.
    if (std::strcmp(word, "--check") == 0) {
        g_CheckServers = 1;
        return std::nullopt;
    }
    const char letter = word[1];
    if (letter == 'h')
        return Usage(nullptr);
    if (letter == 'x') {
        if (!SetSmtpHost(word + 2))
            return -1;
        return std::nullopt;
    }
    if (letter != '\0' && (ApplyFlag(letter, mail, input) || ApplyValueOption(letter, word + 2, mail)))
        return std::nullopt;
    Usage(word);  // unknown options are reported and skipped
    return std::nullopt;
}

}  // namespace

std::optional<int> ApplyArguments(int argc, char** argv, CSMTPEmail& mail, CConsoleInput& input)
{
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word[0] != '-') {
            AddEachPiece(mail, &CQuillant::AddTo, word);
            continue;
        }
        if (std::optional<int> status = ApplyOption(word, mail, input))
            return status;
    }
    return std::nullopt;
}
