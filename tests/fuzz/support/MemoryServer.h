// The server the fuzz targets talk to: the socket calls of the platform
// layer, answered from memory. Every connection plays the same script; the
// client's bytes of all connections are kept in order.
#pragma once

#include <string>
#include <vector>

namespace MemoryServer {

// Each piece comes back whole from one receive call (cut only by the
// caller's buffer); after the last one the server has closed.
void Play(std::vector<std::string> pieces);
// Everything the client sent since the last Play.
const std::string& Sent();

}  // namespace MemoryServer
