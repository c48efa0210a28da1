#include "platform/Tls.h"

#include "platform/common/SocketState.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <vector>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace Platform {

namespace {

// OpenSSL is loaded on first use, so a run without TLS does not pay for
// mapping and relocating it.
#define SENDVALE_OPENSSL_FUNCTIONS(F) \
    F(ASN1_TIME_to_tm) F(SSL_CIPHER_get_name) F(SSL_CIPHER_standard_name) F(SSL_get_current_cipher) \
    F(SSL_version) F(X509_NAME_print_ex) F(X509_get0_notAfter) F(X509_get0_notBefore) \
    F(X509_get_issuer_name) F(X509_get_subject_name) \
    F(BIO_free) F(BIO_new) F(BIO_read) F(BIO_s_mem) \
    F(BIO_write) F(ERR_clear_error) F(ERR_error_string_n) F(ERR_get_error) \
    F(EVP_sha256) F(SSL_CTX_ctrl) F(SSL_CTX_free) F(SSL_CTX_load_verify_locations) \
    F(SSL_CTX_new) F(SSL_CTX_set_default_verify_paths) F(SSL_ctrl) F(SSL_do_handshake) \
    F(SSL_free) F(SSL_get0_param) F(SSL_get1_peer_certificate) F(SSL_get_error) \
    F(SSL_get_verify_result) F(SSL_new) F(SSL_read) F(SSL_set_accept_state) \
    F(SSL_set_bio) F(SSL_set_connect_state) F(SSL_set_verify) F(SSL_shutdown) \
    F(SSL_use_PrivateKey_file) F(SSL_use_certificate_chain_file) F(SSL_write) F(TLS_client_method) \
    F(TLS_server_method) F(X509_VERIFY_PARAM_set1_host) F(X509_VERIFY_PARAM_set1_ip_asc) F(X509_digest) \
    F(X509_free) F(X509_verify_cert_error_string)

struct COpenSsl {
#define SENDVALE_OPENSSL_MEMBER(name) decltype(&::name) name = nullptr;
    SENDVALE_OPENSSL_FUNCTIONS(SENDVALE_OPENSSL_MEMBER)
#undef SENDVALE_OPENSSL_MEMBER
    bool m_Loaded = false;
};

COpenSsl LoadOpenSsl()
{
    COpenSsl lib;
    void* handle = dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return lib;
    bool all = true;
    // libssl's own dependencies (libcrypto) are searched through its handle.
#define SENDVALE_OPENSSL_LOAD(name) \
    all = (lib.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name))) != nullptr && all;
    SENDVALE_OPENSSL_FUNCTIONS(SENDVALE_OPENSSL_LOAD)
#undef SENDVALE_OPENSSL_LOAD
    lib.m_Loaded = all;
    return lib;
}

const COpenSsl& Ssl()
{
    static const COpenSsl lib = LoadOpenSsl();
    return lib;
}

}  // namespace

// OpenSSL talks to two memory buffers; we move the bytes between them and
// the socket ourselves, one bounded socket call at a time.
struct CTlsSession::CState {
    SSL_CTX* m_Context = nullptr;
    SSL* m_Ssl = nullptr;
    BIO* m_In = nullptr;   // ciphertext from the peer, owned by m_Ssl
    BIO* m_Out = nullptr;  // ciphertext for the peer, owned by m_Ssl
    SocketHandle m_Socket = INVALID_SOCKET_HANDLE;
    static constexpr std::size_t FLUSH_BLOCK = 256 * 1024;
    std::vector<char> m_Block;  // ciphertext on its way out or in

    ~CState()
    {
        Ssl().SSL_free(m_Ssl);
        Ssl().SSL_CTX_free(m_Context);
    }

