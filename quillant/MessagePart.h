// One body part: a text held in memory or a file attachment whose file is
// read only while the message is written.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

class CQuillant;

enum {
    PART_RAW = 0,         // copy, no encoding
    PART_QUOTED = 1,      // copy, quoted-printable
    PART_OEM = 2,         // copy, quoted-printable, OEM-to-ANSI when asked
    PART_BODY = 3,        // as PART_OEM when a byte >= 128 is present, else PART_QUOTED
    PART_TEXT_FILE = 4,   // the bytes of the named file, as PART_BODY
    PART_ATTACHMENT = 5   // a file name; base64; content type and disposition
};

enum {
    ENC_NONE = 0,
    ENC_QUOTED_PRINTABLE = 1,
    ENC_BASE64 = 2
};

// Extensions typed "image" when the content-type database has no entry;
// ends with an empty entry.
extern const char* const g_ImageExtensions[];

class CMessagePart {
public:
    // Links the part at the tail of the owner's list; AddPart sets the head.
    explicit CMessagePart(CQuillant* owner);
    CMessagePart(const CMessagePart&) = delete;
    CMessagePart& operator=(const CMessagePart&) = delete;
    ~CMessagePart();

    // Returns 0, or -1 when a PART_TEXT_FILE file cannot be read (see
    // ReadTextFile). Raises 1 for PART_ATTACHMENT while the owner's MIME flag
    // is off.
    int Load(const char* data, int kind, int oemToAnsi);

    // Raises 1 when MM_CHARSET makes a line longer than 998 octets.
    void WritePartHeaders(FILE* out);
    // Raises 12 when an attachment's file cannot be opened or read, or is
    // neither a regular file nor a pipe.
    void WritePartBody(FILE* out);
    void WriteContentType(FILE* out, const char* type);
    void WriteQuotedValue(const char* value, FILE* out);
    void WriteTextBody(const char* text, FILE* out);
    void WriteFileBody(FILE* in, FILE* out);

    int m_IsText = 1;
    const char* m_ContentType = "text/plain";
    int m_Encoding = ENC_NONE;
    const char* m_Charset = nullptr;
    std::optional<std::string> m_Data;   // text, or the attachment's file name
    std::unique_ptr<CMessagePart> m_Next; // owns the rest of the list
    CMessagePart* m_Prev = nullptr;
    char m_ContentTypeBuf[324] = "";
    char m_Disposition[292] = "";
    // The file name is not ASCII: name and filename are extended parameters.
    int m_ExtendedName = 0;
    CQuillant* m_Owner = nullptr;
};

// The file's own name: the text after the last '/' or '\\' (all of it when
// there is none). Content types and dispositions are taken from it alone.
const char* FileBaseName(const char* fileName);

// How reading a text file ended.
enum class TextFileStatus { READ, NOT_FOUND, WRONG_KIND, READ_ERROR };

// The text of a file, read to its end whatever size the system reports (a
// pipe or a /proc file reports none), up to its first NUL byte. WRONG_KIND,
// without reading, for anything but a regular file or a pipe: a device such
// as /dev/zero never ends.
TextFileStatus ReadTextFile(const char* name, std::string& text);

// The charset a text part holding text is labelled with: MM_CHARSET when it
// is set (its line breaks turned into blanks), else the platform's choice for
// the text (Platform::TextCharset).
const char* TextPartCharset(const char* text);

// Content type text of a file without parameters, built into out as below.
char* GetBareContentType(const char* fileName, char* out, std::size_t size);

// Content type text of a file with its name parameter, built into out
// (capacity size, at least 324 for a part's buffer). Never fails.
char* GetContentType(const char* fileName, char* out, std::size_t size);

// HKEY_CLASSES_ROOT-style lookup "<key path>\<value name>"; empty on any miss
// and for a value that does not fit in size bytes.
char* ReadRegistryString(const char* path, char* out, std::size_t size);
