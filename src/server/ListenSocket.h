#pragma once

#include "server/UniqueFd.h"

#include <string>

namespace kestrel {

// Message texts of the server control.
inline constexpr const char* kServerStartFailed =
    "\xE3\x82\xB5\xE3\x83\xBC\xE3\x83\x90\xE3\x83\xBC\xE6\xA9\x9F\xE8\x83\xBD\xE3\x81\x8C\xE9\x96\x8B\xE5\xA7"
    "\x8B"
    "\xE3\x81\xA7\xE3\x81\x8D\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93!"; // 1000
std::string PortInUseMessage(unsigned port);                         // 1002
std::string PortNotOpenMessage(unsigned port);                       // 1003

// The listening endpoint: a non-blocking socket on all interfaces.
class CListenSocket {
public:
    CListenSocket() = default;
    // Creates, binds and listens. 0 on success, else the socket error (10048 for an
    // address in use, or an errno value).
    int Create(unsigned port);
    int Fd() const { return m_fd.Get(); }
    unsigned BoundPort() const;

private:
    UniqueFd m_fd;
};

} // namespace kestrel
