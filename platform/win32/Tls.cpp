#include "platform/Tls.h"

#include "platform/Text.h"

#include "platform/common/SocketState.h"
#include "platform/win32/TlsTrust.h"

#include <ws2tcpip.h>
// SCH_CREDENTIALS is declared only with these, and needs UNICODE_STRING.
#define SCHANNEL_USE_BLACKLISTS
#define SECURITY_WIN32
#include <subauth.h>
#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace Platform {
namespace {

const unsigned long REQUEST = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY
    | ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
// One TLS record with room to spare per receive.
const std::size_t RECEIVE_BLOCK = 16384 + 1024;
// The record types: change_cipher_spec, alert, handshake, application_data.
const char TLS_FIRST_TYPE = 20;
const char TLS_LAST_TYPE = 23;
// Ciphertext that forms no complete message by then is no TLS worth waiting for.
const std::size_t MAX_PENDING = 1 << 20;

void Wipe(std::vector<char>& bytes) { WipeMemory(bytes.data(), bytes.size()); }

struct CStatusText {
    SECURITY_STATUS m_Status;
    const char* m_Text;
};
const CStatusText HANDSHAKE_ERRORS[] = {
    {SEC_E_ALGORITHM_MISMATCH, "no TLS version (1.2 or later) or cipher in common"},
    {SEC_E_ILLEGAL_MESSAGE, "the server sent a malformed or unexpected message"},
    {SEC_E_INVALID_TOKEN, "the server's answer is not TLS"},
    {SEC_E_UNSUPPORTED_FUNCTION, "the server asked for something this system's TLS does not support"},
    {SEC_E_MESSAGE_ALTERED, "the handshake was altered on its way"},
    {SEC_E_DECRYPT_FAILURE, "the server's messages cannot be decrypted"},
    {SEC_E_INTERNAL_ERROR, "the system's TLS failed"},
};

std::string HandshakeReason(SECURITY_STATUS status)
{
    const char* text = "the system's TLS refused it";
    for (const CStatusText& e : HANDSHAKE_ERRORS)
        if (e.m_Status == status)
            text = e.m_Text;
    return std::string("handshake failed (") + text + ", " + HexCode(static_cast<unsigned long>(status)) + ")";
}

bool IsAddressLiteral(const std::string& host)
{
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

void SetTlsError() { SetSocketError(WSAECONNABORTED); }

std::string VersionText(DWORD protocol)
{
    if (protocol & SP_PROT_TLS1_3)
        return "TLS 1.3";
    if (protocol & SP_PROT_TLS1_2)
        return "TLS 1.2";
    return "unknown (" + HexCode(protocol) + ")";
}

std::string CipherText(CtxtHandle* context, const SecPkgContext_ConnectionInfo& connection)
{
    SecPkgContext_CipherInfo cipher{};
    std::string name;
    if (QueryContextAttributesW(context, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK)
        for (std::size_t i = 0; i < SZ_ALG_MAX_SIZE && cipher.szCipherSuite[i]; ++i)
            name += cipher.szCipherSuite[i] < 0x80 ? static_cast<char>(cipher.szCipherSuite[i]) : '?';
    if (!name.empty())
        return name;
    // Systems without the suite's name still tell the algorithm and its strength.
    const ALG_ID id = connection.aiCipher;
    const std::string algorithm = id == CALG_AES_128 || id == CALG_AES_256 || id == CALG_AES ? "AES"
                                                                                              : "cipher " + HexCode(id);
    return algorithm + "-" + std::to_string(connection.dwCipherStrength);
}

// Most specific part first, as OpenSSL shows it.
std::string NameText(const CERT_NAME_BLOB& name)
{
    const DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    CERT_NAME_BLOB blob = name;
    const DWORD size = CertNameToStrA(X509_ASN_ENCODING, &blob, flags, nullptr, 0);
    if (size <= 1)
        return "";
    std::string text(size, '\0');
    CertNameToStrA(X509_ASN_ENCODING, &blob, flags, &text[0], size);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string TimeText(const FILETIME& time)
{
    SYSTEMTIME t{};
    if (!FileTimeToSystemTime(&time, &t))
        return "";
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", int{t.wYear}, int{t.wMonth}, int{t.wDay},
                  int{t.wHour}, int{t.wMinute}, int{t.wSecond});
    return text;
}

class CCredentials {
public:
    CCredentials() = default;
    CCredentials(const CCredentials&) = delete;
    CCredentials& operator=(const CCredentials&) = delete;
    ~CCredentials()
    {
        if (m_Valid)
            FreeCredentialsHandle(&m_Handle);
    }

    // TLS 1.2 or later, no client certificate, the certificate left to us.
    SECURITY_STATUS AcquireClient()
    {
        const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
        TLS_PARAMETERS tls{};
        tls.grbitDisabledProtocols = ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
        SCH_CREDENTIALS current{};
        current.dwVersion = SCH_CREDENTIALS_VERSION;
        current.dwFlags = flags;
        current.cTlsParameters = 1;
        current.pTlsParameters = &tls;
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.dwFlags = flags;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        // SCH_CREDENTIALS (with TLS 1.3) is new in Windows 10 1809; older
        // systems and Wine know only SCHANNEL_CRED, whose TLS 1.3 bit some
        // Windows versions reject.
        void* const tries[] = {&current, &older};
        SECURITY_STATUS status = SEC_E_INTERNAL_ERROR;
        for (void* data : tries) {
            status = AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                               nullptr, data, nullptr, nullptr, &m_Handle, nullptr);
            m_Valid = status == SEC_E_OK;
            if (m_Valid)
                break;
        }
        return status;
    }
    CredHandle* Get() { return &m_Handle; }

private:
    CredHandle m_Handle{};
    bool m_Valid = false;
};

class CSecurityContext {
public:
    CSecurityContext() = default;
    CSecurityContext(const CSecurityContext&) = delete;
    CSecurityContext& operator=(const CSecurityContext&) = delete;
    ~CSecurityContext()
    {
        if (m_Valid)
            DeleteSecurityContext(&m_Handle);
    }
    CtxtHandle* Get() { return &m_Handle; }
    bool IsValid() const { return m_Valid; }
    void SetValid() { m_Valid = true; }

private:
    CtxtHandle m_Handle{};
    bool m_Valid = false;
};

// A token SChannel allocated for us.
class CContextBuffer {
public:
    explicit CContextBuffer(void* data) : m_Data(data) {}
    CContextBuffer(const CContextBuffer&) = delete;
    CContextBuffer& operator=(const CContextBuffer&) = delete;
    ~CContextBuffer()
    {
        if (m_Data)
            FreeContextBuffer(m_Data);
    }

private:
    void* m_Data;
};

SecBuffer Buffer(unsigned long type, void* data = nullptr, std::size_t size = 0)
{
    return SecBuffer{static_cast<unsigned long>(size), type, data};
}

}  // namespace

// SChannel works on memory only; the bytes go through SendSome and
// ReceiveSome, so every wait keeps its time-out and the failure seam.
struct CTlsSession::CState {
    CCredentials m_Credentials;
    CSecurityContext m_Context;
    SocketHandle m_Socket = INVALID_SOCKET_HANDLE;
    std::wstring m_Target;  // SNI; empty for an address
    unsigned long m_Request = REQUEST;
    SecPkgContext_StreamSizes m_Sizes{};
    std::vector<char> m_In;     // ciphertext received and not yet used
    std::vector<char> m_Plain;  // decrypted and not yet handed out, from m_PlainAt
    std::size_t m_PlainAt = 0;
    std::vector<char> m_Out;  // the record being sent
    bool m_PeerClosed = false;

