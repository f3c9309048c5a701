#pragma once

// A TCP port no one listens on at the moment, for tests that start a server: no test
// listens on a fixed port, so parallel runs (and runs as root, where port 80 would
// succeed) never meet or take a busy one.

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::testing {

// Asks the kernel for an unused port on the loopback address; 0 when it cannot.
inline unsigned FreeTcpPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    unsigned port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// The settings-file line that makes the program listen on `port`.
inline std::string PortLine(unsigned port) {
    char line[32];
    std::snprintf(line, sizeof line, "\"uPort\"=dword:%08x\n", port);
    return line;
}

} // namespace kestrel::testing
