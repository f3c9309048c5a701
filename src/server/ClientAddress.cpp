#include "server/ClientAddress.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace kestrel {

std::string FormatAddress(const sockaddr_storage& ss) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
    } else if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
            inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], buf, sizeof buf);
        else
            inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
    }
    return buf;
}

std::string ClientAddressKey(const sockaddr_storage& ss) {
    if (ss.ss_family != AF_INET6)
        return FormatAddress(ss);
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
        return FormatAddress(ss);
    in6_addr prefix = in6->sin6_addr;
    std::memset(&prefix.s6_addr[8], 0, 8);
    char buf[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &prefix, buf, sizeof buf);
    return std::string(buf) + "/64";
}

} // namespace kestrel
