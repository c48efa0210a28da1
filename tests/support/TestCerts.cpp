#include "tests/support/TestCerts.h"

#include <cstdio>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace TestCerts {
namespace {

struct CFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
    void operator()(X509* x) const { X509_free(x); }
};
using CKey = std::unique_ptr<EVP_PKEY, CFree>;
using CCert = std::unique_ptr<X509, CFree>;

constexpr long DAY = 24 * 3600;

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    const bool ok = ext && X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// issuer null: self-signed. san null: a CA.
CCert MakeCert(EVP_PKEY* key, const char* commonName, const char* san, X509* issuer, EVP_PKEY* issuerKey,
               long fromSeconds, long untilSeconds, long serial)
{
    CCert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromSeconds);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), untilSeconds);
    X509_set_pubkey(cert.get(), key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer ? issuer : cert.get()));
    X509* signer = issuer ? issuer : cert.get();
    const bool ok = san ? AddExtension(cert.get(), signer, NID_subject_alt_name, san)
                              && AddExtension(cert.get(), signer, NID_basic_constraints, "CA:FALSE")
                        : AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE")
                              && AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    if (!ok || X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0)
        return nullptr;
    return cert;
}

bool WritePem(const std::string& name, X509* cert, EVP_PKEY* key)
{
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = cert ? PEM_write_X509(f, cert) == 1 : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return std::fclose(f) == 0 && ok;
}

std::string Fingerprint(X509* cert)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    X509_digest(cert, EVP_sha256(), digest, &length);
    std::string hex;
    char pair[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

bool Store(const std::string& base, X509* cert, EVP_PKEY* key, CCertificate& out)
{
    out.m_CertFile = base + "-cert.pem";
    out.m_KeyFile = base + "-key.pem";
    out.m_Fingerprint = cert ? Fingerprint(cert) : "";
    return cert && WritePem(out.m_CertFile, cert, nullptr) && WritePem(out.m_KeyFile, nullptr, key);
}

}  // namespace

bool MakeTestPki(const std::string& dir, CTestPki& pki)
{
    // One key serves every certificate: the tests are about names, dates and
    // issuers, not keys, and key generation is the slow part.
    CKey key(EVP_EC_gen("P-256"));
    if (!key)
        return false;
    const char* local = "DNS:localhost,IP:127.0.0.1,IP:::1";
    CCert ca = MakeCert(key.get(), "Sendvale Test CA", nullptr, nullptr, nullptr, -DAY, 30 * DAY, 1);
    CCert good = MakeCert(key.get(), "localhost", local, ca.get(), key.get(), -DAY, 30 * DAY, 2);
    CCert expired = MakeCert(key.get(), "localhost", local, ca.get(), key.get(), -30 * DAY, -DAY, 3);
    CCert wrong = MakeCert(key.get(), "other.example", "DNS:other.example", ca.get(), key.get(), -DAY, 30 * DAY, 4);
    CCert self = MakeCert(key.get(), "localhost", local, nullptr, nullptr, -DAY, 30 * DAY, 5);
    CCertificate caPair;
    const bool ok = Store(dir + "/ca", ca.get(), key.get(), caPair) && Store(dir + "/good", good.get(), key.get(), pki.m_Good)
        && Store(dir + "/expired", expired.get(), key.get(), pki.m_Expired)
        && Store(dir + "/wrong-host", wrong.get(), key.get(), pki.m_WrongHost)
        && Store(dir + "/self-signed", self.get(), key.get(), pki.m_SelfSigned);
    pki.m_CaFile = caPair.m_CertFile;
    return ok;
}

}  // namespace TestCerts
