#pragma once

#include <string>
#include <sys/socket.h>

namespace kestrel {

// A peer or local address in its usual text form: dotted IPv4 (also for IPv4 reached
// through an IPv6 socket), otherwise IPv6. Empty for other families.
std::string FormatAddress(const sockaddr_storage& address);

// The key under which connections are counted per client: the IPv4 address itself, or
// the /64 prefix of an IPv6 address ("2001:db8:1:2::/64"), since one IPv6 client
// usually holds a whole /64. Empty for other families.
std::string ClientAddressKey(const sockaddr_storage& address);

} // namespace kestrel
