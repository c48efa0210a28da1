#include "platform/Profile.h"

#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/common/ProfileValue.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Platform {

namespace {

using Lines = std::vector<std::string>;  // each line with its own line end

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (IsBlank(text.front()) || IsLineEnd(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && (IsBlank(text.back()) || IsLineEnd(text.back())))
        text.remove_suffix(1);
    return text;
}

// "[Name]" gives Name; anything else is no section head.
bool SectionHead(std::string_view line, std::string_view& name)
{
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[' || line.back() != ']')
        return false;
    name = Trim(line.substr(1, line.size() - 2));
    return true;
}

// "Key=Value" gives both, trimmed; comments and other lines give false.
bool KeyLine(std::string_view line, std::string_view& key, std::string_view& value)
{
    const std::string_view body = Trim(line);
    if (body.empty() || body.front() == ';' || body.front() == '#' || body.front() == '[')
        return false;
    const std::size_t eq = body.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = Trim(body.substr(0, eq));
    value = Trim(body.substr(eq + 1));
    return true;
}

std::string HomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && *home)
        return home;
    const passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "";
}

std::string ProfilePath()
{
    const char* explicitPath = std::getenv("SENDVALE_PROFILE");
    if (explicitPath && *explicitPath)
        return explicitPath;
    std::string config;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        config = xdg;
    } else {
        const std::string home = HomeFolder();
        if (home.empty())
            return "";
        config = home + "/.config";
    }
    return config + "/sendvale/sendvale.ini";
}

enum class ReadStatus { READ, PIPE, MISSING, WRONG_KIND, FAILED };

bool IsFileOrPipe(const struct stat& info) { return S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode); }


// A pipe can be read only once, and a run reads its profile key by key.
struct CPipeProfile {
    std::string m_Path;
    Lines m_Lines;
};
CPipeProfile g_PipeProfile;

// A missing file is empty. Anything but a regular file or a pipe is not
// read at all: reading a device may never end.
ReadStatus ReadLines(const std::string& path, Lines& lines)
{
    lines.clear();
    if (!g_PipeProfile.m_Path.empty() && g_PipeProfile.m_Path == path) {
        lines = g_PipeProfile.m_Lines;
        return ReadStatus::PIPE;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && !IsFileOrPipe(info))
        return ReadStatus::WRONG_KIND;  // not even opened: opening some devices acts
    std::unique_ptr<FILE, CFileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return errno == ENOENT ? ReadStatus::MISSING : ReadStatus::FAILED;
    if (fstat(fileno(f.get()), &info) != 0 || !IsFileOrPipe(info))
        return ReadStatus::WRONG_KIND;
    std::string line;
    int c;
    while ((c = std::getc(f.get())) != EOF) {
        line += static_cast<char>(c);
        if (c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
        }
    }
    if (std::ferror(f.get()))
        return ReadStatus::FAILED;
    if (!line.empty())
        lines.push_back(std::move(line));
    if (!S_ISFIFO(info.st_mode))
        return ReadStatus::READ;
    g_PipeProfile.m_Path = path;
    g_PipeProfile.m_Lines = lines;
    return ReadStatus::PIPE;
}

bool Readable(ReadStatus status)
{
    return status == ReadStatus::READ || status == ReadStatus::PIPE || status == ReadStatus::MISSING;
}

// Finds the key's line in the first section of that name. keyLine is the
// line's index or npos; sectionEnd is where a new key of the section goes
// (npos when the section is missing).
void Locate(const Lines& lines, std::string_view section, std::string_view key,
            std::size_t& keyLine, std::size_t& sectionEnd)
{
    keyLine = sectionEnd = std::string::npos;
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view name, k, v;
        if (SectionHead(lines[i], name)) {
            if (inside)
                return;
            inside = SameTextNoCase(name, section);
            if (inside)
                sectionEnd = i + 1;
            continue;
        }
        if (!inside)
            continue;
        if (!Trim(lines[i]).empty())
            sectionEnd = i + 1;  // new keys go after the section's last non-blank line
        if (KeyLine(lines[i], k, v) && SameTextNoCase(k, key)) {
            keyLine = i;
            return;
        }
    }
}

