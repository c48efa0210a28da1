#include "platform/Profile.h"

#include "platform/common/ProfileValue.h"

#include <windows.h>

// windows.h maps these names onto its own A/W pairs.
#undef GetProfileString
#undef WriteProfileString

namespace Platform {

std::size_t GetProfileString(const char* section, const char* key, const char* def,
                             char* out, std::size_t size)
{
    if (size == 0)
        return 0;
    const DWORD capacity = size > 0x7fffffffu ? 0x7fffffffu : static_cast<DWORD>(size);
    return GetProfileStringA(section, key, def ? def : "", out, capacity);
}

bool WriteProfileString(const char* section, const char* key, const char* value)
{
    return WriteProfileStringA(section, key, OneLineValue(value).c_str()) != 0;
}

bool ProfileKindUsable() { return true; }

std::string ProfileLocation()
{
    char folder[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(folder, sizeof folder);
    if (length == 0 || length >= sizeof folder)
        return "win.ini";
    std::string location(folder, length);
    if (location.back() != '\\')
        location += '\\';
    return location + "win.ini";
}

// Windows guards win.ini with access lists rather than owner/group/other
// modes, so there is nothing for this rule to look at.
bool ProfileOpenToOthers(bool& groupOrOthersRead, bool& groupOrOthersWrite)
{
    groupOrOthersRead = groupOrOthersWrite = false;
    return false;
}

}  // namespace Platform
