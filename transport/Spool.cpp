#include "transport/Spool.h"

#include <cstring>

#include "platform/Files.h"
#include "quillant/Globals.h"

namespace {

int g_SpoolCounter = 1;
constexpr int MAX_SPOOL_TRIES = 32767;
const char SPOOL_PREFIX[] = "~mail";
const char SPOOL_FALLBACK[] = "./~mail.tmp";

// Formats into name; false when the text does not fit.
bool FormatName(char (&name)[SPOOL_NAME_SIZE], const std::string& directory, int number)
{
    const bool hasSeparator = !directory.empty() && (directory.back() == '/' || directory.back() == '\\');
    const int n = std::snprintf(name, sizeof name, "%s%s%s%d", directory.c_str(), hasSeparator ? "" : "/",
                                SPOOL_PREFIX, number);
    return n >= 0 && static_cast<std::size_t>(n) < sizeof name;
}

// CREATED, or CANNOT_CREATE when the name was free yet could not be made;
// a name that exists (also one that appeared meanwhile) reports exists.
SpoolStatus TryCreate(const char* name, FILE*& file, bool& exists)
{
    exists = Platform::PathExists(name);
    if (exists)
        return SpoolStatus::CANNOT_CREATE;
    file = Platform::CreateExclusive(name);
    if (file)
        return SpoolStatus::CREATED;
    exists = Platform::PathExists(name);
    return SpoolStatus::CANNOT_CREATE;
}

}  // namespace

std::string SpoolDirectory()
{
    static const char* const VARIABLES[] = {"MAIL_TEMP", "TEMP", "TMP", "TMPDIR"};
    std::string directory = "/tmp";
    for (const char* variable : VARIABLES) {
        if (const char* value = Platform::GetEnv(variable)) {
            directory = value;
            break;
        }
    }
    if (Platform::IsDirectory(directory.c_str()))
        return directory;
    return Platform::IsDirectory("/tmp") ? "/tmp" : ".";
}

SpoolStatus GetTempMailFile(char (&name)[SPOOL_NAME_SIZE], FILE*& file)
{
    file = nullptr;
    const std::string directory = SpoolDirectory();
    for (int tries = 0; tries < MAX_SPOOL_TRIES; ++tries) {
        if (!FormatName(name, directory, ++g_SpoolCounter)) {
            CopyText(name, sizeof name, "");
            return SpoolStatus::NAME_TOO_LONG;
        }
        bool exists = false;
        const SpoolStatus status = TryCreate(name, file, exists);
        if (!exists)
            return status;
    }
    CopyText(name, sizeof name, SPOOL_FALLBACK);
    bool exists = false;
    return TryCreate(name, file, exists);
}

SpoolStatus CSpoolFile::Create()
{
    Remove();
    return GetTempMailFile(m_Name, m_File);
}

void CSpoolFile::Remove()
{
    if (!m_File)
        return;
    std::fclose(m_File);
    m_File = nullptr;
    Platform::RemoveFile(m_Name);
}
