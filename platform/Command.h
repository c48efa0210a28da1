// Runs a user's command through the platform's shell to fetch a secret,
// such as a password or an access token kept in a password manager.
#pragma once

#include <string>

namespace Platform {

// Runs command with standard input empty and standard error left to the
// user, and gives the first line of its standard output without its line
// end. False with a one-line reason (never the output itself) when it cannot
// start, exits non-zero, prints nothing, or is not done within timeoutMs,
// in which case it is killed. The output is wiped from every buffer it
// passed through.
bool RunSecretCommand(const std::string& command, int timeoutMs, std::string& firstLine, std::string& reason);

}  // namespace Platform
