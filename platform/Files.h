// File-system queries and the spool file's exclusive creation.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

// A stdio stream closed when it goes out of scope.
struct CFileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using CFilePtr = std::unique_ptr<FILE, CFileCloser>;

namespace Platform {

// Size of a regular file by name; false when it cannot be examined.
bool FileSize(const char* name, std::uint64_t& size);
bool IsDirectory(const char* name);
// True when an open stream reads a regular file or a pipe: input whose end
// comes. Folders, devices (a terminal, /dev/zero) and sockets give false.
// Asked of the stream itself, so nothing can be swapped in after the check.
bool IsRegularOrPipe(FILE* file);
// True when anything (file, directory, dangling link) stands under the name,
// or when that cannot be told for lack of access.
bool PathExists(const char* name);
// Creates a new file for reading and writing in binary mode, failing when the
// name exists (no link or pre-created file is ever written through). Mode 0600
// where the platform has modes.
FILE* CreateExclusive(const char* name);
bool RemoveFile(const char* name);
// The value of an environment variable, or null when it is not set.
const char* GetEnv(const char* name);

}  // namespace Platform
