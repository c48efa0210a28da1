#include "platform/Files.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

bool FileSize(const char* name, std::uint64_t& size)
{
    struct stat st {};
    if (stat(name, &st) != 0)
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool IsDirectory(const char* name)
{
    struct stat st {};
    return stat(name, &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularOrPipe(FILE* file)
{
    struct stat st {};
    return fstat(fileno(file), &st) == 0 && (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode));
}

bool PathExists(const char* name)
{
    struct stat st {};
    if (lstat(name, &st) == 0)
        return true;
    return errno != ENOENT && errno != ENOTDIR;
}

FILE* CreateExclusive(const char* name)
{
    const int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    FILE* f = fdopen(fd, "w+b");
    if (!f) {
        close(fd);
        unlink(name);
    }
    return f;
}

bool RemoveFile(const char* name) { return unlink(name) == 0; }

const char* GetEnv(const char* name) { return std::getenv(name); }

}  // namespace Platform
