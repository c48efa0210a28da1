// The mail object with its transport: one SMTP or NNTP dialogue over one TCP
// connection, the message sent through a temporary spool file.
//
// The server name ("HOST" or "NNTP HOST") may carry a port: "name:port" or
// "[IPv6-literal]:port"; without one, 25 or 119. The URL forms (ServerName.h)
// bring EHLO, TLS, SMTP AUTH and MODE READER; a bare name never does. Every socket call waits at
// most g_TransportSettings.m_TimeoutSeconds, a whole reply included (the reply to the end-of-data
// line at least ten minutes).
// The message goes out in canonical form (CR LF line ends, leading dots
// doubled), after all of it was written to the spool without error. The
// connection is closed and the spool file deleted on every way out.
//
// Codes raised (stored in m_ErrorCode, the object thrown as CSMTPError*):
//   3  the socket library cannot start
//   5  no socket can be made
//   6  the server name is empty, unknown or has a bad port, or the connection
//      is refused or times out
//   7  a send fails or times out
//   8  the server closes, or a reply times out or never completes
//   9  a complete reply starts with a byte above '3'
//  10  the local host name cannot be had
//  11  the reply buffer cannot be allocated
//  12  the spool file cannot be created or written
//  14  TLS cannot be started or agreed
//  15  the server's certificate is not trusted
//  16  the login fails, cannot be made, or would go out in the clear
//  17  the end-of-data line went out but the server closed or gave no
//      whole reply: the message may or may not have been delivered
//
// With "Retries" set, a failure that cannot have delivered the message
// (Retry.h) is followed by a whole new session over the same spool file,
// after a wait that doubles each time; only the last failure counts.
#pragma once

#include <cstddef>
#include <string>

#include "quillant/Quillant.h"
#include "transport/Retry.h"
#include "transport/Settings.h"

class CCapabilities;
class CSecretText;
class CServerLink;
class CSpoolFile;
struct CServerName;

extern int g_SMTPEmailCount;   // live CSMTPEmail objects
extern int g_WinsockStarted;   // set once the socket library was started
extern char g_LocalHostName[256];  // for HELO; filled by the first dialogue that finds it empty

class CSMTPEmail : public CQuillant {
public:
    CSMTPEmail();
    CSMTPEmail(const CSMTPEmail&) = delete;
    CSMTPEmail& operator=(const CSMTPEmail&) = delete;
    ~CSMTPEmail();

    // Delivers the message: 0, a code of the table above, or the non-zero
    // result of WriteOutMessage. Never throws. Once the server has accepted
    // the message, a failing QUIT exchange no longer counts.
    int Send();
    // The dialogue itself; throws on failure (see the table above).
    int _SendIt();
    // Composes the message exactly as Send would, every transport header
    // included, and writes it to out as the server would keep it (CR LF line
    // ends, no dot doubled, the end-of-data line's CR LF as the last line
    // end) once all of it is in the spool; the envelope goes to
    // envelope unless null. No connection is made. 0, 10, 11, 12, the
    // non-zero result of WriteOutMessage, or 7 when out cannot be written.
    // Never throws.
    int DryRun(FILE* out, FILE* envelope);

    // Sends text whole (debug mode traces it as "Posting: %s"); raises 7.
    int SendString(CServerLink& link, const char* text);
    // A secret goes out whole but shows as "********" in the trace.
    int SendBytes(CServerLink& link, const char* data, std::size_t size, bool secret = false);
    [[noreturn]] void SendFailed();
    // Reads one complete reply and judges its first byte; raises 8, 9 or 11.
    // A time-out of 0 uses the general one. A server that closes or falls
    // silent before the reply is whole raises silenceCode instead of 8.
    int ReadReply(CServerLink& link, int timeoutSeconds = 0, int silenceCode = ERR_RECEIVE);
    // The two halves of ReadReply: the reply itself (raises 8 or 11), kept
    // until the next one is read, and the verdict on it (raises 9).
    const char* ReceiveReply(CServerLink& link, int timeoutSeconds = 0, int silenceCode = ERR_RECEIVE);
    void JudgeReply(const char* reply);
    // The HTML error report of a refusing reply, when it is switched on.
    void ReportServerError(const char* reply) const;

    // When not 0, a failing reply is also printed to standard output as an
    // HTML heading.
    int m_HtmlErrorReport = 0;

private:
    friend class CServerCheck;  // the same steps, stopping before the message

    std::size_t GatherReply(CServerLink& link, int timeoutSeconds, int silenceCode, char* reply);
    void StartNetwork();
    void LearnLocalHostName();
    void ChooseServer(CServerName& server);
    static bool LogsIn(const CServerName& server);
    void Session(const CServerName& server, CSpoolFile& spool, CSecretText& secret, bool lastTry);
    void WaitToRetry(const CRetryPolicy& policy, int made);
    void FetchSecret(CSecretText& secret);
    void Connect(CServerLink& link, const CServerName& server);
    void StartTls(CServerLink& link, const CServerName& server);
    void Command(CServerLink& link, const char* keyword, const char* argument, bool secret = false);
    void SmtpCommands(CServerLink& link);
    std::string EhloArgument(CServerLink& link);
    void EsmtpCommands(CServerLink& link, const CServerName& server, const CSecretText& secret);
    void Hello(CServerLink& link, const std::string& name, CCapabilities& capabilities);
    void StartTlsCommand(CServerLink& link, const CServerName& server, const CCapabilities& capabilities);
    void Authenticate(CServerLink& link, const CServerName& server, const CCapabilities& capabilities,
                      const CSecretText& secret);
    static std::string ChooseMechanism(const CCapabilities& capabilities);
    void ExpectAuthReply(CServerLink& link, char expected, const char* oauthDismissal = nullptr);
    [[noreturn]] void AuthFails(const std::string& why);
    void MailCommands(CServerLink& link);
    void PipelinedMailCommands(CServerLink& link, std::size_t group);
    void NntpLogin(CServerLink& link);
    void NntpCommands(CServerLink& link);
    void AddTransportHeaders();
    int WriteSpool(CSpoolFile& spool);
    void SendSpool(CServerLink& link, CSpoolFile& spool);
    void FinishData(CServerLink& link);
    int ShowMessage(FILE* out, FILE* envelope);
    void Quit(CServerLink& link);

    CSessionEnd m_SessionEnd;  // of the session under way
};
