#include "quillant/MessagePart.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>

#include "platform/CodePage.h"
#include "platform/Files.h"
#include "quillant/Encoders.h"
#include "quillant/Globals.h"
#include "quillant/HeaderText.h"
#include "quillant/Quillant.h"

const char* const g_ImageExtensions[] = {"gif", "jpg", "tif", "tiff", "bmp", "jpeg", "pcd", "png", ""};

namespace {

constexpr std::size_t COPY_BLOCK = 48 * 1024;
const char BLANKS[] = " \t\n\v\f\r";
// MM_CHARSET values whose line breaks became blanks: outside text must not
// start a header line of its own.
std::set<std::string> g_BlankedCharsets;


// The charset follows the text actually stored (after any OEM conversion).
void StoreText(CMessagePart& part, std::string text)
{
    part.m_Data = std::move(text);
    part.m_Charset = TextPartCharset(part.m_Data->c_str());
}

void StoreCopy(CMessagePart& part, const char* data, bool convert)
{
    std::string copy(data);
    if (convert)
        Platform::OemToAnsi(data, copy.data());
    StoreText(part, std::move(copy));
}

int LoadTextFile(CMessagePart& part, const char* name, bool mayConvert)
{
    std::string text;
    if (ReadTextFile(name, text) != TextFileStatus::READ)
        return -1;
    if (mayConvert && HasHighByte(text.c_str()))
        Platform::OemToAnsi(text.c_str(), text.data());
    StoreText(part, std::move(text));
    return 0;
}

// A name that is not ASCII cannot be a quoted string: it goes out as the
// extended parameters of WritePartHeaders, whole, never cut to a buffer.
void LoadAttachment(CMessagePart& part, const char* fileName)
{
    part.m_IsText = 0;
    part.m_Encoding = ENC_BASE64;
    part.m_Data = fileName;
    const char* base = FileBaseName(fileName);
    if (HasHighByte(base)) {
        part.m_ExtendedName = 1;
        part.m_ContentType = GetBareContentType(fileName, part.m_ContentTypeBuf, sizeof part.m_ContentTypeBuf);
        CopyText(part.m_Disposition, sizeof part.m_Disposition, "attachment");
        return;
    }
    part.m_ContentType = GetContentType(fileName, part.m_ContentTypeBuf, sizeof part.m_ContentTypeBuf);
    std::snprintf(part.m_Disposition, sizeof part.m_Disposition, "attachment; filename=\"%s\"", base);
    BlankLineBreaks(part.m_Disposition);
}

// Without MIME everything goes out as plain text. A text file is still read:
// its name is not the text the caller asked for.
int LoadPlain(CMessagePart& part, const char* data, int kind)
{
    if (kind == PART_ATTACHMENT) {
        if (Chatty())
            std::fputs("You must enable MIME encoding in order to send attachments.\n", stderr);
        part.m_Owner->Raise(ERR_BAD_ARGUMENTS);
    }
    part.m_Encoding = ENC_NONE;
    if (kind == PART_TEXT_FILE)
        return LoadTextFile(part, data, false);
    StoreCopy(part, data, false);
    return 0;
}

// One parameter of a content type, the text between two ';'.
void WriteParameter(CMessagePart& part, const std::string& piece, FILE* out)
{
    std::fputs(";\r\n\t", out);
    const std::size_t start = piece.find_first_not_of(BLANKS);
    if (start == std::string::npos)
        return;
    const std::size_t equals = piece.find('=', start);
    if (equals == std::string::npos) {
        std::fputs(piece.c_str() + start, out);
        return;
    }
    std::fwrite(piece.data() + start, 1, equals + 1 - start, out);
    const std::size_t value = piece.find_first_not_of(BLANKS, equals + 1);
    part.WriteQuotedValue(value == std::string::npos ? "" : piece.c_str() + value, out);
}

// Copies an already quoted value up to its closing quote; what follows it is
// dropped. A backslash travels with the character after it.
void WriteRequoted(const char* value, FILE* out)
{
    std::fputc('"', out);
    for (const char* p = value + 1; *p && *p != '"'; ++p) {
        std::fputc(*p, out);
        if (*p == '\\') {
            // A lone backslash at the very end would escape the closing quote.
            std::fputc(p[1] ? *++p : '\\', out);
        }
    }
    std::fputc('"', out);
}

}  // namespace

TextFileStatus ReadTextFile(const char* name, std::string& text)
{
    text.clear();
    CFilePtr file(std::fopen(name, "rb"));
    if (!file)
        return errno == ENOENT ? TextFileStatus::NOT_FOUND : TextFileStatus::READ_ERROR;
    if (!Platform::IsRegularOrPipe(file.get()))
        return TextFileStatus::WRONG_KIND;
    char block[COPY_BLOCK];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, file.get())) > 0;) {
        const void* nul = std::memchr(block, '\0', got);
        text.append(block, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - block) : got);
        if (nul)
            break;  // the rest could never be sent
    }
    return std::ferror(file.get()) ? TextFileStatus::READ_ERROR : TextFileStatus::READ;
}

const char* TextPartCharset(const char* text)
{
    const char* charset = Platform::GetEnv("MM_CHARSET");
    if (!charset)
        return Platform::TextCharset(text);
    if (!std::strpbrk(charset, "\r\n"))
        return charset;
    // Parts keep the pointer, so each blanked value stays for the run.
    return g_BlankedCharsets.insert(WithoutLineBreaks(charset)).first->c_str();
}

CMessagePart::CMessagePart(CQuillant* owner) : m_Owner(owner)
{
    m_Charset = TextPartCharset("");
    CMessagePart* last = owner ? owner->m_Parts.get() : nullptr;
    if (!last)
        return;
    while (last->m_Next)
        last = last->m_Next.get();
    last->m_Next.reset(this);
    m_Prev = last;
}

