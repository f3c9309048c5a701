#include "server/ProxyAddresses.h"

#include "model/HostChecks.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>

namespace kestrel {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// The entry of a forwarded chain without a port after it.
std::string_view WithoutPort(std::string_view entry) {
    if (!entry.empty() && entry.front() == '[') {
        auto close = entry.find(']');
        return close == std::string_view::npos ? entry : entry.substr(0, close + 1);
    }
    // One colon: IPv4 with a port. More: a bare IPv6 address, kept whole.
    auto colon = entry.find(':');
    if (colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos)
        return entry.substr(0, colon);
    return entry;
}

bool IsDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::optional<IpAddress> ParseIpAddress(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    const std::string s(text);
    IpAddress a;
    in_addr v4{};
    if (s.find(':') == std::string::npos) {
        if (::inet_pton(AF_INET, s.c_str(), &v4) != 1)
            return std::nullopt;
        a.v4 = true;
        a.bytes[10] = a.bytes[11] = 0xFF;
        std::copy_n(reinterpret_cast<const std::uint8_t*>(&v4), 4, a.bytes.begin() + 12);
        return a;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, s.c_str(), &v6) != 1)
        return std::nullopt;
    std::copy_n(v6.s6_addr, 16, a.bytes.begin());
    // "::ffff:1.2.3.4" is the IPv4 client as a dual-stack socket reports it.
    a.v4 = IN6_IS_ADDR_V4MAPPED(&v6);
    return a;
}

std::string FormatIpAddress(const IpAddress& a) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (a.v4)
        ::inet_ntop(AF_INET, a.bytes.data() + 12, buf, sizeof buf);
    else
        ::inet_ntop(AF_INET6, a.bytes.data(), buf, sizeof buf);
    return buf;
}

std::string ClientKeyOf(const IpAddress& a) {
    if (a.v4)
        return FormatIpAddress(a);
    IpAddress prefix = a;
    std::fill(prefix.bytes.begin() + 8, prefix.bytes.end(), std::uint8_t{0});
    return FormatIpAddress(prefix) + "/64";
}

bool AddressRange::Contains(const IpAddress& address) const {
    unsigned bits = prefix;
    for (std::size_t i = 0; i < 16 && bits > 0; ++i) {
        const unsigned take = std::min(bits, 8u);
        const auto mask = static_cast<std::uint8_t>(0xFF00u >> take);
        if ((address.bytes[i] & mask) != base.bytes[i])
            return false;
        bits -= take;
    }
    return true;
}

std::optional<std::vector<AddressRange>> ParseAddressRanges(std::string_view text, std::string* error) {
    std::vector<AddressRange> ranges;
    auto fail = [&](std::string_view entry, const char* why) -> std::optional<std::vector<AddressRange>> {
        if (error)
            *error = "\"" + std::string(entry) + "\" " + why;
        return std::nullopt;
    };
    while (true) {
        const auto comma = text.find(',');
        const std::string_view entry = Trim(text.substr(0, comma));
        if (entry.empty()) {
            if (comma != std::string_view::npos || !ranges.empty())
                return fail(entry, "is an empty entry (two commas, or a comma at an end)");
        } else {
            const auto slash = entry.find('/');
            const auto address = ParseIpAddress(entry.substr(0, slash));
            if (!address)
                return fail(entry, "is not an IPv4 or IPv6 address or range");
            AddressRange range;
            range.base = *address;
            const unsigned full = address->v4 ? 32 : 128;
            unsigned length = full;
            if (slash != std::string_view::npos) {
                const std::string_view digits = entry.substr(slash + 1);
                if (!IsDigits(digits) || digits.size() > 3 || std::stoul(std::string(digits)) > full)
                    return fail(entry, address->v4 ? "has a prefix length that is not 0 to 32"
                                                   : "has a prefix length that is not 0 to 128");
                length = static_cast<unsigned>(std::stoul(std::string(digits)));
            }
            range.prefix = length + (address->v4 ? 96 : 0);
            // The bits past the prefix do not count ("10.1.2.3/8" is 10.0.0.0/8).
            unsigned bits = range.prefix;
            for (auto& b : range.base.bytes) {
                const unsigned take = std::min(bits, 8u);
                b &= static_cast<std::uint8_t>(0xFF00u >> take);
                bits -= take;
            }
            ranges.push_back(range);
        }
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return ranges;
}

bool InRanges(const std::vector<AddressRange>& ranges, const IpAddress& address) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [&](const AddressRange& r) { return r.Contains(address); });
}

IpAddress ForwardedClient(const IpAddress& peer, std::string_view forwardedFor,
                          const std::vector<AddressRange>& trusted) {
    if (!InRanges(trusted, peer))
        return peer;
    IpAddress current = peer;
    while (!forwardedFor.empty()) {
        const auto comma = forwardedFor.rfind(',');
        const std::string_view entry =
            Trim(comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1));
        forwardedFor = comma == std::string_view::npos ? std::string_view() : forwardedFor.substr(0, comma);
        if (entry.empty())
            continue;
        const auto address = ParseIpAddress(WithoutPort(entry));
        if (!address)
            return current;
        if (!InRanges(trusted, *address))
            return *address;
        current = *address;
    }
    return current;
}

std::string_view LastListElement(std::string_view value) {
    const auto comma = value.rfind(',');
    return Trim(comma == std::string_view::npos ? value : value.substr(comma + 1));
}

ForwardedOrigin ParseForwardedOrigin(std::string_view proto, std::string_view host) {
    ForwardedOrigin origin;
    std::string scheme(LastListElement(proto));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (scheme == "http" || scheme == "https")
        origin.scheme = scheme;
    const std::string_view h = LastListElement(host);
    if (IsValidHostHeader(h))
        origin.host = std::string(h);
    return origin;
}

} // namespace kestrel
