// A check of the configured servers: the dialogue of a real send, with the
// same settings and steps (greeting, EHLO or HELO, STARTTLS, the certificate,
// the login; MODE READER and AUTHINFO for news), stopped where the message
// would go out. What the servers showed is written to out, then QUIT.
//
// Output, one "Label: value" line each (bytes a terminal could act on shown
// as "?"), per server:
//   Mail server: | News server:   the name as configured
//   Connected:                    host and port
//   TLS:                          none, implicit or STARTTLS
//   Greeting:                     each line of the greeting
//   EHLO:, Capability:            the first line of the EHLO reply, then one
//                                 line per extension (again after STARTTLS)
//   HELO:, MODE READER:           the reply, where the dialogue sends them
//   TLS version:, TLS cipher:, Certificate subject:, Certificate issuer:,
//   Certificate valid from:, Certificate valid until:, Certificate SHA-256:
//                                 once a handshake completed, also when the
//                                 certificate is then refused
//   Login:                        none, or the mechanism and user, accepted
//                                 or failed (never a secret)
//   QUIT:                         the reply
//   Result:                       passed, or failed with the code and its text
#pragma once

#include <cstdio>

class CSMTPEmail;

// Checks the mail server and, when "NNTP HOST" is set, the news server too;
// in news mode the news server only. Turns verbose mode on, so a failure's
// reason shows on standard error. Returns 0, or the code of the first check
// that failed: the code the same failure gives a real send.
int CheckServers(CSMTPEmail& mail, FILE* out);
