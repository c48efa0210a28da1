#include "platform/ContentTypes.h"

#include "platform/Text.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace Platform {
namespace {

const char BLANKS[] = " \t\r\n\v\f";

std::vector<std::string> DatabaseFiles()
{
    std::vector<std::string> files;
    if (const char* list = std::getenv("SENDVALE_MIME_TYPES")) {
        std::string all(list);
        std::size_t start = 0;
        while (start <= all.size()) {
            std::size_t end = all.find(':', start);
            if (end == std::string::npos)
                end = all.size();
            if (end > start)
                files.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        return files;
    }
    const char* home = std::getenv("HOME");
    if (home && *home)
        files.push_back(std::string(home) + "/.mime.types");
    files.push_back("/etc/mime.types");
    return files;
}

// One line of a mime.types file: the type, then its extensions; '#' starts
// a comment.
bool LineListsExtension(std::string& line, const char* ext, std::string& type)
{
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos)
        line.erase(hash);
    std::size_t pos = line.find_first_not_of(BLANKS);
    bool first = true;
    while (pos != std::string::npos) {
        std::size_t end = line.find_first_of(BLANKS, pos);
        std::string word = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (first)
            type = word;
        else if (SameTextNoCase(word.c_str(), ext))
            return true;
        first = false;
        pos = end == std::string::npos ? end : line.find_first_not_of(BLANKS, end);
    }
    return false;
}

bool FindType(const char* ext, std::string& type)
{
    for (const std::string& file : DatabaseFiles()) {
        std::ifstream in(file);
        std::string line;
        while (in && std::getline(in, line))
            if (LineListsExtension(line, ext, type))
                return true;
    }
    return false;
}

}  // namespace

bool ReadRegistryValue(const char* keyPath, const char* valueName, char* out, std::size_t size)
{
    // Only ".ext" keys exist here; a deeper path names no key.
    if (keyPath[0] != '.' || keyPath[1] == '\0' || std::strpbrk(keyPath + 1, "\\/"))
        return false;
    if (!SameTextNoCase(valueName, "Content Type"))
        return false;
    std::string type;
    if (!FindType(keyPath + 1, type) || type.size() >= size)
        return false;
    std::memcpy(out, type.c_str(), type.size() + 1);
    return true;
}

}  // namespace Platform
