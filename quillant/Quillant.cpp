#include "quillant/Quillant.h"

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
    const std::size_t lastLf = m_Value.rfind('\n');
    const std::size_t count = lastLf == std::string::npos ? m_Value.size() : m_Value.size() - lastLf;
    m_Value += ',';
    if (count > 75)
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

// The list keeps the values as given; only their written form is encoded.
void WriteHeaders(CHeaderField* first, FILE* out)
{
    for (CHeaderField* f = first; f; f = f->m_Next.get()) {
        if (HasHighByte(f->m_Value.c_str()))
            std::fprintf(out, "%s: %s\r\n", f->m_Name, EncodeHeaderValue(f->m_Name, f->m_Value).c_str());
        else
            std::fprintf(out, "%s: %s\r\n", f->m_Name, f->m_Value.c_str());
    }
    std::fflush(out);
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
