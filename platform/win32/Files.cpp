#include "platform/Files.h"

#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace Platform {

bool FileSize(const char* name, std::uint64_t& size)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(name, GetFileExInfoStandard, &data))
        return false;
    size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool IsDirectory(const char* name)
{
    const DWORD attributes = GetFileAttributesA(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsRegularOrPipe(FILE* file)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const DWORD type = GetFileType(handle);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

// Only a name that cannot be tested (no access, a file pending deletion)
// counts as existing; one that cannot name a file at all does not, so the
// spool's search ends at once in a failed creation instead of trying on.
bool PathExists(const char* name)
{
    if (GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES)
        return true;
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return false;
    default:
        return true;
    }
}

// CREATE_NEW fails on any existing name, reparse points included, so nothing
// planted under the spool name is ever opened. FILE_SHARE_DELETE lets the
// spool guard remove the file even if a stream on it is still open.
FILE* CreateExclusive(const char* name)
{
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        DeleteFileA(name);
        return nullptr;
    }
    FILE* file = _fdopen(fd, "w+b");
    if (!file) {
        _close(fd);
        DeleteFileA(name);
    }
    return file;
}

bool RemoveFile(const char* name) { return DeleteFileA(name) != 0; }

const char* GetEnv(const char* name) { return std::getenv(name); }

}  // namespace Platform
