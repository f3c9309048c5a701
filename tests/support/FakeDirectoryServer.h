#pragma once

#include "support/LoopbackHttpServer.h"

#include <map>
#include <mutex>
#include <string>
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
        : m_reply{status, std::move(replyBody)},
          m_server([this](const std::string& request) { return Answer(request); }, endless) {}

    std::string Host() const { return m_server.Host(); }
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
    std::vector<std::string> Requests() { return m_server.Requests(); }
    // The body of the first request (after the empty line).
    std::string FirstBody() { return Body(0); }

private:
    std::string Answer(const std::string& request) {
        Reply reply;
        {
            std::lock_guard lock(m_mutex);
            reply = m_reply;
            if (auto it = m_replies.find(LoopbackHttpServer::Target(request)); it != m_replies.end())
                reply = it->second;
        }
        return "HTTP/1.0 " + std::to_string(reply.status) + " Status\r\nContent-Type: text/plain\r\n\r\n" +
               reply.body;
    }

    std::mutex m_mutex;
    Reply m_reply;
    std::map<std::string, Reply> m_replies;
    LoopbackHttpServer m_server; // last: its thread stops before the replies go
};

} // namespace kestrel::test
