#include "server/ListenSocket.h"

#include <arpa/inet.h>
#include <cerrno>
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

int CListenSocket::Create(unsigned port) {
    if (port > 65535)
        return EINVAL;
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
