#include "transport/Settings.h"

#include <cctype>

CTransportSettings g_TransportSettings;

void CSecretText::Assign(const char* text)
{
    Wipe();
    m_Text = text ? text : "";
}

void CSecretText::Assign(std::string&& text)
{
    Wipe();
    m_Text.swap(text);
    Platform::WipeString(text);
}

void CSecretText::Wipe() { Platform::WipeString(m_Text); }

bool NormalizeFingerprint(const std::string& text, std::string& normalized)
{
    normalized.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ':' && normalized.size() % 2 == 0 && !normalized.empty() && i + 1 < text.size())
            continue;
        if (!std::isxdigit(c)) {
            normalized.clear();
            return false;
        }
        normalized += static_cast<char>(std::tolower(c));
    }
    if (normalized.size() != 64) {
        normalized.clear();
        return false;
    }
    return true;
}

bool NormalizeAuthMechanism(const std::string& text, std::string& normalized)
{
    normalized.clear();
    for (const char c : text)
        normalized += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return normalized.empty() || normalized == "plain" || normalized == "login" || normalized == "xoauth2"
        || normalized == "oauthbearer";
}
