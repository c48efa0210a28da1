#include "transport/Spool.h"

#include <cstring>

#include "platform/Files.h"
#include "platform/Interrupt.h"
#include "platform/SpoolFolder.h"
#include "quillant/Globals.h"

namespace {

int g_SpoolCounter = 1;
constexpr int MAX_SPOOL_TRIES = 32767;
const char SPOOL_PREFIX[] = "~mail";

// Formats into name; false when the text does not fit.
bool FormatName(char (&name)[SPOOL_NAME_SIZE], const std::string& directory, int number)
{
    const bool hasSeparator = !directory.empty() && (directory.back() == '/' || directory.back() == '\\');
    const char separator[2] = {hasSeparator ? '\0' : Platform::PATH_SEPARATOR, '\0'};
    const int n = std::snprintf(name, sizeof name, "%s%s%s%d", directory.c_str(), separator, SPOOL_PREFIX, number);
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

constexpr std::size_t SPOOL_BUFFER_SIZE = 64 * 1024;

}  // namespace

std::string SpoolDirectory()
{
    std::string directory = Platform::SPOOL_DEFAULT_FOLDER;
    for (const char* const* variable = Platform::SPOOL_FOLDER_VARIABLES; *variable; ++variable) {
        if (const char* value = Platform::GetEnv(*variable)) {
            directory = value;
            break;
        }
    }
    const char* const* fallback = Platform::SPOOL_FALLBACK_FOLDERS;
    while (!Platform::IsDirectory(directory.c_str()) && *fallback)
        directory = *fallback++;
    return directory;
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
    CopyText(name, sizeof name, Platform::SPOOL_FALLBACK_NAME);
    bool exists = false;
    return TryCreate(name, file, exists);
}

SpoolStatus CSpoolFile::Create()
{
    Remove();
    const SpoolStatus status = GetTempMailFile(m_Name, m_File);
    // Larger writes than stdio's default; bigger ones bypass it anyway.
    if (status == SpoolStatus::CREATED) {
        std::setvbuf(m_File, nullptr, _IOFBF, SPOOL_BUFFER_SIZE);
        Platform::RemoveOnInterrupt(m_Name);
    }
    return status;
}

void CSpoolFile::Remove()
{
    if (!m_File)
        return;
    std::fclose(m_File);
    m_File = nullptr;
    Platform::RemoveFile(m_Name);
    Platform::RemoveOnInterrupt(nullptr);
}
