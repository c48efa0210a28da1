// An interrupted run must not leave the spool file behind: it holds a whole
// copy of the message.
#pragma once

namespace Platform {

// From the first call on, SIGINT, SIGTERM and SIGHUP (on Win32 the console's
// Ctrl-C, Ctrl-Break and close events) remove the file last named here and
// end the program with 128 plus the signal's number; a signal the program
// was started ignoring stays ignored. A file-size limit (SIGXFSZ) makes the
// write fail instead of ending the program. path null: no file to remove.
void RemoveOnInterrupt(const char* path);

}  // namespace Platform
