#include "sendvale/Usage.h"

#include <cstdio>
#include <string>

#include "platform/Profile.h"
#include "platform/Tls.h"
#include "quillant/Globals.h"

const char* const PRODUCT_NAME = "Sendvale";
const char* const VERSION_TEXT = "1.10a";
const char* const BANNER_TEXT =
    "Sendvale v.1.10a by the Sendvale authors, public domain\r\n"
    "\tFree copies come with the Sendvale source distribution";

namespace {

const char* const AUTHORSHIP_NOTICE = "written by the Sendvale authors, placed in the public domain\n";
const char* const TERMS_NOTICE = "PROVIDED AS IS, WITHOUT WARRANTY OF ANY KIND. USE AT YOUR OWN RISK.\n";

const char* const OPTION_LINES =
    "Options:\n"
    "  -.      will end a piped message when a line contains a single dot.\n"
    "  --      read text from standard input (console or pipe)\n"
    "  -d      turn on debug mode\n"
    "  -sSubject  adds a subject to the message\n"
    "  -v      turn on verbose (interactive) mode\n"
    "  -p      pause after the message is sent\n"
    "  -h      show this help\n"
    "  -iFile  include a binary attachment\n"
    "  -tFile  include a textfile in the message body\n"
    "  -a      convert OEM (european DOS codepages) charset to ANSI\n"
    "  -Pn     sets priority (where n is 1 = highest, 3 = normal, 5 = lowest)\n"
    "  -u      post to usenet (news). Receiver is newsgroup.\n"
    "  -cAddress Cc to Address.\n"
    "  -c@FileName Cc to Addressees defined in file FileName\n"
    "  -bAddress Bcc to Address.\n"
    "  -b@FileName Bcc to Addressees defined in file FileName\n"
    "  -oOrganization.\n"
    "  -xSMTPServer Override SMTP server defined in ini file\n"
    "\n\nYou can attach multiple files, and have multiple receivers\n"
    "You can add receivers with their full name: \"Jane Doe <jane.doe@example.com>\"\n";

// What --help adds to the usage text: the forms, keys and codes that came
// after it.
const char* const MORE_HELP_LINES =
    "\nMore options:\n"
    "  -n         dry run: compose the message and write it to standard output\n"
    "             as it would be sent; nothing is sent. -v adds the envelope.\n"
    "  --help     show this help (no profile needed)\n"
    "  --version  show the version, the TLS library and the profile in use\n"
    "             (no profile needed)\n"
    "  --check    connect, negotiate and log in to the configured server, print\n"
    "             what was learned, send nothing\n"
    "With -v on a terminal, messages of 1 MiB or more show a progress line.\n"
    "\nServers (HOST, NNTP HOST, -x):\n"
    "  name[:port], [address]:port  plain SMTP (25) or NNTP (119), no TLS, no login\n"
    "  smtp://host[:port]           ESMTP on port 25, no TLS, no login\n"
    "  submission://host[:port]     port 587: STARTTLS, then the login\n"
    "  smtps://host[:port]          port 465: TLS from the start, then the login\n"
    "  submissions://host[:port]    the same as smtps://\n"
    "  nntp://host[:port]           news on port 119, with MODE READER\n"
    "  nntps://host[:port]          news on port 563, TLS from the start\n"
    "\nMore [Setup] keys:\n"
    "  Timeout                every network wait in seconds (1 to 86400, default 300)\n"
    "  CA File                PEM certificates trusted instead of the system's store\n"
    "  TLS Fingerprint        SHA-256 of the server's certificate, which alone is trusted\n"
    "  SMTP User              login name on the mail server (TLS forms only)\n"
    "  SMTP Password          its password\n"
    "  SMTP Password Command  prints the password or OAuth2 token instead\n"
    "  SMTP Auth              plain, login, xoauth2 or oauthbearer (default: PLAIN or LOGIN)\n"
    "  Retries                more tries after a failure that may pass (default 0)\n"
    "  Retry Delay            seconds before the first retry (default 60, doubled\n"
    "                         after each, at most 3600)\n";

const char* const EXIT_CODE_LINES =
    "\nExit status:\n"
    "  0    the message was accepted (or --help, --version, -n, --check succeeded)\n"
    "  1    bad arguments or receivers; nothing was sent\n"
    "  3    the socket library cannot start\n"
    "  5    no socket can be made\n"
    "  6    the server cannot be reached, or its name is bad or unknown\n"
    "  7    sending failed\n"
    "  8    the server closed or did not answer in time\n"
    "  9    the server refused a command\n"
    "  10   the local host name is unknown\n"
    "  11   out of memory\n"
    "  12   the spool file cannot be written, or an attachment cannot be read\n"
    "  13   unknown error\n"
    "  14   TLS could not be started or agreed\n"
    "  15   the server's certificate is not trusted\n"
    "  16   authentication failed\n"
    "  17   the end of data was sent but no reply came; the message may or may not\n"
    "       have been delivered\n"
    "  255  setup run or missing, a bad profile value, -h, a bad -t file, or a\n"
    "       message that could not be composed\n"
    "  128+n  ended by signal n; the spool file is removed\n";

void PrintBannerLines(FILE* out)
{
    std::fprintf(out, "%s %s - ", PRODUCT_NAME, VERSION_TEXT);
    std::fputs(AUTHORSHIP_NOTICE, out);
    std::fputs(TERMS_NOTICE, out);
}

void PrintUsage(FILE* out)
{
    PrintBannerLines(out);
    std::fprintf(out, "Usage: %s [options] {to[,to] [to] | @addr_list_file}\n", g_ProgramName);
    std::fprintf(out, "Usage: %s -- [options] {to[,to] [to] | @addr_list_file} < message\n", g_ProgramName);
    std::fprintf(out, "Usage: %s -init  Install %s\n", g_ProgramName, g_ProgramName);
    std::fputs(OPTION_LINES, out);
}

std::string ProfileText()
{
    const std::string location = Platform::ProfileLocation();
    return location.empty() ? "(none can be found)" : location;
}

}  // namespace

int Usage(const char* text)
{
    if (text) {
        if (g_Verbose) {
            PrintBannerLines(stderr);
            std::fprintf(stderr, "%s: Unknown parameter\n", text);
        }
        return -1;
    }
    PrintUsage(stderr);
    return -1;
}

int Help()
{
    PrintUsage(stdout);
    std::fputs(MORE_HELP_LINES, stdout);
    std::printf("\nProfile: %s\n", ProfileText().c_str());
    std::fputs(EXIT_CODE_LINES, stdout);
    return std::fflush(stdout) == 0 ? 0 : -1;
}

int Version()
{
    std::printf("%s %s\n", PRODUCT_NAME, VERSION_TEXT);
    std::printf("TLS: %s\n", Platform::TlsLibraryText().c_str());
    std::printf("Profile: %s\n", ProfileText().c_str());
    return std::fflush(stdout) == 0 ? 0 : -1;
}
