#include "platform/win32/TlsTrust.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace Platform {
namespace {

// wininet.h's SECURITY_FLAG_IGNORE_UNKNOWN_CA, which the SSL policy reads.
const DWORD IGNORE_UNKNOWN_CA = 0x00000100;

const char HEX[] = "0123456789ABCDEF";

bool ReadWholeFile(const std::string& name, std::string& text)
{
    FILE* f = std::fopen(name.c_str(), "rb");
    if (!f)
        return false;
    char block[4096];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0)
        text.append(block, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

// The chain's own faults, most telling first; revocation is not asked for,
// as on POSIX, so its "unknown" bits mean nothing here.
struct CTrustError {
    DWORD m_Bits;
    const char* m_Text;
};
const CTrustError TRUST_ERRORS[] = {
    {CERT_TRUST_IS_NOT_TIME_VALID, "the certificate has expired or is not yet valid"},
    {CERT_TRUST_IS_REVOKED, "the certificate has been revoked"},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "a signature in the certificate's chain is not valid"},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, "the certificate is not meant for TLS servers"},
    {CERT_TRUST_IS_UNTRUSTED_ROOT, "the certificate's chain ends at an untrusted root (self-signed or unknown CA)"},
    {CERT_TRUST_IS_PARTIAL_CHAIN, "the certificate's issuer is unknown"},
    {CERT_TRUST_IS_CYCLIC, "the certificate's chain is cyclic"},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, "an issuer in the certificate's chain is no CA"},
    {CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT
         | CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT,
     "the certificate breaks its issuer's name constraints"},
};
const DWORD REVOCATION_NOT_ASKED = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

struct CPolicyError {
    DWORD m_Code;
    const char* m_Text;
};
const CPolicyError POLICY_ERRORS[] = {
    {static_cast<DWORD>(CERT_E_EXPIRED), "the certificate has expired or is not yet valid"},
    {static_cast<DWORD>(CERT_E_UNTRUSTEDROOT), "the certificate's chain ends at an untrusted root"},
    {static_cast<DWORD>(CERT_E_WRONG_USAGE), "the certificate is not meant for TLS servers"},
    {static_cast<DWORD>(CERT_E_REVOKED), "the certificate has been revoked"},
};

// Whether the chain's last certificate is, byte for byte, one of store's.
bool EndsIn(const CERT_CHAIN_CONTEXT& chain, void* store)
{
    if (chain.cChain == 0 || chain.rgpChain[0]->cElement == 0)
        return false;
    const CERT_SIMPLE_CHAIN& simple = *chain.rgpChain[0];
    const CERT_CONTEXT* last = simple.rgpElement[simple.cElement - 1]->pCertContext;
    for (const CERT_CONTEXT* c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) {
        if (c->cbCertEncoded == last->cbCertEncoded
            && std::equal(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded, last->pbCertEncoded)) {
            CertFreeCertificateContext(c);
            return true;
        }
    }
    return false;
}

}  // namespace

std::string HexCode(unsigned long code)
{
    std::string text = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        text += HEX[(code >> shift) & 0xf];
    return text;
}

std::wstring WideText(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 1)
        return L"";
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], length);
    wide.resize(static_cast<std::size_t>(length) - 1);
    return wide;
}

bool LoadCaFile(const std::string& file, CCertStore& store, std::string& reason)
{
    static const std::string BEGIN = "-----BEGIN CERTIFICATE-----";
    static const std::string END = "-----END CERTIFICATE-----";
    std::string text;
    store.reset(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!store || !ReadWholeFile(file, text)) {
        reason = "cannot load the CA File (cannot read '" + file + "')";
        return false;
    }
    int count = 0;
    for (std::size_t at = text.find(BEGIN); at != std::string::npos; at = text.find(BEGIN, at)) {
        const std::size_t end = text.find(END, at);
        if (end == std::string::npos)
            break;
        const DWORD length = static_cast<DWORD>(end + END.size() - at);
        DWORD size = 0;
        std::vector<BYTE> der;
        bool ok = CryptStringToBinaryA(text.data() + at, length, CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                       nullptr, nullptr);
        if (ok) {
            der.resize(size);
            ok = CryptStringToBinaryA(text.data() + at, length, CRYPT_STRING_BASE64HEADER, der.data(), &size,
                                      nullptr, nullptr)
                && CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), size,
                                                    CERT_STORE_ADD_USE_EXISTING, nullptr);
        }
        if (!ok) {
            reason = "cannot load the CA File (certificate " + std::to_string(count + 1) + " is malformed)";
            return false;
        }
        ++count;
        at = end + END.size();
    }
    if (count == 0) {
        reason = "cannot load the CA File (no PEM certificate in it)";
        return false;
    }
    return true;
}

std::string Sha256Fingerprint(const CERT_CONTEXT* certificate)
{
    BYTE digest[32];
    DWORD size = sizeof digest;
    if (!certificate
        || !CryptHashCertificate2(L"SHA256", 0, nullptr, certificate->pbCertEncoded, certificate->cbCertEncoded,
                                  digest, &size)
        || size != sizeof digest)
        return "";
    std::string text;
    for (DWORD i = 0; i < size; ++i) {
        if (i)
            text += ':';
        text += HEX[digest[i] >> 4];
        text += HEX[digest[i] & 0xf];
    }
    return text;
}

bool VerifyServerCertificate(const CERT_CONTEXT* certificate, void* caStore, const std::string& host,
                             std::string& reason)
{
    // The intermediates the server sent live in the certificate's own store.
    // Wine refuses an engine with an exclusive root store, so the CA File's
    // certificates join as extra ones and the chain's end is judged below.
    CCertStore extra(CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
    if (!extra || !CertAddStoreToCollection(extra.get(), certificate->hCertStore, 0, 0)
        || (caStore && !CertAddStoreToCollection(extra.get(), caStore, 0, 0))) {
        reason = "cannot set up the certificate check";
        return false;
    }
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    const CERT_CHAIN_CONTEXT* built = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, extra.get(), &para, 0, nullptr, &built)) {
        reason = "cannot build the certificate's chain (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    const CChain chain(built);
    const bool anchored = caStore && EndsIn(*chain, caStore);
    DWORD errors = chain->TrustStatus.dwErrorStatus & ~REVOCATION_NOT_ASKED;
    if (anchored)
        errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    for (const CTrustError& e : TRUST_ERRORS) {
        if (errors & e.m_Bits) {
            reason = e.m_Text;
            return false;
        }
    }
    if (errors) {
        reason = "the certificate's chain is not valid (trust status " + HexCode(errors) + ")";
        return false;
    }
    if (caStore && !anchored) {
        reason = "the certificate's chain does not end at a certificate of the CA File";
        return false;
    }
    std::wstring name = WideText(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = anchored ? IGNORE_UNKNOWN_CA : 0;
    ssl.pwszServerName = &name[0];
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = anchored ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) {
        reason = "cannot check the certificate against '" + host + "'";
        return false;
    }
    if (status.dwError == 0)
        return true;
    reason = "the certificate failed the check for '" + host + "' (" + HexCode(status.dwError) + ")";
    for (const CPolicyError& e : POLICY_ERRORS)
        if (e.m_Code == status.dwError)
            reason = e.m_Text;
    if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
        reason = "the certificate is not for '" + host + "' (name mismatch)";
    return false;
}

}  // namespace Platform
