#pragma once

#include "server/UniqueFd.h"

#include <string>
#include <sys/socket.h>

namespace kestrel {

// Message texts of the server control.
inline constexpr const char* kServerStartFailed =
    "\xE3\x82\xB5\xE3\x83\xBC\xE3\x83\x90\xE3\x83\xBC\xE6\xA9\x9F\xE8\x83\xBD\xE3\x81\x8C\xE9\x96\x8B\xE5\xA7"
    "\x8B"
    "\xE3\x81\xA7\xE3\x81\x8D\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93!"; // 1000
std::string PortInUseMessage(unsigned port);                         // 1002
std::string PortNotOpenMessage(unsigned port);                       // 1003

// A listen address (an IPv4 or IPv6 address, in brackets or not, an IPv6 one with its
// "%interface" where it needs one) with the port, as a socket address. No name is looked up.
bool ParseListenAddress(const std::string& address, unsigned port, sockaddr_storage& out, socklen_t& length);

// Create's answer when the listen address is not an IPv4 or IPv6 address.
inline constexpr int kBadListenAddress = -1;
// Why the port could not be listened on, for the error `err` of Create: the messages above
// without a listen address, otherwise texts that name it.
std::string ListenFailureMessage(const std::string& address, unsigned port, int err);
// The listen address's line of the settings file cannot be read.
std::string UnreadableListenAddressMessage(unsigned port);

// The listening endpoint: a non-blocking socket on all interfaces (IPv6 and IPv4 at once
// where the system allows), or on one address.
class CListenSocket {
public:
    CListenSocket() = default;
    // Creates, binds and listens on `address` ("" = every interface; an IPv4 or IPv6
    // address, in brackets or not, an IPv6 one with its "%interface" where it needs one).
    // 0 on success, else kBadListenAddress, or the socket error (10048 for an address in
    // use, or an errno value).
    int Create(unsigned port, const std::string& address = {});
    int Fd() const { return m_fd.Get(); }
    unsigned BoundPort() const;

private:
    UniqueFd m_fd;
};

} // namespace kestrel
