// Helpers shared by the sendvale unit tests: temporary folders, environment
// overrides, console input and a clean slate of the process-wide settings.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>

#include "quillant/Globals.h"
#include "sendvale/BodyInput.h"
#include "sendvale/Driver.h"

namespace TestUtil {

namespace fs = std::filesystem;

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

// A stream that yields the given bytes, like a pipe on standard input.
class CInput {
public:
    explicit CInput(const std::string& bytes) : m_File(std::tmpfile())
    {
        std::fwrite(bytes.data(), 1, bytes.size(), m_File);
        std::rewind(m_File);
    }
    ~CInput() { std::fclose(m_File); }
    CInput(const CInput&) = delete;
    CInput& operator=(const CInput&) = delete;
    FILE* Get() const { return m_File; }
    // What is left unread.
    std::string Rest() const
    {
        std::string rest;
        int c;
        while ((c = std::getc(m_File)) != EOF)
            rest += static_cast<char>(c);
        return rest;
    }

private:
    FILE* m_File;
};

inline void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void ResetDriverGlobals()
{
    g_Verbose = g_Debug = 0;
    g_DotTerminator = g_PauseAfterSend = 0;
    g_BodyLines.clear();
    g_TextFiles.clear();
    g_AttachmentFiles.clear();
    CopyText(g_SmtpHost, sizeof g_SmtpHost, "mail.invalid");
    g_Organization[0] = g_NntpHost[0] = g_NntpUser[0] = g_NntpPassword[0] = '\0';
    g_TimeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
    g_ProgramName = "sendvale";
}

}  // namespace TestUtil
