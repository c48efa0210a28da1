#include <cstdio>
#include <cstring>
#include <string>

#include "platform/ContentTypes.h"
#include "platform/Text.h"
#include "quillant/Globals.h"
#include "quillant/MessagePart.h"

namespace {

constexpr std::size_t KEY_TEXT_SIZE = 64;
constexpr std::size_t VALUE_SIZE = 64;
constexpr std::size_t REGISTRY_PATH_LIMIT = 260;

bool IsImageExtension(const char* ext)
{
    for (const char* const* entry = g_ImageExtensions; **entry; ++entry)
        if (Platform::SameTextNoCase(*entry, ext))
            return true;
    return false;
}

// A key text that would not fit is not looked up at all: a cut key could
// name another extension's entry.
void LookUpType(const char* ext, char* value)
{
    char key[KEY_TEXT_SIZE];
    const int length = std::snprintf(key, sizeof key, ".%s\\Content Type", ext);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof key)
        ReadRegistryString(key, value, VALUE_SIZE);
}

// The extension comes from the base name alone, so a '.' in a folder name
// never turns a path into a subtype. "name." has no extension either.
std::string BareType(const char* fileName)
{
    const char* dot = std::strrchr(FileBaseName(fileName), '.');
    const char* ext = dot && dot[1] ? dot + 1 : nullptr;
    char value[VALUE_SIZE] = "";
    if (ext)
        LookUpType(ext, value);
    if (value[0])
        return value;
    return std::string(ext && IsImageExtension(ext) ? "image" : "unknown") + "/" + (ext ? ext : "unknown");
}

}  // namespace

const char* FileBaseName(const char* fileName)
{
    const char* base = fileName;
    for (const char* p = fileName; *p; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    return base;
}

char* GetBareContentType(const char* fileName, char* out, std::size_t size)
{
    if (size == 0)
        return out;
    CopyText(out, size, BareType(fileName).c_str());
    BlankLineBreaks(out);
    return out;
}

char* GetContentType(const char* fileName, char* out, std::size_t size)
{
    if (size == 0)
        return out;
    std::snprintf(out, size, "%s; name=\"%s\"", BareType(fileName).c_str(), FileBaseName(fileName));
    BlankLineBreaks(out);
    return out;
}

char* ReadRegistryString(const char* path, char* out, std::size_t size)
{
    if (size == 0)
        return out;
    out[0] = '\0';
    const char* split = std::strrchr(path, '\\');
    if (!split || std::strlen(path) >= REGISTRY_PATH_LIMIT)
        return out;
    char key[REGISTRY_PATH_LIMIT];
    const std::size_t keyLength = static_cast<std::size_t>(split - path);
    std::memcpy(key, path, keyLength);
    key[keyLength] = '\0';
    if (!Platform::ReadRegistryValue(key, split + 1, out, size))
        out[0] = '\0';
    return out;
}
