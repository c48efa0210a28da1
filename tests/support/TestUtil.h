// Helpers shared by the unit tests: temporary folders, files, environment
// overrides, captured streams and raised error codes.
#pragma once

#include <gtest/gtest.h>

#include "platform/Files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "quillant/Quillant.h"
#include "tests/support/FileBytes.h"

namespace TestUtil {

namespace fs = std::filesystem;

using ::CFilePtr;

// A fresh folder under the system's temporary folder, removed with all it
// holds (even read-only parts) when the object goes.
class CTempDir {
public:
    CTempDir()
    {
        std::random_device seed;
        for (;;) {
            m_Path = fs::temp_directory_path() / ("sendvale-test-" + std::to_string(seed()));
            if (fs::create_directory(m_Path))
                break;
        }
    }
    ~CTempDir()
    {
        std::error_code ignored;
        fs::permissions(m_Path, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(m_Path, ignored);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    std::string Path(const std::string& name = "") const { return (m_Path / name).string(); }

private:
    fs::path m_Path;
};

// Sets (or, with no value, removes) a variable for the scope's lifetime.
class CScopedEnv {
public:
    CScopedEnv(const char* name, std::optional<std::string> value) : m_Name(name)
    {
        if (const char* old = std::getenv(name))
            m_Old = old;
        Apply(value);
    }
    // A null value removes the variable.
    CScopedEnv(const char* name, const char* value)
        : CScopedEnv(name, value ? std::optional<std::string>(value) : std::nullopt)
    {
    }
    ~CScopedEnv() { Apply(m_Old); }
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

private:
    void Apply(const std::optional<std::string>& value)
    {
        if (value)
            setenv(m_Name.c_str(), value->c_str(), 1);
        else
            unsetenv(m_Name.c_str());
    }
    std::string m_Name;
    std::optional<std::string> m_Old;
};

// Each test runs inside a fresh temporary folder, for code that names its
// files without a folder; the old working folder comes back after.
class CInTempFolderTest : public ::testing::Test {
protected:
    CInTempFolderTest() : m_OldCwd(fs::current_path()) { fs::current_path(m_Dir.Path()); }
    ~CInTempFolderTest() override { fs::current_path(m_OldCwd); }

    CTempDir m_Dir;
    fs::path m_OldCwd;
};

// Everything in the stream, read from its start after a flush.
inline std::string StreamText(FILE* f)
{
    std::fflush(f);
    std::rewind(f);
    std::string all;
    char block[4096];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, f)) > 0)
        all.append(block, got);
    return all;
}

// Runs write against a fresh temporary stream and returns what it wrote.
inline std::string Captured(const std::function<void(FILE*)>& write)
{
    CFilePtr out(std::tmpfile());
    write(out.get());
    return StreamText(out.get());
}

// Runs the call and returns the code it raised, or 0.
inline int RaisedBy(const std::function<void()>& call)
{
    try {
        call();
    } catch (CSMTPError* error) {
        return error->m_ErrorCode;
    }
    return 0;
}

}  // namespace TestUtil
