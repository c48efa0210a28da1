#include "platform/Command.h"

namespace Platform {

// Not yet: the URL forms that log in need TLS, which this build lacks too.
bool RunSecretCommand(const std::string&, int, std::string& firstLine, std::string& reason)
{
    firstLine.clear();
    reason = "commands are not available in the Windows build yet";
    return false;
}

}  // namespace Platform
