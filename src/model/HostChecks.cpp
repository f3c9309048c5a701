#include "model/HostChecks.h"

#include "platform/Text.h"

#include <arpa/inet.h>

namespace kestrel {

bool IsAcceptableAddress(const std::string& address) {
    // Blanks, control bytes and DEL first: the address checks below read the text only up
    // to a zero byte, and whatever follows one would reach pages and files unchecked.
    for (char c : address)
        if (static_cast<unsigned char>(c) < 0x21 || c == 0x7F)
            return false;
    if (address.empty() || address.size() > 253)
        return false;
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, address.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, address.c_str(), &v6) == 1)
        return true;
    for (char c : address) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

bool IsValidHostHeader(std::string_view host) {
    std::size_t i = 0;
    if (host.empty())
        return false;
    if (host[0] == '[') {
        auto close = host.find(']');
        if (close == std::string_view::npos || close < 3)
            return false;
        for (std::size_t k = 1; k < close; ++k) {
            char c = host[k];
            if (!(HexValue(c) >= 0 || c == ':' || c == '.'))
                return false;
        }
        i = close + 1;
    } else {
        while (i < host.size() && host[i] != ':') {
            char c = host[i];
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '.'))
                return false;
            ++i;
        }
        if (i == 0)
            return false;
    }
    if (i == host.size())
        return true;
    if (host[i] != ':')
        return false;
    std::string_view port = host.substr(i + 1);
    if (port.empty() || port.size() > 5)
        return false;
    for (char c : port)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool IsDirectoryHost(const std::string& host) {
    in6_addr v6{};
    return IsValidHostHeader(host) || ::inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

} // namespace kestrel
