// Receivers and the standard headers: thin layers over SetHeader and the
// comma-joined receiver text.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Files.h"
#include "quillant/ArpaDate.h"
#include "quillant/Globals.h"
#include "quillant/Quillant.h"

namespace {

// The work areas these limits come from were fixed buffers. A longer sender
// is cut; a longer receiver is refused, as a cut one would reach someone else.
constexpr std::size_t MAX_ADDRESS = 126;
constexpr std::size_t MAX_SENDER = 127;
constexpr std::size_t MAX_LIST_DEPTH = 16;
// Lists naming each other can ask for more opens than a run could ever end.
constexpr int MAX_LIST_FILES = 1000;
constexpr int MAX_RECEIVERS = 100000;

// Outside text must not end a header line early or start a new header.
std::string OneLine(const char* text, std::size_t limit)
{
    std::string s = WithoutLineBreaks(text ? text : "");
    if (s.size() > limit)
        s.resize(limit);
    return s;
}

// A table, as every byte of a long list file is looked up.
struct CKeptChars {
    bool m_Kept[256] = {};
    CKeptChars()
    {
        for (int c = 0; c < 256; ++c)
            m_Kept[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                || (c != '\0' && std::strchr(".-_@<> '\"", c) != nullptr);
    }
};
const CKeptChars g_KeptChars;

bool IsKeptChar(unsigned char c) { return g_KeptChars.m_Kept[c]; }

// getc one byte at a time costs more than the rest of a long list together.
class CByteReader {
public:
    explicit CByteReader(FILE* file) : m_File(file), m_Buffer(new char[BUFFER_SIZE]) {}
    bool More() { return m_Next < m_End || Refill(); }
    int Next() { return More() ? static_cast<unsigned char>(m_Buffer[m_Next++]) : EOF; }
    // Appends the kept bytes from here on to text, at most room of them; the
    // first byte not kept is left unread.
    void AppendKept(std::string& text, std::size_t room)
    {
        while (room > 0 && More()) {
            const std::size_t end = std::min(m_End, m_Next + room);
            std::size_t n = m_Next;
            while (n < end && IsKeptChar(static_cast<unsigned char>(m_Buffer[n])))
                ++n;
            text.append(m_Buffer.get() + m_Next, n - m_Next);
            room -= n - m_Next;
            m_Next = n;
            if (n < end)
                return;
        }
    }

private:
    bool Refill()
    {
        m_Next = 0;
        m_End = std::fread(m_Buffer.get(), 1, BUFFER_SIZE, m_File);
        return m_End > 0;
    }

    static constexpr std::size_t BUFFER_SIZE = 16384;
    FILE* m_File;
    std::unique_ptr<char[]> m_Buffer;
    std::size_t m_Next = 0;
    std::size_t m_End = 0;
};

void Complain(const char* format, const char* argument)
{
    if (Chatty())
        std::fprintf(stderr, format, argument);
}

// Reads "@name" list files, following nested ones, on behalf of AddAddress.
class CAddressListReader {
public:
    CAddressListReader(CQuillant& mail, const char* header) : m_Mail(mail), m_Header(header) {}

    void Read(const char* argument);

private:
    bool IsOpenAlready(const std::filesystem::path& name) const;
    void ReadLines(FILE* file, const char* argument);
    [[noreturn]] void Refuse(const char* format, const char* argument);

