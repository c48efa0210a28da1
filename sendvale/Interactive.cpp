#include "sendvale/Driver.h"

#include <cstdio>

#include "quillant/Globals.h"
#include "sendvale/BodyInput.h"
#include "sendvale/Prompt.h"
#include "sendvale/Usage.h"
#include "transport/SMTPEmail.h"

namespace {

using AddReceiver = void (CQuillant::*)(const char*);

// Each answer goes whole to add, commas included; an empty answer or the
// end of input ends the loop. One character more than a receiver may hold is
// read, so that a longer answer is refused rather than cut in two.
void AskReceivers(const char* label, CQuillant& mail, AddReceiver add, FILE* in)
{
    char line[128];
    const char* hint = nullptr;
    while (PromptLine(label, hint, line, sizeof line, in) && line[0]) {
        (mail.*add)(line);
        hint = "Add one more or leave blank";
    }
}

void AskSubject(CQuillant& mail, FILE* in)
{
    if (mail.GetHeader("Subject", "")[0])
        return;
    char line[128];
    if (PromptLine("Subject", nullptr, line, 127, in) && line[0])
        mail.SetSubject(line);
}

}  // namespace

std::optional<int> RunInteractive(CSMTPEmail& mail, CConsoleInput& input)
{
    g_Verbose = 1;
    if (g_TextFiles.empty())
        input.m_TextSource = input.m_Console;
    std::fprintf(stderr, "%s %s\n\nGoing interactive - no receivers are specified.\n", PRODUCT_NAME,
                 BANNER_TEXT);
    if (mail.m_NewsMode == 1) {
        AskReceivers("Newsgroup", mail, &CQuillant::AddTo, input.m_Console);
    } else {
        AskReceivers("To", mail, &CQuillant::AddTo, input.m_Console);
        AskReceivers("Cc", mail, &CQuillant::AddCc, input.m_Console);
        AskReceivers("Bcc", mail, &CQuillant::AddBcc, input.m_Console);
    }
    AskSubject(mail, input.m_Console);
    if (!mail.m_Receivers) {
        std::fputs("You must send the mail to someone...\n", stderr);
        return Usage(nullptr);
    }
    return std::nullopt;
}
