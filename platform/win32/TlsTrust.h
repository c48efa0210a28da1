// The checks of the server's certificate for the SChannel sessions: the
// handshake runs with manual validation, so the verdict is ours, taken the
// same way as on POSIX (chain and name, or a pinned SHA-256).
#pragma once

#include <memory>
#include <string>

// winsock2.h must come before windows.h wherever both are seen.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

namespace Platform {

struct CCertificateFree {
    void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
struct CChainFree {
    void operator()(const CERT_CHAIN_CONTEXT* c) const { CertFreeCertificateChain(c); }
};
struct CStoreClose {
    void operator()(void* s) const { CertCloseStore(s, 0); }
};
using CCertificate = std::unique_ptr<const CERT_CONTEXT, CCertificateFree>;
using CChain = std::unique_ptr<const CERT_CHAIN_CONTEXT, CChainFree>;
using CCertStore = std::unique_ptr<void, CStoreClose>;

// "0x" and eight hex digits, for error codes in reasons.
std::string HexCode(unsigned long code);

// ANSI text (host names, as configured) as UTF-16 for the system's calls.
std::wstring WideText(const std::string& text);

// The certificates of a PEM file in a memory store of their own; false with
// a reason when the file cannot be read or holds none.
bool LoadCaFile(const std::string& file, CCertStore& store, std::string& reason);

// "AB:CD:..."; empty when it cannot be computed.
std::string Sha256Fingerprint(const CERT_CONTEXT* certificate);

// The chain up to a trusted root (caStore's certificates in place of the
// system's roots when caStore is set) and the host name; false with a
// reason naming what failed.
bool VerifyServerCertificate(const CERT_CONTEXT* certificate, void* caStore, const std::string& host,
                             std::string& reason);

}  // namespace Platform
