// A folder of the fuzzing process for the files a target writes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>

#include "tests/support/FileBytes.h"

namespace Fuzz {

inline const std::filesystem::path& WorkFolder()
{
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() / ("sendvale-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return folder;
}

// The file name in the work folder, holding bytes.
inline std::string WriteFile(const std::string& name, std::string_view bytes)
{
    const std::filesystem::path path = WorkFolder() / name;
    TestUtil::WriteFile(path, bytes);
    return path.string();
}

using TestUtil::ReadFile;

}  // namespace Fuzz