    bool Begin(SocketHandle s, const SSL_METHOD* method, std::string& reason)
    {
        m_Socket = s;
        m_Context = Ssl().SSL_CTX_new(method);
        if (m_Context)
            Ssl().SSL_CTX_ctrl(m_Context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
        m_Ssl = m_Context ? Ssl().SSL_new(m_Context) : nullptr;
        m_In = Ssl().BIO_new(Ssl().BIO_s_mem());
        m_Out = Ssl().BIO_new(Ssl().BIO_s_mem());
        if (!m_Ssl || !m_In || !m_Out) {
            Ssl().BIO_free(m_In);
            Ssl().BIO_free(m_Out);
            m_In = m_Out = nullptr;
            reason = "cannot set up TLS";
            return false;
        }
        Ssl().SSL_set_bio(m_Ssl, m_In, m_Out);
        Ssl().SSL_ctrl(m_Ssl, SSL_CTRL_MODE, SSL_MODE_ENABLE_PARTIAL_WRITE, nullptr);
        return true;
    }

    // Sends what OpenSSL has queued for the peer, in large sends: a big
    // write becomes many records, and a send each would cost more than them.
    bool Flush(int timeoutMs)
    {
        if (m_Block.empty())
            m_Block.resize(FLUSH_BLOCK);
        char* block = m_Block.data();
        for (;;) {
            const int n = Ssl().BIO_read(m_Out, block, static_cast<int>(m_Block.size()));
            if (n <= 0)
                return true;
            for (int sent = 0; sent < n;) {
                const long m = SendSome(m_Socket, block + sent, static_cast<std::size_t>(n - sent), timeoutMs);
                if (m < 1)
                    return false;
                sent += static_cast<int>(m);
            }
        }
    }

    // Hands one receive of ciphertext to OpenSSL, as large as the socket
    // gives (the block Flush uses): its count, 0 when the peer closed, -1 on
    // failure or time-out.
    long Fill(int timeoutMs)
    {
        if (m_Block.empty())
            m_Block.resize(FLUSH_BLOCK);
        const long n = ReceiveSome(m_Socket, m_Block.data(), m_Block.size(), timeoutMs);
        if (n > 0)
            Ssl().BIO_write(m_In, m_Block.data(), static_cast<int>(n));
        return n;
    }

    // Drives the handshake to its end; false with a reason otherwise.
    bool Handshake(int timeoutMs, std::string& reason)
    {
        for (;;) {
            const int rc = Ssl().SSL_do_handshake(m_Ssl);
            const int error = rc == 1 ? SSL_ERROR_NONE : Ssl().SSL_get_error(m_Ssl, rc);
            // Alerts are sent too, so the peer learns why.
            if (!Flush(timeoutMs)) {
                reason = LastSocketTimedOut() ? "timed out sending the handshake" : "connection lost in the handshake";
                return false;
            }
            if (error == SSL_ERROR_NONE)
                return true;
            if (error != SSL_ERROR_WANT_READ) {
                reason = OpenSslReason("handshake failed");
                return false;
            }
            const long n = Fill(timeoutMs);
            if (n < 1) {
                reason = n == 0 ? "the server closed the connection in the handshake"
                       : LastSocketTimedOut() ? "timed out waiting for the handshake"
                                              : "connection lost in the handshake";
                return false;
            }
        }
    }

    static std::string OpenSslReason(const char* what)
    {
        const unsigned long code = Ssl().ERR_get_error();
        Ssl().ERR_clear_error();
        if (!code)
            return what;
        char text[256];
        Ssl().ERR_error_string_n(code, text, sizeof text);
        return std::string(what) + " (" + text + ")";
    }
};

namespace {

std::string Sha256Fingerprint(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (!certificate || !Ssl().X509_digest(certificate, Ssl().EVP_sha256(), digest, &length))
        return "";
    std::string text;
    char pair[4];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, i ? ":%02X" : "%02X", digest[i]);
        text += pair;
    }
    return text;
}

std::string PlainHex(const std::string& fingerprint)
{
    std::string hex;
    for (const char c : fingerprint)
        if (c != ':')
            hex += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return hex;
}

std::string NameText(const X509_NAME* name)
{
    BIO* bio = Ssl().BIO_new(Ssl().BIO_s_mem());
    if (!bio)
        return "";
    // RFC 2253 with its escapes (nothing a terminal would act on), spaced.
    const unsigned long flags = (XN_FLAG_RFC2253 & ~XN_FLAG_SEP_MASK) | XN_FLAG_SEP_CPLUS_SPC;
    std::string text;
    if (Ssl().X509_NAME_print_ex(bio, name, 0, flags) >= 0) {
        char block[256];
        for (int n; (n = Ssl().BIO_read(bio, block, sizeof block)) > 0;)
            text.append(block, static_cast<std::size_t>(n));
    }
    Ssl().BIO_free(bio);
    return text;
}

