// The mail object: header list, receivers, body parts and the error code of
// the last failure.
//
// Failures travel one way: the failing operation stores a code from the table
// below in m_ErrorCode and throws the object's address as a CSMTPError*.
// Only WriteOutMessage and CSMTPEmail::Send catch.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "quillant/MessagePart.h"

enum {
    ERR_SUCCESS = 0,
    ERR_BAD_ARGUMENTS = 1,
    ERR_TEMP_READ = 2,
    ERR_START_SOCKETS = 3,
    ERR_RESOLVE_HOST = 4,
    ERR_SOCKET_HANDLE = 5,
    ERR_CONNECT = 6,
    ERR_SEND = 7,
    ERR_RECEIVE = 8,
    ERR_SERVER = 9,
    ERR_HOST_NAME = 10,
    ERR_NO_MEMORY = 11,
    ERR_TEMP_FILE = 12,
    ERR_UNKNOWN = 13,
    ERR_TLS = 14,
    ERR_CERTIFICATE = 15,
    ERR_AUTH = 16,
    ERR_DELIVERY_UNKNOWN = 17,
    ERROR_CODE_COUNT = 18
};

// Texts of the codes, indexed by code.
extern const char* const g_ErrorText[ERROR_CODE_COUNT];

// Text for any result code, including -1 and others outside the table.
const char* ErrorText(int code);

// What is thrown: a pointer to the failing mail object, read through its
// m_ErrorCode. Nothing is allocated for a throw and a handler frees nothing.
class CSMTPError {
public:
    int m_ErrorCode = 0;
};

// One header line. The name is a string constant stored by pointer; the
// value is owned and may hold folds ("\r\n\t") made by AppendValue.
class CHeaderField {
public:
    CHeaderField() = default;
    CHeaderField(const CHeaderField&) = delete;
    CHeaderField& operator=(const CHeaderField&) = delete;
    ~CHeaderField();

    // Adds "," then, when the current line holds more than 75 characters
    // (counted from its last LF, the LF included), the fold "\r\n\t", then text.
    void AppendValue(const char* text);

    const char* m_Name = nullptr;
    std::string m_Value;
    std::unique_ptr<CHeaderField> m_Next;
};

// First field whose name equals name without regard to ASCII case, or null.
CHeaderField* FindHeader(const char* name, CHeaderField* first);
// Appends to (append != 0), replaces, or adds at the end; returns the field.
CHeaderField* PutHeader(const char* name, const char* value, CHeaderField* first, int append);
// Folds a header field as written ("name: value", any folds included) so
// that no line passes 998 octets: before a blank, each new line starting with
// it. A field that fits is left as it is. False, leaving field as it was,
// when a word would still not fit.
bool FoldLongLines(std::string& field);
// "%s: %s\r\n" per field from first to the end, then flushes out; a value
// that is not plain ASCII is written as EncodeHeaderValue gives it, and a
// field with a line too long is folded (FoldLongLines). Returns false, with
// a message in verbose or debug mode, at the first field that cannot be
// folded to fit; the fields before it are written. A failed write ends the
// writing, its error left on out.
bool WriteHeaders(CHeaderField* first, FILE* out);

class CQuillant : public CSMTPError {
public:
    CQuillant();
    CQuillant(const CQuillant&) = delete;
    CQuillant& operator=(const CQuillant&) = delete;
    ~CQuillant();

    // Header list. SetHeader always returns 0. GetHeader returns def itself
    // when the name is missing; the returned text lives until the field changes.
    int SetHeader(const char* name, const char* value, int append);
    const char* GetHeader(const char* name, const char* def);

    // Appends a body part and returns its Load result (0, or -1 for an
    // unreadable PART_TEXT_FILE). Raises 1 for an attachment with MIME off.
    int AddPart(const char* data, int kind);

    // Receivers and standard headers. Raise 1: AddCc/AddBcc in news mode, an
    // address-list file that cannot be read, is not a regular file or a pipe,
    // or recurses, a receiver longer than 126 characters or holding a line
    // break, more than 1000 list files opened or 100000 receivers in all.
    void AddTo(const char* address);
    void AddCc(const char* address);
    void AddBcc(const char* address);
    void AddAddress(const char* header, const char* address);
    void SetFrom(const char* text);
    void SetSender(const char* text);
    void SetSubject(const char* text);
    void SetPriority(int priority);
    void SetDate();
    // Adds a Message-ID unless there is one; hostName names the domain when
    // the sender's address gives none (see MessageIdDomain).
    void SetMessageId(const char* hostName);

    // Writes the whole message. Returns 0, the code of a thrown CSMTPError
    // (12 for an attachment that cannot be opened, 1 for a header line that
    // cannot be folded to 998 octets), or -1 for anything else. The first
    // failed write ends the writing; it still returns 0 then, the error left
    // on out (ferror) for the caller.
    int WriteOutMessage(FILE* out);
    // The unguarded worker: completes the header list, writes a layout.
    int WriteMessageText(FILE* out);

    // Stores code in m_ErrorCode and throws this object as a CSMTPError*.
    [[noreturn]] void Raise(int code);

    int m_NewsMode = 0;
    int m_UseMime = 1;
    int m_OemToAnsi = 0;
    std::unique_ptr<CMessagePart> m_Parts;
    std::unique_ptr<CHeaderField> m_Headers;
    // Every receiver so far joined by ","; empty optional while there is none.
    std::optional<std::string> m_Receivers;
    int m_ReceiverCount = 0;
    int m_ListFilesOpened = 0;
};
