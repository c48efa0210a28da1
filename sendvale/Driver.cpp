#include "sendvale/Driver.h"

#include <new>
#include <string>

#include "platform/Console.h"
#include "quillant/Globals.h"
#include "sendvale/BodyInput.h"
#include "sendvale/Setup.h"
#include "sendvale/Usage.h"
#include "transport/Check.h"
#include "transport/SMTPEmail.h"

namespace {

int ReportOutcome(const CSMTPEmail& mail, int code)
{
    if (!g_Verbose)
        return code;
    if (code != 0)
        std::fprintf(stderr, "%s: Error: %s\n", g_ProgramName, ErrorText(code));
    else if (g_DryRun)
        std::fprintf(stderr, "%s: Dry run: nothing was sent.\n", g_ProgramName);
    else if (mail.m_NewsMode == 1)
        std::fprintf(stderr, "%s: Message was successfully posted.\n", g_ProgramName);
    else
        std::fprintf(stderr, "%s: Email was successfully sent.\n", g_ProgramName);
    return code;
}

// Options, interactive mode and the parts: everything before Send that can
// end the run. A receiver error (already reported by the operation in
// verbose or debug mode) ends it with its code, before anything is sent.
std::optional<int> Compose(int argc, char** argv, CSMTPEmail& mail, FILE* console)
{
    CConsoleInput input;
    input.m_Console = console;
    try {
        if (std::optional<int> status = ApplyArguments(argc, argv, mail, input))
            return status;
        if (g_CheckServers)
            return CheckServers(mail, stdout);
        if (!g_AttachmentFiles.empty() && mail.m_UseMime == 0)
            return Usage("-m and -i can not be combined");
        if (!mail.m_Receivers)
            if (std::optional<int> status = RunInteractive(mail, input))
                return status;
        std::string text;
        if (!GatherMessageText(input.m_TextSource, text))
            return -1;
        mail.AddPart(text.c_str(), PART_BODY);
        for (const std::string& name : g_AttachmentFiles)
            mail.AddPart(name.c_str(), PART_ATTACHMENT);
    } catch (CSMTPError* error) {
        if (g_Verbose)
            std::fprintf(stderr, "%s: Error: %s\n", g_ProgramName, ErrorText(error->m_ErrorCode));
        return error->m_ErrorCode;
    }
    return std::nullopt;
}

// These words work without a profile, on a machine not yet set up. Only the
// exact words count: any other word that starts with "--" still means the
// text comes from standard input.
std::optional<int> WholeWordRequest(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help")
            return Help();
        if (word == "--version")
            return Version();
    }
    return std::nullopt;
}

int Run(int argc, char** argv, CSMTPEmail& mail, FILE* console)
{
    if (argc == 2 && std::string(argv[1]) == "-init")
        return RunSetup(console);
    if (std::optional<int> status = WholeWordRequest(argc, argv))
        return *status;
    if (!LoadSetup(mail))
        return -1;
    if (std::optional<int> status = Compose(argc, argv, mail, console))
        return *status;
    mail.SetHeader("X-Mailer", BANNER_TEXT, 0);
    if (g_DryRun) {
        Platform::SetBinaryMode(stdout);
        return ReportOutcome(mail, mail.DryRun(stdout, g_Verbose ? stderr : nullptr));
    }
    return ReportOutcome(mail, mail.Send());
}

}  // namespace

int RunSendvale(int argc, char** argv, CSMTPEmail& mail, FILE* console)
{
    g_ProgramName = Platform::ProgramBaseName(argc > 0 ? argv[0] : nullptr, g_ProgramName);
    try {
        return Run(argc, argv, mail, console);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: Error: %s\n", g_ProgramName, ErrorText(ERR_NO_MEMORY));
        return ERR_NO_MEMORY;
    }
}
