#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::test {

// A directory server on a loopback port: answers every request with a fixed status and
// reply body, or with the reply set for the request's path, and keeps the raw requests it
// received. An endless one sends more body after the reply for as long as the client reads.
class FakeDirectoryServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
    };

    FakeDirectoryServer(std::string replyBody, bool endless)
        : FakeDirectoryServer(std::move(replyBody), 200, endless) {}
    explicit FakeDirectoryServer(std::string replyBody, int status = 200, bool endless = false)
        : m_reply{status, std::move(replyBody)}, m_endless(endless) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_fd, 8);
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~FakeDirectoryServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    FakeDirectoryServer(const FakeDirectoryServer&) = delete;
    FakeDirectoryServer& operator=(const FakeDirectoryServer&) = delete;

    std::string Host() const { return "127.0.0.1:" + std::to_string(m_port); }
    // Requests whose request-line path is `path` (exactly, "?" included) get this reply.
    void SetReply(const std::string& path, int status, std::string body) {
        std::lock_guard lock(m_mutex);
        m_replies[path] = Reply{status, std::move(body)};
    }
    // The request lines received, in order ("POST /path? HTTP/1.1").
    std::vector<std::string> RequestLines() {
        std::vector<std::string> lines;
        for (const std::string& r : Requests())
            lines.push_back(r.substr(0, r.find("\r\n")));
        return lines;
    }
    // The body of request `index` (after the empty line).
    std::string Body(size_t index) {
        auto r = Requests();
        if (index >= r.size())
            return {};
        auto p = r[index].find("\r\n\r\n");
        return p == std::string::npos ? std::string() : r[index].substr(p + 4);
    }
    std::vector<std::string> Requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    // The body of the first request (after the empty line).
    std::string FirstBody() {
        auto r = Requests();
        if (r.empty())
            return {};
        auto p = r[0].find("\r\n\r\n");
        return p == std::string::npos ? std::string() : r[0].substr(p + 4);
    }

private:
    void Run() {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            std::string request = ReadRequest(c);
            Reply reply;
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(request);
                reply = m_reply;
                const auto sp1 = request.find(' ');
                const auto sp2 = sp1 == std::string::npos ? sp1 : request.find(' ', sp1 + 1);
                if (sp2 != std::string::npos)
                    if (auto it = m_replies.find(request.substr(sp1 + 1, sp2 - sp1 - 1));
                        it != m_replies.end())
                        reply = it->second;
            }
            std::string response = "HTTP/1.0 " + std::to_string(reply.status) +
                                   " Status\r\nContent-Type: text/plain\r\n\r\n" + reply.body;
            size_t sent = 0;
            while (sent < response.size()) {
                ssize_t n = ::send(c, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
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
            ::close(c);
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
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            data.append(buf, static_cast<size_t>(n));
            auto end = data.find("\r\n\r\n");
            if (end != std::string::npos && need == std::string::npos) {
                size_t length = 0;
                auto cl = data.find("Content-Length: ");
                if (cl != std::string::npos && cl < end)
                    length = std::stoul(data.substr(cl + 16));
                need = end + 4 + length;
            }
        }
        return data;
    }

    Reply m_reply;
    std::map<std::string, Reply> m_replies;
    bool m_endless = false;
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
};

} // namespace kestrel::test
