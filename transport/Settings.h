// The transport's own settings from [Setup]: how far to trust the server's
// certificate and how to log in. Only the URL server forms use them; a bare
// host name keeps the plain dialogue whatever they say.
#pragma once

#include <string>

#include "platform/Text.h"

// A text that is wiped from memory when it goes away.
class CSecretText {
public:
    CSecretText() = default;
    CSecretText(const CSecretText&) = delete;
    CSecretText& operator=(const CSecretText&) = delete;
    ~CSecretText() { Wipe(); }

    void Assign(const char* text);
    void Assign(std::string&& text);
    void Wipe();
    const std::string& Text() const { return m_Text; }
    bool Empty() const { return m_Text.empty(); }

private:
    std::string m_Text;
};

constexpr int DEFAULT_TIMEOUT_SECONDS = 300;
constexpr int DEFAULT_RETRY_DELAY_SECONDS = 60;
constexpr int MAX_RETRY_DELAY_SECONDS = 3600;
constexpr int MAX_RETRIES = 100;

struct CTransportSettings {
    // Every network wait, in seconds ("Timeout"); the reply to the end-of-data
    // line waits at least ten minutes.
    int m_TimeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
    std::string m_CaFile;           // "CA File": PEM bundle used instead of the system store
    std::string m_Fingerprint;      // "TLS Fingerprint": 64 lower-case hex digits, or empty
    std::string m_SmtpUser;         // "SMTP User"
    CSecretText m_SmtpPassword;     // "SMTP Password"
    std::string m_PasswordCommand;  // "SMTP Password Command": prints the password or token
    std::string m_SmtpAuth;         // "SMTP Auth": "", "plain", "login", "xoauth2" or "oauthbearer"
    int m_Retries = 0;              // "Retries": sessions after a first one that failed
    int m_RetryDelaySeconds = DEFAULT_RETRY_DELAY_SECONDS;  // "Retry Delay": the first wait, then doubled
};

extern CTransportSettings g_TransportSettings;

// "TLS Fingerprint" as stored: hex digits of SHA-256, colons between pairs
// optional, either case. False when it is not that; normalized is then empty.
bool NormalizeFingerprint(const std::string& text, std::string& normalized);
// A valid "SMTP Auth" value (compared without regard to case), lower-cased.
bool NormalizeAuthMechanism(const std::string& text, std::string& normalized);
