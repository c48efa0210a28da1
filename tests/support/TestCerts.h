// Certificates for the TLS tests, made fresh at test time: a test CA and
// server certificates that pass or fail verification in one way each.
#pragma once

#include <string>

namespace TestCerts {

struct CCertificate {
    std::string m_CertFile;     // PEM
    std::string m_KeyFile;      // PEM
    std::string m_Fingerprint;  // SHA-256, 64 lower-case hex digits
};

struct CTestPki {
    std::string m_CaFile;       // the test CA's certificate
    CCertificate m_Good;        // by the CA for localhost and 127.0.0.1
    CCertificate m_Expired;     // as m_Good, but expired yesterday
    CCertificate m_WrongHost;   // by the CA for other.example only
    CCertificate m_SelfSigned;  // for localhost and 127.0.0.1, signed by itself
};

// Writes the CA and the certificates into dir; false when that fails.
bool MakeTestPki(const std::string& dir, CTestPki& pki);

}  // namespace TestCerts
