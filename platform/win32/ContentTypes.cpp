#include "platform/ContentTypes.h"

#include <cstring>
#include <vector>
#include <windows.h>

namespace Platform {
namespace {

// Owns an open registry key.
class CRegistryKey {
public:
    CRegistryKey(HKEY root, const char* path)
    {
        if (RegOpenKeyExA(root, path, 0, KEY_QUERY_VALUE, &m_Key) != ERROR_SUCCESS)
            m_Key = nullptr;
    }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;
    ~CRegistryKey()
    {
        if (m_Key)
            RegCloseKey(m_Key);
    }
    HKEY Get() const { return m_Key; }

private:
    HKEY m_Key = nullptr;
};

}  // namespace

// The registry does not promise a terminator behind a stored string, so the
// value is read into a buffer of its own and copied only when it fits whole.
bool ReadRegistryValue(const char* keyPath, const char* valueName, char* out, std::size_t size)
{
    if (size == 0 || size > 0x7fffffffu)
        return false;
    CRegistryKey key(HKEY_CLASSES_ROOT, keyPath);
    if (!key.Get())
        return false;
    std::vector<char> value(size + 1, '\0');
    DWORD type = 0;
    DWORD bytes = static_cast<DWORD>(size);
    const LONG rc = RegQueryValueExA(key.Get(), valueName, nullptr, &type,
                                     reinterpret_cast<BYTE*>(value.data()), &bytes);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    const std::size_t length = strnlen(value.data(), bytes);
    if (length >= size)
        return false;
    std::memcpy(out, value.data(), length);
    out[length] = '\0';
    return true;
}

}  // namespace Platform
