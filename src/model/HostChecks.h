#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Syntax checks of host names and addresses that the server, the pages and the directory
// exchange share.

// A plain IPv4 or IPv6 address, or a host name of letters, digits, "-" and ".".
bool IsAcceptableAddress(const std::string& address);

// A Host header that may be written into an absolute URL: letters, digits, "-" and ".",
// or a bracketed IPv6 literal, optionally followed by ":port".
bool IsValidHostHeader(std::string_view host);

// A directory host as the settings may hold it: a host name or address with an optional
// ":port" (as a Host header allows), or a bare IPv6 address.
bool IsDirectoryHost(const std::string& host);

} // namespace kestrel
