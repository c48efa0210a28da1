// reportsubject: turns the first line of an MFG report into "subject.txt",
// from which a batch job takes the subject of its mailing.
//
// Exit status: 0 when subject.txt was written, and also when the report could
// not be opened (batch jobs rely on that); -1 when writing or closing
// subject.txt failed; 1 when subject.txt could not be created; 2 when the
// report file name is too long.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/Console.h"
#include "platform/Files.h"

namespace {

const char PROMPT[] = "Enter name of MFG Report file to process: ";
const char OPEN_ERROR[] = "Error opening file: %s\n";
const char SUBJECT_FILE[] = "subject.txt";
const char CUT_MARKER[] = "Date:";
const char DEFAULT_SUBJECT[] = "MFG Report";

constexpr std::size_t NAME_SIZE = 1024;
constexpr std::size_t LINE_SIZE = 1024;
constexpr std::size_t READ_LIMIT = LINE_SIZE - 2;  // characters, line end included
constexpr std::size_t SHORTEST_LINE = 6;

constexpr int EXIT_CANNOT_CREATE = 1;
constexpr int EXIT_NAME_TOO_LONG = 2;
constexpr int EXIT_WRITE_FAILED = -1;


const char* BaseName(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    return base;
}

// Reads one character, taking CR LF as a single '\n' so that reports written
// on either platform read alike. A lone CR is an ordinary character.
int ReadChar(std::FILE* file)
{
    int c = std::getc(file);
    if (c != '\r')
        return c;
    int next = std::getc(file);
    if (next == '\n')
        return '\n';
    if (next != EOF)
        std::ungetc(next, file);
    return c;
}

// Reads the name typed at the prompt: up to the line end, which is not kept.
// Returns false when it does not fit into size-1 characters.
bool ReadTypedName(char* name, std::size_t size)
{
    std::fputs(PROMPT, stdout);
    std::fflush(stdout);
    std::size_t length = 0;
    for (int c = ReadChar(stdin); c != EOF && c != '\n'; c = ReadChar(stdin)) {
        if (length + 1 >= size)
            return false;
        name[length++] = static_cast<char>(c);
    }
    name[length] = '\0';
    return true;
}

bool GetReportName(int argc, char** argv, char* name, std::size_t size)
{
    if (argc < 2)
        return ReadTypedName(name, size);
    if (std::strlen(argv[1]) >= size)
        return false;
    std::snprintf(name, size, "%s", argv[1]);
    return true;
}

// Reads the first line, its line end included when it fits into the limit.
// Returns false when the report cannot be read at all (a directory, say).
bool ReadFirstLine(std::FILE* file, char* line)
{
    std::size_t length = 0;
    while (length < READ_LIMIT) {
        int c = ReadChar(file);
        if (c == EOF)
            break;
        line[length++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    line[length] = '\0';
    return !std::ferror(file);
}

// Collapses every run of blanks to one blank and ends the subject before the
// first "Date:" together with the blank in front of it.
void TidySubject(const char* line, char* subject)
{
    std::size_t length = std::strlen(line);
    std::size_t out = 0;
    if (length >= SHORTEST_LINE) {
        for (std::size_t i = 0; i < length; ++i)
            if (line[i] != ' ' || i == 0 || line[i - 1] != ' ')
                subject[out++] = line[i];
    }
    subject[out] = '\0';
    char* cut = std::strstr(subject, CUT_MARKER);
    if (cut) {
        if (cut > subject && cut[-1] == ' ')
            --cut;
        *cut = '\0';
    }
    if (subject[0] == '\0')
        std::snprintf(subject, LINE_SIZE, "%s", DEFAULT_SUBJECT);
}

// Text mode, so that a kept line end comes out as the platform's own.
int WriteSubject(const char* program, const char* subject)
{
    std::FILE* out = std::fopen(SUBJECT_FILE, "w+");
    if (!out) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", program, SUBJECT_FILE,
                     std::strerror(errno));
        return EXIT_CANNOT_CREATE;
    }
    bool written = std::fprintf(out, "%s", subject) >= 0 && !std::ferror(out);
    // A full disk often shows only when the buffer is flushed by the close.
    bool closed = std::fclose(out) == 0;
    return written && closed ? 0 : EXIT_WRITE_FAILED;
}

} // namespace

int main(int argc, char** argv)
{
    Platform::GuardStandardStreams();
    const char* program = BaseName(argc > 0 && argv[0] ? argv[0] : "reportsubject");
    char name[NAME_SIZE];
    if (!GetReportName(argc, argv, name, sizeof name)) {
        std::fprintf(stderr, "%s: report file name longer than %d characters\n", program,
                     static_cast<int>(NAME_SIZE - 1));
        return EXIT_NAME_TOO_LONG;
    }

    // The line is read before subject.txt is touched, so a report that opens
    // but cannot be read leaves an earlier subject.txt as it was.
    char line[LINE_SIZE];
    CFilePtr report(std::fopen(name, "rb"));
    if (!report || !ReadFirstLine(report.get(), line)) {
        std::printf(OPEN_ERROR, name);
        return 0;
    }
    report.reset();

    char subject[LINE_SIZE];
    TidySubject(line, subject);
    return WriteSubject(program, subject);
}
