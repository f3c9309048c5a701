#include "server/ListenSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace kestrel {

std::string PortInUseMessage(unsigned port) {
    return "ポート " + std::to_string(port) +
           " はすでに使用されています!\n\nすでにそのポートが使用されているアプリケーションまたは、Kestrelが"
           "すでに起動していないか確認してください。.";
}

std::string PortNotOpenMessage(unsigned port) {
    return "接続要求待ちポート(" + std::to_string(port) +
           ")が開いてません!\n\nTCP/"
           "IPプロトコルがインストールされているか確認してください。また他のアプリケーショ"
           "ンがそのポートを使用していないか確認してください。";
}

std::string ListenFailureMessage(const std::string& address, unsigned port, int err) {
    if (address.empty() || err == 10048)
        return err == 10048 ? PortInUseMessage(port) : PortNotOpenMessage(port);
    const std::string what =
        "Nothing is served on port " + std::to_string(port) + ": ListenAddress \"" + address + "\" ";
    if (err == kBadListenAddress)
        return what + "is not an IPv4 or IPv6 address. Write one address of this machine (127.0.0.1 behind a "
                      "proxy on the same machine, say), or leave it empty for every interface.";
    if (err == EADDRNOTAVAIL)
        return what + "is not an address of this machine (see \"ip address\"). Write one of its addresses, "
                      "or leave it empty for every interface.";
    return what + "cannot be listened on: " + std::strerror(err) + ".";
}

std::string UnreadableListenAddressMessage(unsigned port) {
    return "Nothing is served on port " + std::to_string(port) +
           ": the line of ListenAddress in the settings file cannot be read (kestrel --check-settings names "
           "it). Mend it while Kestrel is stopped, or remove it to listen on every interface.";
}

bool ParseListenAddress(const std::string& address, unsigned port, sockaddr_storage& out, socklen_t& length) {
    std::string host = address;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    // Dotted IPv4 exactly ("127.1" and "0x7f000001" are not taken for 127.0.0.1).
    in_addr v4{};
    if (host.empty() || (host.find(':') == std::string::npos && ::inet_pton(AF_INET, host.c_str(), &v4) != 1))
        return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    // Numeric only: no name is ever looked up.
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return false;
    const bool fits = found->ai_addrlen <= sizeof out;
    if (fits) {
        std::memcpy(&out, found->ai_addr, found->ai_addrlen);
        length = found->ai_addrlen;
    }
    ::freeaddrinfo(found);
    return fits;
}

int CListenSocket::Create(unsigned port, const std::string& address) {
    if (port > 65535)
        return EINVAL;
    if (!address.empty()) {
        sockaddr_storage where{};
        socklen_t whereLength = 0;
        if (!ParseListenAddress(address, port, where, whereLength))
            return kBadListenAddress;
        UniqueFd fd(::socket(where.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        int err = 0;
        if (!fd.Valid()) {
            err = errno;
        } else {
            int one = 1;
            ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (where.ss_family == AF_INET6)
                ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
            if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&where), whereLength) != 0 ||
                ::listen(fd.Get(), SOMAXCONN) != 0)
                err = errno;
        }
        if (err == EADDRINUSE)
            return 10048;
        if (err == 0)
            m_fd = std::move(fd);
        return err;
    }
    auto tryFamily = [&](int family) -> int {
        UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.Valid())
            return errno;
        int one = 1, zero = 0;
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        int rc;
        if (family == AF_INET6) {
            ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_any;
            a.sin6_port = htons(static_cast<uint16_t>(port));
            rc = ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(static_cast<uint16_t>(port));
            rc = ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        // A backlog of 5 drops connections under any burst: take what the system allows.
        if (rc != 0 || ::listen(fd.Get(), SOMAXCONN) != 0)
            return errno;
        m_fd = std::move(fd);
        return 0;
    };
    int err = tryFamily(AF_INET6);
    if (err == EAFNOSUPPORT || err == EADDRNOTAVAIL || err == EPROTONOSUPPORT)
        err = tryFamily(AF_INET);
    if (err == EADDRINUSE)
        return 10048;
    return err;
}

unsigned CListenSocket::BoundPort() const {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(m_fd.Get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return 0;
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

} // namespace kestrel