std::string TimeText(const ASN1_TIME* time)
{
    struct tm t {};
    if (!time || Ssl().ASN1_TIME_to_tm(time, &t) != 1)
        return "";
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

std::string VersionText(int version)
{
    if (version == TLS1_2_VERSION)
        return "TLS 1.2";
    if (version == TLS1_3_VERSION)
        return "TLS 1.3";
    char text[32];
    std::snprintf(text, sizeof text, "unknown (0x%04X)", static_cast<unsigned>(version));
    return text;
}

void Describe(SSL* ssl, X509* certificate, TlsSessionInfo& info)
{
    info.m_Version = VersionText(Ssl().SSL_version(ssl));
    if (const SSL_CIPHER* cipher = Ssl().SSL_get_current_cipher(ssl)) {
        const char* name = Ssl().SSL_CIPHER_standard_name(cipher);
        info.m_Cipher = name ? name : Ssl().SSL_CIPHER_get_name(cipher);
    }
    if (!certificate)
        return;
    info.m_Subject = NameText(Ssl().X509_get_subject_name(certificate));
    info.m_Issuer = NameText(Ssl().X509_get_issuer_name(certificate));
    info.m_NotBefore = TimeText(Ssl().X509_get0_notBefore(certificate));
    info.m_NotAfter = TimeText(Ssl().X509_get0_notAfter(certificate));
    info.m_Fingerprint = Sha256Fingerprint(certificate);
}

bool IsAddressLiteral(const std::string& host)
{
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The verdict is taken after the handshake, so the certificate is at hand
// for the message; nothing of ours has been sent by then.
int KeepGoing(int, X509_STORE_CTX*) { return 1; }

void SetTlsError() { SetSocketError(EPROTO); }

}  // namespace

bool TlsAvailable() { return Ssl().m_Loaded; }

CTlsSession::CTlsSession() = default;
CTlsSession::~CTlsSession() = default;

TlsStatus CTlsSession::Connect(SocketHandle s, const TlsClientOptions& options, int timeoutMs,
                               std::string& reason, std::string& fingerprint)
{
    fingerprint.clear();
    m_Info = TlsSessionInfo();
    if (!TlsAvailable()) {
        reason = "cannot load libssl.so.3";
        return TlsStatus::FAILED;
    }
    m_State = std::make_unique<CState>();
    CState& st = *m_State;
    if (!st.Begin(s, Ssl().TLS_client_method(), reason))
        return TlsStatus::FAILED;
    const bool pinned = !options.m_Fingerprint.empty();
    if (!pinned) {
        const bool loaded = options.m_CaFile.empty()
            ? Ssl().SSL_CTX_set_default_verify_paths(st.m_Context) == 1
            : Ssl().SSL_CTX_load_verify_locations(st.m_Context, options.m_CaFile.c_str(), nullptr) == 1;
        if (!loaded) {
            reason = CState::OpenSslReason(options.m_CaFile.empty() ? "cannot load the system's trust store"
                                                                     : "cannot load the CA File");
            return TlsStatus::UNTRUSTED;
        }
        Ssl().SSL_set_verify(st.m_Ssl, SSL_VERIFY_PEER, KeepGoing);
        X509_VERIFY_PARAM* param = Ssl().SSL_get0_param(st.m_Ssl);
        const bool named = IsAddressLiteral(options.m_HostName)
            ? Ssl().X509_VERIFY_PARAM_set1_ip_asc(param, options.m_HostName.c_str()) == 1
            : Ssl().X509_VERIFY_PARAM_set1_host(param, options.m_HostName.c_str(), 0) == 1;
        if (!named) {
            reason = "cannot check the certificate against '" + options.m_HostName + "'";
            return TlsStatus::UNTRUSTED;
        }
    } else {
        Ssl().SSL_set_verify(st.m_Ssl, SSL_VERIFY_NONE, nullptr);
    }
    if (!IsAddressLiteral(options.m_HostName) && !options.m_HostName.empty())
        Ssl().SSL_ctrl(st.m_Ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(options.m_HostName.c_str()));
    Ssl().SSL_set_connect_state(st.m_Ssl);
    if (!st.Handshake(timeoutMs, reason)) {
        m_State.reset();
        return TlsStatus::FAILED;
    }
    X509* certificate = Ssl().SSL_get1_peer_certificate(st.m_Ssl);
    Describe(st.m_Ssl, certificate, m_Info);
    fingerprint = m_Info.m_Fingerprint;
    Ssl().X509_free(certificate);
    if (fingerprint.empty()) {
        reason = "the server showed no certificate";
        m_State.reset();
        return TlsStatus::UNTRUSTED;
    }
    if (pinned ? PlainHex(fingerprint) != options.m_Fingerprint : Ssl().SSL_get_verify_result(st.m_Ssl) != X509_V_OK) {
        reason = pinned ? "the certificate does not match TLS Fingerprint"
                        : Ssl().X509_verify_cert_error_string(Ssl().SSL_get_verify_result(st.m_Ssl));
        m_State.reset();
        return TlsStatus::UNTRUSTED;
    }
    return TlsStatus::OK;
}

bool CTlsSession::Accept(SocketHandle s, const std::string& certificateFile, const std::string& keyFile,
                         int timeoutMs, std::string& reason)
{
    if (!TlsAvailable()) {
        reason = "cannot load libssl.so.3";
        return false;
    }
    m_State = std::make_unique<CState>();
    CState& st = *m_State;
    if (!st.Begin(s, Ssl().TLS_server_method(), reason))
        return false;
    if (Ssl().SSL_use_certificate_chain_file(st.m_Ssl, certificateFile.c_str()) != 1
        || Ssl().SSL_use_PrivateKey_file(st.m_Ssl, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        reason = CState::OpenSslReason("cannot load the certificate or key");
        m_State.reset();
        return false;
    }
    Ssl().SSL_set_accept_state(st.m_Ssl);
    if (!st.Handshake(timeoutMs, reason)) {
        m_State.reset();
        return false;
    }
    return true;
}

long CTlsSession::Send(const char* data, std::size_t size, int timeoutMs)
{
    if (!m_State) {
        SetTlsError();
        return -1;
    }
    CState& st = *m_State;
    const int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    for (;;) {
        const int rc = Ssl().SSL_write(st.m_Ssl, data, chunk);
        const int error = rc > 0 ? SSL_ERROR_NONE : Ssl().SSL_get_error(st.m_Ssl, rc);
        if (!st.Flush(timeoutMs))
            return -1;
        if (error == SSL_ERROR_NONE)
            return rc;
        if (error != SSL_ERROR_WANT_READ || st.Fill(timeoutMs) < 1) {
            if (error != SSL_ERROR_WANT_READ)
                SetTlsError();
            Ssl().ERR_clear_error();
            return -1;
        }
    }
}

long CTlsSession::Receive(char* buffer, std::size_t size, int timeoutMs)
{
    if (!m_State) {
        SetTlsError();
        return -1;
    }
    CState& st = *m_State;
    const int room = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    for (;;) {
        const int rc = Ssl().SSL_read(st.m_Ssl, buffer, room);
        const int error = rc > 0 ? SSL_ERROR_NONE : Ssl().SSL_get_error(st.m_Ssl, rc);
        // Reading may queue an answer, such as a key update.
        if (!st.Flush(timeoutMs))
            return -1;
        if (error == SSL_ERROR_NONE)
            return rc;
        if (error == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (error != SSL_ERROR_WANT_READ) {
            Ssl().ERR_clear_error();
            SetTlsError();
            return -1;
        }
        const long n = st.Fill(timeoutMs);
        if (n < 1)
            return n;
    }
}

void CTlsSession::Shutdown(int timeoutMs)
{
    if (!m_State)
        return;
    Ssl().SSL_shutdown(m_State->m_Ssl);
    m_State->Flush(timeoutMs);
    Ssl().ERR_clear_error();
}

// Looked up on its own, so that --version works even when some other
// function of the library is missing.
std::string TlsLibraryText()
{
    void* handle = dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return "none (cannot load libssl.so.3)";
    using VersionFunction = const char* (*)(int);
    const auto version = reinterpret_cast<VersionFunction>(dlsym(handle, "OpenSSL_version"));
    const char* text = version ? version(OPENSSL_VERSION) : nullptr;
    std::string result = text ? text : "OpenSSL (version unknown)";
    dlclose(handle);
    return result;
}

}  // namespace Platform
