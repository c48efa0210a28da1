// TLS sessions carried over the socket calls of Sockets.h, so that every
// handshake, read and write keeps their time-outs and their failure seam.
// The client side verifies the server; the server side exists for the
// loopback test servers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/Sockets.h"

namespace Platform {

// False where this build has no TLS; every handshake then fails.
bool TlsAvailable();

enum class TlsStatus { OK, FAILED, UNTRUSTED };

struct TlsClientOptions {
    // The server's name as configured: sent as SNI and matched against the
    // certificate; an IPv4 or IPv6 literal is matched as an address, no SNI.
    std::string m_HostName;
    // PEM bundle used instead of the system's trust store; empty: the store.
    std::string m_CaFile;
    // SHA-256 of the server's certificate, 64 lower-case hex digits. When
    // set, only this certificate is accepted and the chain is not consulted.
    std::string m_Fingerprint;
};

// What a client handshake agreed on and the certificate the server showed,
// for a person checking a server. Filled once the handshake completed, also
// when the certificate was then refused; empty before.
struct TlsSessionInfo {
    std::string m_Version;      // "TLS 1.2", "TLS 1.3"
    std::string m_Cipher;       // the cipher suite, by its standard name where known
    std::string m_Subject;      // "CN=..., O=...", most specific part first
    std::string m_Issuer;
    std::string m_NotBefore;    // "YYYY-MM-DD HH:MM:SS UTC"
    std::string m_NotAfter;
    std::string m_Fingerprint;  // SHA-256, "AB:CD:..."
};

class CTlsSession {
public:
    CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;
    ~CTlsSession();

    // TLS 1.2 or later as a client on s. FAILED: no TLS could be agreed;
    // UNTRUSTED: the certificate failed verification or the pin. reason is a
    // one-line text; fingerprint the certificate's SHA-256 ("AB:CD:...")
    // whenever the server showed one.
    TlsStatus Connect(SocketHandle s, const TlsClientOptions& options, int timeoutMs, std::string& reason,
                      std::string& fingerprint);
    // The server side, with a PEM certificate (chain) and key.
    bool Accept(SocketHandle s, const std::string& certificateFile, const std::string& keyFile, int timeoutMs,
                std::string& reason);

    // As SendSome and ReceiveSome, on the session's plain text.
    long Send(const char* data, std::size_t size, int timeoutMs);
    long Receive(char* buffer, std::size_t size, int timeoutMs);
    // Tells the peer the session ends (best effort, never waits for its reply).
    void Shutdown(int timeoutMs);

    // What the last Connect learned (see TlsSessionInfo).
    const TlsSessionInfo& Info() const { return m_Info; }

    struct CState;

private:
    std::unique_ptr<CState> m_State;
    TlsSessionInfo m_Info;
};

// The TLS library in use and its version, for --version ("OpenSSL 3.0.x ...",
// "SChannel"); says so when none can be loaded.
std::string TlsLibraryText();

}  // namespace Platform
