// The mail object with its transport: one SMTP or NNTP dialogue over one TCP
// connection, the message sent through a temporary spool file.
//
// The server name ("HOST" or "NNTP HOST") may carry a port: "name:port" or
// "[IPv6-literal]:port"; without one, 25 or 119. Every socket call waits at
// most g_TimeoutSeconds (the reply to the end-of-data line twice as long).
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
#pragma once

#include <cstddef>

#include "quillant/Quillant.h"

class CServerLink;
class CSpoolFile;

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

    // Sends text whole (debug mode traces it as "Posting: %s"); raises 7.
    int SendString(CServerLink& link, const char* text);
    int SendBytes(CServerLink& link, const char* data, std::size_t size);
    // Reads one complete reply and judges its first byte; raises 8, 9 or 11.
    // A time-out of 0 uses the general one.
    int ReadReply(CServerLink& link, int timeoutSeconds = 0);

    // When not 0, a failing reply is also printed to standard output as an
    // HTML heading.
    int m_HtmlErrorReport = 0;

private:
    std::size_t GatherReply(CServerLink& link, int timeoutSeconds, char* reply);
    void Connect(CServerLink& link);
    void Command(CServerLink& link, const char* keyword, const char* argument);
    void SmtpCommands(CServerLink& link);
    void NntpCommands(CServerLink& link);
    void AddTransportHeaders();
    int WriteSpool(CSpoolFile& spool);
    void SendSpool(CServerLink& link, CSpoolFile& spool);
    void FinishData(CServerLink& link);
    void Quit(CServerLink& link);
};