// The chain is released iteratively: a long list must not exhaust the stack.
CMessagePart::~CMessagePart()
{
    std::unique_ptr<CMessagePart> rest = std::move(m_Next);
    while (rest)
        rest = std::move(rest->m_Next);
}

int CMessagePart::Load(const char* data, int kind, int oemToAnsi)
{
    if (!data)
        data = "";
    if (!m_Owner->m_UseMime)
        return LoadPlain(*this, data, kind);
    switch (kind) {
    case PART_RAW:
        StoreCopy(*this, data, false);
        return 0;
    case PART_QUOTED:
    case PART_OEM:
    case PART_BODY:
        m_Encoding = ENC_QUOTED_PRINTABLE;
        StoreCopy(*this, data, oemToAnsi && (kind == PART_OEM || (kind == PART_BODY && HasHighByte(data))));
        return 0;
    case PART_TEXT_FILE:
        if (LoadTextFile(*this, data, oemToAnsi != 0) != 0)
            return -1;
        m_Encoding = ENC_QUOTED_PRINTABLE;
        return 0;
    case PART_ATTACHMENT:
        LoadAttachment(*this, data);
        return 0;
    default:
        return 0;
    }
}

void CMessagePart::WritePartHeaders(FILE* out)
{
    if (m_IsText) {
        std::string line = std::string("Content-type: text/plain; charset=") + m_Charset;
        if (!FoldLongLines(line)) {
            if (Chatty())
                std::fputs("MM_CHARSET is too long for a header line. Aborting.\n", stderr);
            m_Owner->Raise(ERR_BAD_ARGUMENTS);
        }
        std::fputs(line.c_str(), out);
        std::fputs("\r\n", out);
    } else {
        std::fputs("Content-type: ", out);
        WriteContentType(out, m_ContentType);
        if (m_Disposition[0]) {
            std::fprintf(out, "Content-Disposition: %s", m_Disposition);
            if (m_ExtendedName && m_Data)
                std::fputs(ExtendedParameter("filename", FileBaseName(m_Data->c_str())).c_str(), out);
            std::fputs("\r\n", out);
        }
    }
    if (m_Encoding == ENC_BASE64)
        std::fputs("Content-Transfer-Encoding: base64\r\n", out);
    else if (m_Encoding == ENC_QUOTED_PRINTABLE)
        std::fputs("Content-Transfer-Encoding: quoted-printable\r\n", out);
}

void CMessagePart::WriteContentType(FILE* out, const char* type)
{
    const char* end = std::strchr(type, ';');
    const std::size_t mainLength = end ? static_cast<std::size_t>(end - type) : std::strlen(type);
    std::fwrite(type, 1, mainLength, out);
    if (!std::memchr(type, '/', mainLength))
        std::fputs("/unknown", out);
    while (end) {
        const char* piece = end + 1;
        end = std::strchr(piece, ';');
        WriteParameter(*this, end ? std::string(piece, end) : std::string(piece), out);
    }
    if (m_ExtendedName && m_Data)
        std::fputs(ExtendedParameter("name", FileBaseName(m_Data->c_str())).c_str(), out);
    std::fputs("\r\n", out);
}

void CMessagePart::WriteQuotedValue(const char* value, FILE* out)
{
    if (value[0] == '"') {
        WriteRequoted(value, out);
        return;
    }
    std::fputc('"', out);
    for (const char* p = value; *p; ++p) {
        if (*p == '"' || *p == '\\')
            std::fputc('\\', out);
        std::fputc(*p, out);
    }
    std::fputc('"', out);
}

// A part that stored nothing (an unreadable text file, an unknown kind)
// writes an empty body. An attachment must be a regular file or a pipe: a
// device such as /dev/zero would fill the spool until the disk is full.
void CMessagePart::WritePartBody(FILE* out)
{
    if (m_IsText) {
        if (m_Data)
            WriteTextBody(m_Data->c_str(), out);
        return;
    }
    const char* name = m_Data ? m_Data->c_str() : "";
    CFilePtr file(std::fopen(name, "rb"));
    const bool usable = file && Platform::IsRegularOrPipe(file.get());
    if (usable)
        WriteFileBody(file.get(), out);
    // A file that cannot be read to its end (an I/O error) must not leave a
    // short attachment behind as if all were well.
    if (!usable || std::ferror(file.get())) {
        if (Chatty() && file && !usable)
            std::fprintf(stderr, "Include file '%s' is not a regular file or a pipe. Aborting.\n", name);
        else if (Chatty())
            std::fprintf(stderr, "Unable to open include file '%s'. Aborting.\n", name);
        m_Owner->Raise(ERR_TEMP_FILE);
    }
}

void CMessagePart::WriteTextBody(const char* text, FILE* out)
{
    if (!text)
        return;
    if (m_Encoding == ENC_QUOTED_PRINTABLE)
        QPEncodeText(text, out);
    else if (m_Encoding == ENC_BASE64)
        Base64EncodeText(text, out);
    else
        std::fputs(text, out);
}

// The encoders stop at a read error and leave it on the stream; the caller
// checks ferror(in). They stop at the first failed write as well, leaving
// that error on out.
void CMessagePart::WriteFileBody(FILE* in, FILE* out)
{
    if (m_Encoding == ENC_QUOTED_PRINTABLE) {
        QPEncodeStream(in, out);
    } else if (m_Encoding == ENC_BASE64) {
        Base64EncodeStream(in, out);
    } else {
        char block[COPY_BLOCK];
        std::size_t got;
        while (!std::ferror(out) && (got = std::fread(block, 1, sizeof block, in)) > 0)
            if (std::fwrite(block, 1, got, out) != got)
                break;
    }
}