    CQuillant& m_Mail;
    const char* m_Header;
    std::vector<std::filesystem::path> m_Chain;  // the files being read, outermost first
};

bool CAddressListReader::IsOpenAlready(const std::filesystem::path& name) const
{
    for (const std::filesystem::path& open : m_Chain) {
        std::error_code ec;
        if (std::filesystem::equivalent(open, name, ec))
            return true;
    }
    return false;
}

void CAddressListReader::Refuse(const char* format, const char* argument)
{
    Complain(format, argument);
    m_Mail.Raise(ERR_BAD_ARGUMENTS);
}

void CAddressListReader::Read(const char* argument)
{
    const char* name = argument + 1;
    if (m_Chain.size() >= MAX_LIST_DEPTH)
        Refuse("Address files nested too deeply at '%s'. Aborting.\n", argument);
    if (m_Mail.m_ListFilesOpened >= MAX_LIST_FILES)
        Refuse("More than 1000 address files to open at '%s'. Aborting.\n", argument);
    ++m_Mail.m_ListFilesOpened;
    CFilePtr file(std::fopen(name, "r"));
    if (!file)
        Refuse("Failed to open address file '%s'. Aborting.\n", argument);
    if (!Platform::IsRegularOrPipe(file.get()))
        Refuse("Address file '%s' is not a regular file or a pipe. Aborting.\n", argument);
    if (IsOpenAlready(name))
        Refuse("Address file '%s' includes itself. Aborting.\n", argument);
    m_Chain.emplace_back(name);
    ReadLines(file.get(), argument);
    m_Chain.pop_back();
}

// Each line gives the text up to its first character outside the kept set;
// a line that starts outside it still gives an (empty) entry. An entry that
// runs past the longest address is refused as soon as it does.
void CAddressListReader::ReadLines(FILE* file, const char* argument)
{
    CByteReader input(file);
    std::string entry;
    while (input.More()) {
        entry.clear();
        input.AppendKept(entry, MAX_ADDRESS + 1);
        if (entry.size() > MAX_ADDRESS)
            Refuse("Receiver '%s...' is longer than 126 characters. Aborting.\n", entry.c_str());
        int c = input.Next();
        while (c != EOF && c != '\n')
            c = input.Next();
        if (entry[0] == '@')
            Read(entry.c_str());
        else
            m_Mail.AddAddress(m_Header, entry.c_str());
        if (c == EOF)
            break;
    }
    if (std::ferror(file))
        Refuse("Failed to read address file '%s'. Aborting.\n", argument);
}

}  // namespace

void CQuillant::AddTo(const char* address)
{
    AddAddress(m_NewsMode ? "Newsgroups" : "To", address);
}

void CQuillant::AddCc(const char* address)
{
    if (m_NewsMode) {
        Complain("%s", "Cc (Carbon Copy) is not legal in News posting mode. Aborting.\n");
        Raise(ERR_BAD_ARGUMENTS);
    }
    AddAddress("Cc", address);
}

void CQuillant::AddBcc(const char* address)
{
    if (m_NewsMode) {
        Complain("%s", "Bcc (Blind Carbon Copy) is not legal in News posting mode. Aborting.\n");
        Raise(ERR_BAD_ARGUMENTS);
    }
    AddAddress(nullptr, address);
}

void CQuillant::AddAddress(const char* header, const char* address)
{
    if (address && address[0] == '@') {
        CAddressListReader(*this, header).Read(address);
        return;
    }
    const std::string entry = address ? address : "";
    // A receiver goes into a server command, where a line break starts another.
    if (std::strpbrk(entry.c_str(), "\r\n")) {
        Complain("Receiver '%s' holds a line break. Aborting.\n", WithoutLineBreaks(entry).c_str());
        Raise(ERR_BAD_ARGUMENTS);
    }
    if (entry.size() > MAX_ADDRESS) {
        Complain("Receiver '%s' is longer than 126 characters. Aborting.\n", entry.c_str());
        Raise(ERR_BAD_ARGUMENTS);
    }
    if (m_ReceiverCount >= MAX_RECEIVERS) {
        Complain("More than 100000 receivers at '%s'. Aborting.\n", entry.c_str());
        Raise(ERR_BAD_ARGUMENTS);
    }
    ++m_ReceiverCount;
    if (header)
        SetHeader(header, entry.c_str(), 1);
    if (m_Receivers) {
        *m_Receivers += ',';
        *m_Receivers += entry;
    } else {
        m_Receivers = entry;
    }
}

void CQuillant::SetFrom(const char* text)
{
    const std::string from = OneLine(text, std::string::npos);
    SetHeader("From", from.c_str(), 0);
    if (!FindHeader("X-Sender", m_Headers.get()))
        SetSender(from.c_str());
}

// "Name <addr>" gives addr; without "<" the whole text is the address.
void CQuillant::SetSender(const char* text)
{
    const char* start = text ? text : "";
    if (const char* open = std::strchr(start, '<'))
        start = open + 1;
    const std::string from(start, std::strcspn(start, ">"));
    SetHeader("X-Sender", OneLine(from.c_str(), MAX_SENDER).c_str(), 0);
}

void CQuillant::SetSubject(const char* text)
{
    SetHeader("Subject", OneLine(text, std::string::npos).c_str(), 0);
}

void CQuillant::SetPriority(int priority)
{
    if (priority < 1 || priority > 5)
        return;
    char value[16];
    std::snprintf(value, sizeof value, "%d", priority);
    SetHeader("X-Priority", value, 0);
}

void CQuillant::SetDate()
{
    if (FindHeader("Date", m_Headers.get()))
        return;
    char date[96];
    SetHeader("Date", MakeArpaDate(date), 0);
}
