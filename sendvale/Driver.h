// One run of sendvale: setup, command line, interactive mode, message text,
// delivery and the outcome.
#pragma once

#include <cstdio>
#include <optional>

#include "sendvale/StringList.h"

class CSMTPEmail;

extern int g_PauseAfterSend;        // -p: accepted, consulted by nothing
extern int g_DryRun;                // -n: compose and show the message, send nothing
extern StringList g_AttachmentFiles; // -i names, in command-line order
extern int g_CheckServers;          // --check: the servers are checked, nothing is sent

// The mail object of the process; it exists before main runs.
extern CSMTPEmail g_Mail;

// Where a run reads: the console for prompts, and the text source of the
// message text (null for none, else the console) chosen by -- or interactive
// mode.
struct CConsoleInput {
    FILE* m_Console = nullptr;
    FILE* m_TextSource = nullptr;
};

// The whole run; returns the exit status.
int RunSendvale(int argc, char** argv, CSMTPEmail& mail, FILE* console);

// Applies the words after argv[0] in command-line order. Returns an exit
// status when the run ends here (-h, an over-long -x), else nothing. Errors
// of the receiver operations pass on as CSMTPError*.
std::optional<int> ApplyArguments(int argc, char** argv, CSMTPEmail& mail, CConsoleInput& input);

// Asks for receivers and the subject. Returns -1 when still no receiver was
// given, else nothing. Errors of the receiver operations pass on.
std::optional<int> RunInteractive(CSMTPEmail& mail, CConsoleInput& input);
