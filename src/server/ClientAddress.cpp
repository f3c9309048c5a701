#include "server/ClientAddress.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace kestrel {

namespace {

// Dotted decimal of four address bytes (what inet_ntop writes, without its formatted printing).
std::string DottedQuad(const unsigned char* b) {
    char buf[16];
    char* p = buf;
    for (int i = 0; i < 4; ++i) {
        unsigned v = b[i];
        if (v >= 100)
            *p++ = static_cast<char>('0' + v / 100);
        if (v >= 10)
            *p++ = static_cast<char>('0' + v / 10 % 10);
        *p++ = static_cast<char>('0' + v % 10);
        if (i < 3)
            *p++ = '.';
    }
    return std::string(buf, static_cast<std::size_t>(p - buf));
}

} // namespace

std::string FormatAddress(const sockaddr_storage& ss) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        return DottedQuad(reinterpret_cast<const unsigned char*>(&in->sin_addr));
    } else if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
            return DottedQuad(&in6->sin6_addr.s6_addr[12]);
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
