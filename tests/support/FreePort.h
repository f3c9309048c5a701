#pragma once

// A TCP port no one listens on at the moment, for tests that start a server: no test
// listens on a fixed port, so parallel runs (and runs as root, where port 80 would
// succeed) never meet or take a busy one.

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::testing {

// A port that can be bound on every address right now. Taken below the kernel's range of
// ephemeral ports (32768 and up), which outgoing connections of other programs draw
// from and could take between this check and the program's own bind.
inline unsigned FreeTcpPort() {
    static std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
    for (int attempt = 0; attempt < 200; ++attempt) {
        const unsigned port = 20000 + random() % 12000;
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return 0;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    return 0;
}

// The settings-file line that makes the program listen on `port`.
inline std::string PortLine(unsigned port) {
    char line[32];
    std::snprintf(line, sizeof line, "\"uPort\"=dword:%08x\n", port);
    return line;
}

} // namespace kestrel::testing