std::string LineEndOf(const std::string& line)
{
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
        return "\r\n";
    return "\n";
}

void EnsureLineEnd(Lines& lines, std::size_t index)
{
    if (index < lines.size() && (lines[index].empty() || lines[index].back() != '\n'))
        lines[index] += '\n';
}

void PutKey(Lines& lines, const char* section, const char* key, const char* value)
{
    std::size_t keyLine, sectionEnd;
    Locate(lines, section, key, keyLine, sectionEnd);
    const std::string clean(Trim(OneLineValue(value)));
    if (keyLine != std::string::npos) {
        std::string& line = lines[keyLine];
        const std::string_view body = Trim(line);
        const std::string keyText(Trim(body.substr(0, body.find('='))));
        line = keyText + "=" + clean + LineEndOf(line);
        return;
    }
    const std::string entry = std::string(Trim(key)) + "=" + clean + "\n";
    if (sectionEnd != std::string::npos) {
        EnsureLineEnd(lines, sectionEnd - 1);
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), entry);
        return;
    }
    if (!lines.empty()) {
        EnsureLineEnd(lines, lines.size() - 1);
        if (!Trim(lines.back()).empty())
            lines.push_back("\n");
    }
    lines.push_back("[" + std::string(Trim(section)) + "]\n");
    lines.push_back(entry);
}

// Creates each missing folder of the path's parent, mode 0700.
bool MakeParentFolders(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool WriteAll(int fd, const Lines& lines)
{
    for (const std::string& line : lines) {
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = write(fd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
    }
    return fsync(fd) == 0;
}

// A temporary file beside the target, then rename: readers see the old file
// or the new one, never a half-written one.
bool ReplaceFile(const std::string& path, const Lines& lines)
{
    std::string target = path;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved))
        target = resolved;  // write through a link instead of replacing it
    if (!MakeParentFolders(target))
        return false;
    std::string temp = target + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        return false;
    const bool written = fchmod(fd, 0600) == 0 && WriteAll(fd, lines);
    const bool closed = close(fd) == 0;
    if (written && closed && rename(temp.c_str(), target.c_str()) == 0)
        return true;
    unlink(temp.c_str());
    return false;
}

}  // namespace

std::size_t GetProfileString(const char* section, const char* key, const char* def,
                             char* out, std::size_t size)
{
    if (size == 0)
        return 0;
    std::string value = def ? def : "";
    const std::string path = ProfilePath();
    Lines lines;
    if (!path.empty() && Readable(ReadLines(path, lines))) {
        std::size_t keyLine, sectionEnd;
        Locate(lines, section, key, keyLine, sectionEnd);
        std::string_view k, v;
        if (keyLine != std::string::npos && KeyLine(lines[keyLine], k, v))
            value = std::string(v);
    }
    std::size_t n = value.size();
    if (n > size - 1)
        n = size - 1;
    std::memcpy(out, value.data(), n);
    out[n] = '\0';
    return n;
}

bool WriteProfileString(const char* section, const char* key, const char* value)
{
    const std::string path = ProfilePath();
    Lines lines;
    if (path.empty())
        return false;
    const ReadStatus status = ReadLines(path, lines);
    if (status != ReadStatus::READ && status != ReadStatus::MISSING)
        return false;  // a pipe's writer would never see the change
    PutKey(lines, section, key, value);
    return ReplaceFile(path, lines);
}

bool ProfileKindUsable()
{
    const std::string path = ProfilePath();
    Lines lines;
    return path.empty() || ReadLines(path, lines) != ReadStatus::WRONG_KIND;
}

std::string ProfileLocation() { return ProfilePath(); }

bool ProfileOpenToOthers(bool& groupOrOthersRead, bool& groupOrOthersWrite)
{
    groupOrOthersRead = groupOrOthersWrite = false;
    const std::string path = ProfilePath();
    struct stat info;
    // stat, not lstat: what counts is the file a link leads to.
    if (path.empty() || stat(path.c_str(), &info) != 0)
        return false;
    groupOrOthersRead = (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
    groupOrOthersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return groupOrOthersRead || groupOrOthersWrite;
}

}  // namespace Platform
