// The [Setup] profile section: loaded at the start of every run, written by
// the -init dialogue.
#pragma once

#include <cstdio>

class CQuillant;

// Fills the server settings and the mail object's X-Sender header from the
// profile, and the general time-out from "Timeout". Returns 1, or 0 after
// printing "Not initialized" when the mail server or the return address is
// missing.
int LoadSetup(CQuillant& mail);

// The -init dialogue on the console; answers are read from in. A question
// left unanswered because the input ended keeps its stored value and ends
// the dialogue. Always returns -1, the exit status of a setup run.
int RunSetup(FILE* in);

// Asks for one key, showing its stored value, and stores the answer (an
// empty answer keeps the stored value). Returns false when the input ended
// before an answer or the profile could not be written.
bool PromptSetupValue(const char* key, const char* description, FILE* in);