    ~CState()
    {
        Wipe(m_Plain);
        Wipe(m_Out);
        Wipe(m_In);
    }

    bool SendAll(const char* data, std::size_t size, int timeoutMs)
    {
        for (std::size_t sent = 0; sent < size;) {
            const long n = SendSome(m_Socket, data + sent, size - sent, timeoutMs);
            if (n < 1)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // One receive appended to m_In: its count, 0 when the peer closed, -1
    // on failure or time-out.
    long Fill(int timeoutMs)
    {
        const std::size_t had = m_In.size();
        m_In.resize(had + RECEIVE_BLOCK);
        const long n = ReceiveSome(m_Socket, m_In.data() + had, RECEIVE_BLOCK, timeoutMs);
        m_In.resize(had + static_cast<std::size_t>(n > 0 ? n : 0));
        return n;
    }

    // Keeps the last extra bytes of m_In; the rest has been used.
    void KeepLast(std::size_t extra)
    {
        extra = std::min(extra, m_In.size());
        SecureZeroMemory(m_In.data(), m_In.size() - extra);
        m_In.erase(m_In.begin(), m_In.end() - static_cast<std::ptrdiff_t>(extra));
    }

    // Runs InitializeSecurityContext until the handshake is done, from the
    // start or, after the peer's post-handshake messages, from m_In.
    bool Handshake(int timeoutMs, std::string& reason)
    {
        for (;;) {
            const bool first = !m_Context.IsValid();
            // Some SChannels (Wine's) take plain text for the start of a long
            // record and wait for the rest; a record starts with its type.
            if (!m_In.empty() && (m_In[0] < TLS_FIRST_TYPE || m_In[0] > TLS_LAST_TYPE)) {
                reason = "the server's answer is not TLS";
                return false;
            }
            SecBuffer in[2] = {Buffer(SECBUFFER_TOKEN, m_In.data(), m_In.size()), Buffer(SECBUFFER_EMPTY)};
            SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
            SecBuffer out[1] = {Buffer(SECBUFFER_TOKEN)};
            SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
            unsigned long attributes = 0;
            const SECURITY_STATUS status = InitializeSecurityContextW(
                m_Credentials.Get(), first ? nullptr : m_Context.Get(), m_Target.empty() ? nullptr : &m_Target[0],
                m_Request, 0, 0, first ? nullptr : &inDesc, 0, first ? m_Context.Get() : nullptr, &outDesc,
                &attributes, nullptr);
            const CContextBuffer token(out[0].pvBuffer);
            if (first && !FAILED(status))
                m_Context.SetValid();
            // Alerts are sent too, so the peer learns why.
            if (out[0].pvBuffer && out[0].cbBuffer
                && !SendAll(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer, timeoutMs)) {
                reason = LastSocketTimedOut() ? "timed out sending the handshake" : "connection lost in the handshake";
                return false;
            }
            if (status == SEC_I_INCOMPLETE_CREDENTIALS && !(m_Request & ISC_REQ_USE_SUPPLIED_CREDS)) {
                // The server asks for a client certificate: go on without one.
                m_Request |= ISC_REQ_USE_SUPPLIED_CREDS;
                continue;
            }
            if (status != SEC_E_INCOMPLETE_MESSAGE && !first)
                KeepLast(in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0);
            if (status == SEC_E_OK)
                return true;
            if (status != SEC_I_CONTINUE_NEEDED && status != SEC_E_INCOMPLETE_MESSAGE) {
                reason = HandshakeReason(status);
                return false;
            }
            if (status == SEC_I_CONTINUE_NEEDED && !m_In.empty())
                continue;
            if (m_In.size() > MAX_PENDING) {
                reason = "the server's handshake messages are too large";
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

    // Decrypts the first record of m_In into m_Plain (empty before).
    SECURITY_STATUS Decrypt()
    {
        SecBuffer b[4] = {Buffer(SECBUFFER_DATA, m_In.data(), m_In.size()), Buffer(SECBUFFER_EMPTY),
                          Buffer(SECBUFFER_EMPTY), Buffer(SECBUFFER_EMPTY)};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        const SECURITY_STATUS status = DecryptMessage(m_Context.Get(), &desc, 0, nullptr);
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED)
            return status;
        std::size_t extra = 0;
        for (const SecBuffer& x : b) {
            if (x.BufferType == SECBUFFER_DATA && status == SEC_E_OK && x.pvBuffer && x.cbBuffer) {
                const char* plain = static_cast<const char*>(x.pvBuffer);
                m_Plain.assign(plain, plain + x.cbBuffer);
                m_PlainAt = 0;
            } else if (x.BufferType == SECBUFFER_EXTRA) {
                extra = x.cbBuffer;
            }
        }
        // The plain text was decrypted in place, inside what KeepLast wipes.
        KeepLast(extra);
        return status;
    }

    long TakePlain(char* buffer, std::size_t size)
    {
        const std::size_t n = std::min(size, m_Plain.size() - m_PlainAt);
        std::memcpy(buffer, m_Plain.data() + m_PlainAt, n);
        m_PlainAt += n;
        if (m_PlainAt == m_Plain.size()) {
            Wipe(m_Plain);
            m_Plain.clear();
            m_PlainAt = 0;
        }
        return static_cast<long>(n);
    }
};

bool TlsAvailable() { return true; }

CTlsSession::CTlsSession() = default;
CTlsSession::~CTlsSession() = default;

TlsStatus CTlsSession::Connect(SocketHandle s, const TlsClientOptions& options, int timeoutMs,
                               std::string& reason, std::string& fingerprint)
{
    fingerprint.clear();
    m_Info = TlsSessionInfo();
    m_State = std::make_unique<CState>();
    CState& st = *m_State;
    st.m_Socket = s;
    const bool pinned = !options.m_Fingerprint.empty();
    CCertStore caStore;
    if (!pinned && !options.m_CaFile.empty() && !LoadCaFile(options.m_CaFile, caStore, reason)) {
        m_State.reset();
        return TlsStatus::UNTRUSTED;
    }
    const SECURITY_STATUS acquired = st.m_Credentials.AcquireClient();
    if (acquired != SEC_E_OK) {
        reason = "cannot set up TLS (" + HexCode(static_cast<unsigned long>(acquired)) + ")";
        m_State.reset();
        return TlsStatus::FAILED;
    }
    if (!IsAddressLiteral(options.m_HostName))
        st.m_Target = WideText(options.m_HostName);
    if (!st.Handshake(timeoutMs, reason)) {
        m_State.reset();
        return TlsStatus::FAILED;
    }
    if (QueryContextAttributesW(st.m_Context.Get(), SECPKG_ATTR_STREAM_SIZES, &st.m_Sizes) != SEC_E_OK
        || st.m_Sizes.cbMaximumMessage == 0) {
        reason = "cannot set up TLS (no record sizes)";
        m_State.reset();
        return TlsStatus::FAILED;
    }
    // Some SChannels (Wine's) take SCH_CREDENTIALS but not its protocol
    // limits, so the version agreed is checked here as well.
    SecPkgContext_ConnectionInfo connection{};
    if (QueryContextAttributesW(st.m_Context.Get(), SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK
        || !(connection.dwProtocol & (SP_PROT_TLS1_2 | SP_PROT_TLS1_3))) {
        reason = "the server offers no TLS 1.2 or later";
        m_State.reset();
        return TlsStatus::FAILED;
    }
    const CERT_CONTEXT* remote = nullptr;
    if (QueryContextAttributesW(st.m_Context.Get(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote) != SEC_E_OK)
        remote = nullptr;
    const CCertificate certificate(remote);
    fingerprint = Sha256Fingerprint(certificate.get());
    m_Info.m_Version = VersionText(connection.dwProtocol);
    m_Info.m_Cipher = CipherText(st.m_Context.Get(), connection);
    if (certificate) {
        const CERT_INFO& info = *certificate->pCertInfo;
        m_Info.m_Subject = NameText(info.Subject);
        m_Info.m_Issuer = NameText(info.Issuer);
        m_Info.m_NotBefore = TimeText(info.NotBefore);
        m_Info.m_NotAfter = TimeText(info.NotAfter);
        m_Info.m_Fingerprint = fingerprint;
    }
    if (fingerprint.empty()) {
        reason = "the server showed no certificate";
        m_State.reset();
        return TlsStatus::UNTRUSTED;
    }
    std::string hex;
    for (const char c : fingerprint)
        if (c != ':')
            hex += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    const bool trusted = pinned ? hex == options.m_Fingerprint
                                : VerifyServerCertificate(certificate.get(), caStore.get(), options.m_HostName, reason);
    if (!trusted) {
        if (pinned)
            reason = "the certificate does not match TLS Fingerprint";
        m_State.reset();
        return TlsStatus::UNTRUSTED;
    }
    return TlsStatus::OK;
}

// The test servers run natively, so the Windows build needs no server side.
bool CTlsSession::Accept(SocketHandle, const std::string&, const std::string&, int, std::string& reason)
{
    reason = "the TLS server side is not available in the Windows build";
    return false;
}

long CTlsSession::Send(const char* data, std::size_t size, int timeoutMs)
{
    if (!m_State) {
        SetSocketError(WSAENOTCONN);
        return -1;
    }
    if (size == 0)
        return 0;
    CState& st = *m_State;
    const std::size_t chunk = std::min<std::size_t>(size, st.m_Sizes.cbMaximumMessage);
    const std::size_t header = st.m_Sizes.cbHeader;
    st.m_Out.assign(header + chunk + st.m_Sizes.cbTrailer, '\0');
    std::memcpy(&st.m_Out[header], data, chunk);
    SecBuffer b[4] = {Buffer(SECBUFFER_STREAM_HEADER, &st.m_Out[0], header),
                      Buffer(SECBUFFER_DATA, &st.m_Out[header], chunk),
                      Buffer(SECBUFFER_STREAM_TRAILER, &st.m_Out[header + chunk], st.m_Sizes.cbTrailer),
                      Buffer(SECBUFFER_EMPTY)};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
    const SECURITY_STATUS status = EncryptMessage(st.m_Context.Get(), 0, &desc, 0);
    if (status != SEC_E_OK)
        SetTlsError();
    // The trailer may come out shorter than its room.
    const bool sent = status == SEC_E_OK
        && st.SendAll(st.m_Out.data(), std::size_t{b[0].cbBuffer} + b[1].cbBuffer + b[2].cbBuffer, timeoutMs);
    Wipe(st.m_Out);
    return sent ? static_cast<long>(chunk) : -1;
}

long CTlsSession::Receive(char* buffer, std::size_t size, int timeoutMs)
{
    if (!m_State) {
        SetSocketError(WSAENOTCONN);
        return -1;
    }
    CState& st = *m_State;
    for (;;) {
        if (st.m_PlainAt < st.m_Plain.size())
            return st.TakePlain(buffer, size);
        if (st.m_PeerClosed)
            return 0;
        if (!st.m_In.empty()) {
            const SECURITY_STATUS status = st.Decrypt();
            if (status == SEC_I_CONTEXT_EXPIRED) {
                st.m_PeerClosed = true;
                continue;  // plain text before the close still counts
            }
            std::string reason;
            if (status == SEC_I_RENEGOTIATE && !st.Handshake(timeoutMs, reason)) {
                SetTlsError();
                return -1;
            }
            if (status == SEC_E_OK || status == SEC_I_RENEGOTIATE)
                continue;
            if (status != SEC_E_INCOMPLETE_MESSAGE) {
                SetTlsError();
                return -1;
            }
        }
        if (st.m_In.size() > MAX_PENDING) {
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
    CState& st = *m_State;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control = Buffer(SECBUFFER_TOKEN, &type, sizeof type);
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(st.m_Context.Get(), &controlDesc) != SEC_E_OK)
        return;
    SecBuffer out = Buffer(SECBUFFER_TOKEN);
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    unsigned long attributes = 0;
    const SECURITY_STATUS status =
        InitializeSecurityContextW(st.m_Credentials.Get(), st.m_Context.Get(),
                                   st.m_Target.empty() ? nullptr : &st.m_Target[0], st.m_Request, 0, 0, nullptr, 0,
                                   nullptr, &outDesc, &attributes, nullptr);
    const CContextBuffer token(out.pvBuffer);
    if (!FAILED(status) && out.pvBuffer && out.cbBuffer)
        st.SendAll(static_cast<const char*>(out.pvBuffer), out.cbBuffer, timeoutMs);
}

std::string TlsLibraryText() { return "SChannel"; }

}  // namespace Platform
