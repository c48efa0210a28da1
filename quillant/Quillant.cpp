#include "quillant/Quillant.h"

#include <algorithm>
#include <cstring>

#include "platform/Text.h"
#include "quillant/Globals.h"
#include "quillant/HeaderText.h"


const char* const g_ErrorText[ERROR_CODE_COUNT] = {
    "Success",
    "Bad arguments from form",
    "Unable to open temporary mail file for read",
    "FAILED_TO_START_SOCKETS",
    "FAILED_TO_RESOLVE_HOST",
    "FAILED_TO_OBTAIN_SOCKET_HANDLE",
    "FAILED_TO_CONNECT",
    "FAILED_TO_SEND",
    "FAILED_TO_RECEIVE",
    "SERVER_ERROR",
    "Failed to resolve the host IP name",
    "Out of memory",
    "Failed to open temporary file",
    "Unknown error",
    "TLS could not be started",
    "Server certificate not trusted",
    "Authentication failed",
    ("No reply after the whole message was sent: it may or may not have been delivered, "
     "so do not simply send it again"),
};

const char* ErrorText(int code)
{
    if (code >= 0 && code < ERROR_CODE_COUNT)
        return g_ErrorText[code];
    return "Message could not be composed";
}

// The chain is released iteratively: a long list must not exhaust the stack.
CHeaderField::~CHeaderField()
{
    std::unique_ptr<CHeaderField> rest = std::move(m_Next);
    while (rest)
        rest = std::move(rest->m_Next);
}

void CHeaderField::AppendValue(const char* text)
{
    // More than 75 characters since the last LF, the LF counted: no LF among
    // the last 75. Looking only there keeps ten thousand receivers cheap.
    const std::size_t size = m_Value.size();
    const bool longLine = size > 75 && m_Value.find('\n', size - 75) == std::string::npos;
    m_Value += ',';
    if (longLine)
        m_Value += "\r\n\t";
    m_Value += text;
}

CHeaderField* FindHeader(const char* name, CHeaderField* first)
{
    for (CHeaderField* f = first; f; f = f->m_Next.get())
        if (Platform::SameTextNoCase(f->m_Name, name))
            return f;
    return nullptr;
}

CHeaderField* PutHeader(const char* name, const char* value, CHeaderField* first, int append)
{
    if (CHeaderField* found = FindHeader(name, first)) {
        if (append)
            found->AppendValue(value);
        else
            found->m_Value = value;
        return found;
    }
    auto field = std::make_unique<CHeaderField>();
    field->m_Name = name;
    field->m_Value = value;
    CHeaderField* added = field.get();
    if (first) {
        CHeaderField* last = first;
        while (last->m_Next)
            last = last->m_Next.get();
        last->m_Next = std::move(field);
    } else {
        field.release();  // the caller adopts a new head (SetHeader)
    }
    return added;
}

namespace {

// RFC 5322 2.1.1: a line of a message holds at most 998 octets before CR LF.
constexpr std::size_t MAX_HEADER_LINE = 998;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool HasLongLine(const std::string& field)
{
    for (std::size_t start = 0;;) {
        const std::size_t end = field.find("\r\n", start);
        if ((end == std::string::npos ? field.size() : end) - start > MAX_HEADER_LINE)
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 2;
    }
}

}  // namespace

bool FoldLongLines(std::string& field)
{
    if (!HasLongLine(field))
        return true;
    std::string folded;
    for (std::size_t start = 0;;) {
        const std::size_t end = field.find("\r\n", start);
        const std::size_t stop = end == std::string::npos ? field.size() : end;
        std::size_t last = stop;  // just past the line's last non-blank
        while (last > start && IsBlank(field[last - 1]))
            --last;
        while (stop - start > MAX_HEADER_LINE) {
            // The fold goes before the last blank that leaves a line of at
            // most 998 octets, and neither line holding blanks alone.
            std::size_t text = start;
            while (text < stop && IsBlank(field[text]))
                ++text;
            if (last <= text)
                return false;
            std::size_t fold = std::min(start + MAX_HEADER_LINE, last - 1);
            while (fold > text && !IsBlank(field[fold]))
                --fold;
            if (fold <= text)
                return false;
            folded.append(field, start, fold - start);
            folded += "\r\n";
            start = fold;
        }
        folded.append(field, start, stop - start);
        if (end == std::string::npos)
            break;
        folded += "\r\n";
        start = end + 2;
    }
    field = std::move(folded);
    return true;
}

// The list keeps the values as given; only their written form is encoded
// and, where a line would be too long, folded.
bool WriteHeaders(CHeaderField* first, FILE* out)
{
    bool fits = true;
    for (CHeaderField* f = first; f && fits && !std::ferror(out); f = f->m_Next.get()) {
        std::string field = std::string(f->m_Name) + ": ";
        field += HasHighByte(f->m_Value.c_str()) ? EncodeHeaderValue(f->m_Name, f->m_Value) : f->m_Value;
        fits = FoldLongLines(field);
        if (fits) {
            std::fputs(field.c_str(), out);
            std::fputs("\r\n", out);
        } else if (Chatty()) {
            std::fprintf(stderr, "Header %s holds a word too long for a line of 998 characters. Aborting.\n",
                         f->m_Name);
        }
    }
    std::fflush(out);
    return fits;
}

CQuillant::CQuillant() = default;

CQuillant::~CQuillant()
{
    m_Receivers.reset();
    m_Headers.reset();
    m_Parts.reset();
}

int CQuillant::SetHeader(const char* name, const char* value, int append)
{
    CHeaderField* field = PutHeader(name, value, m_Headers.get(), append);
    if (!m_Headers)
        m_Headers.reset(field);
    return 0;
}

const char* CQuillant::GetHeader(const char* name, const char* def)
{
    CHeaderField* field = FindHeader(name, m_Headers.get());
    return field ? field->m_Value.c_str() : def;
}

int CQuillant::AddPart(const char* data, int kind)
{
    auto part = std::make_unique<CMessagePart>(this);
    CMessagePart* added = part.get();
    if (!m_Parts)
        m_Parts = std::move(part);
    else
        part.release();  // the constructor linked it behind the last part
    return added->Load(data, kind, m_OemToAnsi);
}

void CQuillant::Raise(int code)
{
    m_ErrorCode = code;
    throw static_cast<CSMTPError*>(this);
}
