#pragma once

#include "support/LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::test {

// An HTTP server on a loopback port, on a thread of its own, one connection at a time. It
// reads each request (the head and a body of Content-Length bytes, or what arrived within
// two seconds), keeps it, sends what `answer` makes of it and closes the connection. A
// connection that sends nothing is closed unanswered. With `endless` the answer is followed
// by filler for as long as the client reads.
class LoopbackHttpServer {
public:
    using Answer = std::function<std::string(const std::string& request)>;

    explicit LoopbackHttpServer(Answer answer, bool endless = false)
        : m_answer(std::move(answer)), m_endless(endless) {
        m_fd = ListenOnLoopback(m_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~LoopbackHttpServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    unsigned Port() const { return m_port; }
    std::string Host() const { return "127.0.0.1:" + std::to_string(m_port); }
    // The raw requests received, in order.
    std::vector<std::string> Requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

    // The target of a request ("/path?query" of "GET /path?query HTTP/1.0"), empty when the
    // request line has no two spaces.
    static std::string Target(const std::string& request) {
        const auto sp1 = request.find(' ');
        const auto sp2 = sp1 == std::string::npos ? sp1 : request.find(' ', sp1 + 1);
        return sp2 == std::string::npos ? std::string() : request.substr(sp1 + 1, sp2 - sp1 - 1);
    }

private:
    void Run() {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            const std::string request = ReadRequest(c);
            if (!request.empty())
                Serve(c, request);
            ::close(c);
        }
    }
    void Serve(int c, const std::string& request) {
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(request);
        }
        const std::string response = m_answer(request);
        for (size_t sent = 0; sent < response.size();) {
            const ssize_t n = ::send(c, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<size_t>(n);
        }
        const std::string more(4096, 'x');
        while (m_endless && !m_stop) {
            pollfd out{c, POLLOUT, 0};
            if (::poll(&out, 1, 50) <= 0)
                continue;
            if (::send(c, more.data(), more.size(), MSG_NOSIGNAL) <= 0)
                break; // the client has gone
        }
    }
    static std::string ReadRequest(int c) {
        std::string data;
        char buf[4096];
        size_t need = std::string::npos;
        while (need == std::string::npos || data.size() < need) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                break;
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            data.append(buf, static_cast<size_t>(n));
            const auto end = data.find("\r\n\r\n");
            if (end != std::string::npos && need == std::string::npos) {
                size_t length = 0;
                const auto cl = data.find("Content-Length: ");
                if (cl != std::string::npos && cl < end)
                    length = std::stoul(data.substr(cl + 16));
                need = end + 4 + length;
            }
        }
        return data;
    }

    Answer m_answer;
    bool m_endless = false;
    int m_fd = -1;
    unsigned m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
};

} // namespace kestrel::test
