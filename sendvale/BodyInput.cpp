#include "sendvale/BodyInput.h"

#include <cstring>

#include "platform/Console.h"
#include "quillant/Globals.h"
#include "quillant/MessagePart.h"

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
        std::string content;
        const TextFileStatus status = ReadTextFile(name.c_str(), content);
        if (status == TextFileStatus::READ) {
            text += WidenLineEnds(content.c_str());
            continue;
        }
        if (Chatty()) {
            const char* problem = status == TextFileStatus::NOT_FOUND    ? "was not found"
                                  : status == TextFileStatus::WRONG_KIND ? "is not a regular file or a pipe"
                                                                         : "could not be read";
            std::fprintf(stderr, "%s: Text attachment file '%s' %s. Aborting.\n", g_ProgramName, name.c_str(),
                         problem);
        }
        return false;
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
