#include "sendvale/Usage.h"

#include <cstdio>

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

void PrintBannerLines()
{
    std::fprintf(stderr, "%s %s - ", PRODUCT_NAME, VERSION_TEXT);
    std::fputs(AUTHORSHIP_NOTICE, stderr);
    std::fputs(TERMS_NOTICE, stderr);
}

}  // namespace

int Usage(const char* text)
{
    if (text) {
        if (g_Verbose) {
            PrintBannerLines();
            std::fprintf(stderr, "%s: Unknown parameter\n", text);
        }
        return -1;
    }
    PrintBannerLines();
    std::fprintf(stderr, "Usage: %s [options] {to[,to] [to] | @addr_list_file}\n", g_ProgramName);
    std::fprintf(stderr, "Usage: %s -- [options] {to[,to] [to] | @addr_list_file} < message\n",
                 g_ProgramName);
    std::fprintf(stderr, "Usage: %s -init  Install %s\n", g_ProgramName, g_ProgramName);
    std::fputs(OPTION_LINES, stderr);
    return -1;
}
