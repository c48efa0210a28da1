#include "platform/Text.h"

namespace Platform {
namespace {

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool SameTextNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    return true;
}

int Utf8SequenceLength(const unsigned char* p)
{
    const unsigned lead = p[0];
    int tail = 0;
    unsigned minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        tail = 1;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        tail = 2;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        tail = 3;
        minimum = 0x10000;
    } else {
        return 0;
    }
    unsigned code = lead & (0x3Fu >> tail);
    for (int i = 1; i <= tail; ++i) {
        if ((p[i] & 0xC0) != 0x80)  // also stops at the terminator
            return 0;
        code = (code << 6) | (p[i] & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return tail + 1;
}

void WipeMemory(void* data, std::size_t size)
{
    volatile unsigned char* p = static_cast<unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i)
        p[i] = 0;
}

void WipeString(std::string& text)
{
    if (!text.empty())
        WipeMemory(&text[0], text.size());
    text.clear();
}

}  // namespace Platform
