// The temporary spool file the message is written to before it is sent.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

constexpr std::size_t SPOOL_NAME_SIZE = 128;  // 127 characters and a NUL

// The folder for spool files: the first of the platform's variables that is
// set (on POSIX "MAIL_TEMP", "TEMP", "TMP", "TMPDIR"), else its default
// ("/tmp"); a folder that does not exist gives way to the fallbacks in turn
// ("/tmp", then ".").
std::string SpoolDirectory();

enum class SpoolStatus { CREATED, NAME_TOO_LONG, CANNOT_CREATE };

// Creates a new spool file "<folder>/~mail<n>" (n from a process-wide
// counter, raised before each try; names that exist are skipped, never
// opened) or, when 32767 names in a row exist, the platform's fallback name
// ("./~mail.tmp"). Each file is created exclusively, so no link or planted
// file is written through. The name goes to name; a name that does not fit
// is refused, never cut.
SpoolStatus GetTempMailFile(char (&name)[SPOOL_NAME_SIZE], FILE*& file);

// Owns the spool file: closed and deleted on every way out.
class CSpoolFile {
public:
    CSpoolFile() = default;
    CSpoolFile(const CSpoolFile&) = delete;
    CSpoolFile& operator=(const CSpoolFile&) = delete;
    ~CSpoolFile() { Remove(); }

    SpoolStatus Create();
    FILE* File() const { return m_File; }
    const char* Name() const { return m_Name; }
    void Remove();

private:
    char m_Name[SPOOL_NAME_SIZE] = "";
    FILE* m_File = nullptr;
};
