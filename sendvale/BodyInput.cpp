#include "sendvale/BodyInput.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/Console.h"
#include "platform/Files.h"
#include "quillant/Globals.h"

int g_DotTerminator = 0;
StringList g_BodyLines;
StringList g_TextFiles;

namespace {

// The line buffer holds 128 bytes and is read with a limit of 127.
constexpr std::size_t PIECE_SIZE = 127;

bool IsDotLine(const char* piece)
{
    return piece[0] == '.' && (piece[1] == '\0' || piece[1] == '\n' || piece[1] == '\r');
}

// The content up to its size or first NUL; false when it cannot be read.
bool ReadTextFile(const char* name, std::uint64_t size, std::string& content)
{
    if (Platform::IsDirectory(name))
        return false;
    CFilePtr file(std::fopen(name, "rb"));
    if (!file)
        return false;
    content.assign(static_cast<std::size_t>(size), '\0');
    const std::size_t got = std::fread(content.data(), 1, content.size(), file.get());
    if (std::ferror(file.get()))
        return false;
    content.resize(got);
    content.resize(std::char_traits<char>::length(content.c_str()));
    return true;
}

}  // namespace

void ReadTextSource(FILE* source)
{
    if (g_Verbose) {
        if (g_DotTerminator)
            std::fputs("Enter message text. End with . (period) on a single line\n", stderr);
        else
            std::fprintf(stderr, "Enter message text. End with %s\n", Platform::END_OF_INPUT_KEY);
    }
    char piece[128];
    bool lineStart = true;
    while (Platform::ReadConsoleLine(piece, PIECE_SIZE, source)) {
        // Only a whole line ends the text: the later pieces of a long line
        // are text, whatever they begin with.
        if (g_DotTerminator && lineStart && IsDotLine(piece))
            return;
        AppendString(piece, g_BodyLines);
        const std::size_t length = std::strlen(piece);
        lineStart = length && (piece[length - 1] == '\n' || piece[length - 1] == '\r');
    }
}

std::string JoinBodyLines(const StringList& pieces)
{
    std::size_t size = 3;
    for (const std::string& piece : pieces)
        size += piece.size();
    std::string text;
    text.reserve(size);
    for (const std::string& piece : pieces)
        text += piece;
    text += "\r\n";
    return text;
}

std::string WidenLineEnds(const char* content)
{
    std::string out;
    for (const char* p = content; *p; ++p) {
        if (*p == '\n' && p != content && p[-1] != '\r')
            out += '\r';
        out += *p;
    }
    return out;
}

bool AppendTextFiles(std::string& text, const StringList& files)
{
    for (const std::string& name : files) {
        std::uint64_t size = 0;
        if (!Platform::FileSize(name.c_str(), size)) {
            if (Chatty())
                std::fprintf(stderr, "%s: Text attachment file '%s' was not found. Aborting.\n",
                             g_ProgramName, name.c_str());
            return false;
        }
        std::string content;
        if (!ReadTextFile(name.c_str(), size, content))
            return false;
        text += WidenLineEnds(content.c_str());
    }
    return true;
}

bool GatherMessageText(FILE* source, std::string& text)
{
    if (source)
        ReadTextSource(source);
    text = JoinBodyLines(g_BodyLines);
    return AppendTextFiles(text, g_TextFiles);
}
