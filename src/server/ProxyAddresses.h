#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// Addresses of the proxies Kestrel may stand behind, and the client address and origin
// that a trusted proxy reports in its X-Forwarded-* headers. Pure: no I/O.

// One IPv4 or IPv6 address, IPv4 kept as its IPv4-mapped IPv6 form so that a peer that
// arrives through the dual-stack socket compares equal to its dotted form.
struct IpAddress {
    std::array<std::uint8_t, 16> bytes{};
    bool v4 = false;
    bool operator==(const IpAddress&) const = default;
};

// A dotted IPv4 or an IPv6 address (brackets allowed). nullopt for anything else: host
// names, zone suffixes, leading zeros in IPv4 parts, blanks.
std::optional<IpAddress> ParseIpAddress(std::string_view text);
// The usual text form: dotted for IPv4 (mapped or not), compressed IPv6 otherwise.
std::string FormatIpAddress(const IpAddress& address);

// The key per-client limits count by: the IPv4 address, or the /64 of an IPv6 one
// ("2001:db8:1:2::/64"), as ClientAddressKey gives it for a peer.
std::string ClientKeyOf(const IpAddress& address);

// An address or a CIDR range ("10.0.0.0/8", "fd00::/8"; a bare address is the whole length).
struct AddressRange {
    IpAddress base;        // with the bits past the prefix cleared
    unsigned prefix = 128; // in IPv6 bits (an IPv4 /n is 96 + n)
    bool Contains(const IpAddress& address) const;
};

// A comma-separated list of addresses and ranges; blanks around entries are ignored, an
// empty text is the empty list. On a bad entry: nullopt, and `error` names it and why.
std::optional<std::vector<AddressRange>> ParseAddressRanges(std::string_view text,
                                                            std::string* error = nullptr);
bool InRanges(const std::vector<AddressRange>& ranges, const IpAddress& address);

// The client address behind a trusted peer: the X-Forwarded-For chain (its lines joined in
// order with ", ") read from the right, skipping trusted addresses; the first one that is
// not trusted is the client. A chain of trusted addresses only gives its left-most one; an
// entry that is not an address ends the walk at the last trusted hop (a proxy's mistake
// never puts arbitrary text in the logs). A port after an entry ("1.2.3.4:5", "[::1]:5")
// is dropped.
IpAddress ForwardedClient(const IpAddress& peer, std::string_view forwardedFor,
                          const std::vector<AddressRange>& trusted);

// The right-most element of a comma-separated header value, trimmed.
std::string_view LastListElement(std::string_view value);

// What a trusted proxy says of the client's own view of the site: the scheme ("http" or
// "https", else empty) and host (as a Host header, with its port; empty when not usable).
struct ForwardedOrigin {
    std::string scheme;
    std::string host;
};
ForwardedOrigin ParseForwardedOrigin(std::string_view proto, std::string_view host);

} // namespace kestrel
