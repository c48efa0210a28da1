// The [Setup] profile section: loaded at the start of every run, written by
// the -init dialogue.
#pragma once

#include <cstdio>

class CQuillant;

// Fills the server settings and the mail object's X-Sender header from the
// profile, the general time-out from "Timeout" and g_TransportSettings from
// the TLS, login and retry keys. Returns 1, or 0 after printing "Not
// initialized" when the mail server or the return address is missing, or
// after a one-line message when a TLS, login or retry key is malformed or the
// profile lets others read its password or change its password command.
int LoadSetup(CQuillant& mail);

// The -init dialogue on the console; answers are read from in. A question
// left unanswered because the input ended keeps its stored value and ends
// the dialogue. A HOST that logs in (submission://, smtps://, submissions://)
// adds the SMTP login questions right after it. Always returns -1, the exit
// status of a setup run.
int RunSetup(FILE* in);

// Asks for one key, showing its stored value (as "********" when masked and
// not empty), and stores the answer (an empty answer keeps the stored value).
// Returns false when the input ended before an answer or the profile could
// not be written.
bool PromptSetupValue(const char* key, const char* description, FILE* in, bool masked = false);
