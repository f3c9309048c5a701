#pragma once

#include <string>

namespace kestrel {

// Whether this process may listen on port 80: it holds CAP_NET_BIND_SERVICE (root, a
// service granted it, or a program file given it with setcap), or the system lets every
// user listen there (net.ipv4.ip_unprivileged_port_start at 80 or below).
bool MayListenBelow1024();

// The same decision from the text of /proc/self/status and of
// /proc/sys/net/ipv4/ip_unprivileged_port_start (empty when it cannot be read).
bool MayListenOnPort80(const std::string& procStatus, const std::string& unprivilegedPortStart);

} // namespace kestrel
