#include "quillant/Globals.h"

#include <cstring>

const char* g_ProgramName = "sendvale";
int g_Verbose = 0;
int g_Debug = 0;

char g_SmtpHost[128] = "mail.invalid";
char g_Organization[128] = "";
char g_NntpHost[128] = "";
char g_NntpUser[32] = "";
char g_NntpPassword[32] = "";


void BlankLineBreaks(char* text)
{
    for (; *text; ++text)
        if (*text == '\r' || *text == '\n')
            *text = ' ';
}

std::string WithoutLineBreaks(std::string text)
{
    BlankLineBreaks(text.data());
    return text;
}

bool HasHighByte(const char* text)
{
    for (; *text; ++text)
        if (static_cast<unsigned char>(*text) >= 128)
            return true;
    return false;
}

void CopyText(char* dst, std::size_t size, const char* src)
{
    if (size == 0)
        return;
    std::size_t n = src ? std::strlen(src) : 0;
    if (n >= size)
        n = size - 1;
    if (n)
        std::memcpy(dst, src, n);
    dst[n] = '\0';
}
