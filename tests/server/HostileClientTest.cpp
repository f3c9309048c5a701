// The server against clients that try to use it up: large bodies, trickled heads,
// many connections from one address, and a process running out of descriptors.

#include "ServerTestSupport.h"

#include "server/ClientAddress.h"
#include "server/ScriptWorker.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

// Resident memory of this process in bytes.
long long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

// A TCP connection to the loopback port from a chosen loopback address (127.0.0.x).
int ConnectFrom(const char* source, unsigned port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends `head` + `body` while reading whatever the server answers, as a browser would:
// the answer may come before the body is out. Returns the answer.
std::string PostWhileReading(unsigned port, const std::string& head, const std::string& body,
                             const char* source = "127.0.0.1") {
    int fd = ConnectFrom(source, port);
    if (fd < 0)
        return {};
    const std::string* parts[] = {&head, &body};
    std::size_t part = 0, sent = 0;
    std::string answer;
    bool reading = true;
    while (reading) {
        bool sending = part < 2;
        pollfd p{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        int ready = ::poll(&p, 1, 15000);
        if (ready < 0 && errno == EINTR)
            continue; // a script ending in this process signals whichever thread it finds
        if (ready <= 0)
            break;
        if (p.revents & POLLIN) {
            char buf[4096];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            answer.append(buf, static_cast<std::size_t>(n));
        }
        if (sending && (p.revents & POLLOUT)) {
            const std::string& s = *parts[part];
            ssize_t n = ::send(fd, s.data() + sent, std::min<std::size_t>(s.size() - sent, 1 << 20),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                part = 2; // the server has stopped reading: only the answer is left
            } else if (n > 0) {
                sent += static_cast<std::size_t>(n);
                if (sent == s.size()) {
                    ++part;
                    sent = 0;
                }
            }
        } else if (p.revents & (POLLERR | POLLHUP)) {
            reading = false;
        }
    }
    ::close(fd);
    return answer;
}

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(h.Start());
        WriteFile(h.Root() + "/index.html", "<html>home</html>");
    }
    void TearDown() override { WaitForScriptWorkers(5000); }
    ServerHarness h;
};

TEST(ClientAddressKeyTest, IPv4ByAddressIPv6ByPrefix) {
    auto key = [](const char* text) {
        sockaddr_storage ss{};
        if (::inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in*>(&ss)->sin_addr) == 1) {
            ss.ss_family = AF_INET;
        } else {
            ss.ss_family = AF_INET6;
            ::inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr);
        }
        return ClientAddressKey(ss);
    };
    for (const char* dotted : {"203.0.113.7", "0.0.0.0", "255.255.255.255", "10.0.100.9", "1.20.109.250"})
        EXPECT_EQ(key(dotted), dotted);
    EXPECT_NE(key("203.0.113.7"), key("203.0.113.8"));
    EXPECT_EQ(key("::ffff:203.0.113.7"), "203.0.113.7"); // IPv4 through the dual-stack socket
    EXPECT_EQ(key("::ffff:0.10.200.1"), "0.10.200.1");
    EXPECT_EQ(key("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_EQ(key("2001:db8:1:2:ffff:ffff:ffff:ffff"), key("2001:db8:1:2::1"));
    EXPECT_NE(key("2001:db8:1:3::1"), key("2001:db8:1:2::1"));
    EXPECT_EQ(key("::1"), "::/64");
}

TEST_F(Hostile, LargeBodiesToAPlainFileAreNeverHeld) {
    WriteFile(h.Root() + "/plain.txt", "plain");
    const std::string body(16 * 1024 * 1024, 'b');
    const std::string head =
        "POST /plain.txt HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    const long long before = ResidentBytes();
    long long peak = before;
    std::vector<std::future<std::string>> clients;
    for (int i = 0; i < 40; ++i)
        clients.push_back(
            std::async(std::launch::async, [&] { return PostWhileReading(h.Port(), head, body); }));
    auto allDone = [&] {
        peak = std::max(peak, ResidentBytes());
        return std::all_of(clients.begin(), clients.end(), [](auto& f) {
            return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        });
    };
    ASSERT_TRUE(PumpUntil(allDone, 60000));
    for (auto& client : clients)
        EXPECT_EQ(ParseResponse(client.get()).status, 400); // a query on a file that is not a program
    // 40 bodies of 16 MiB held would be 640 MiB.
    EXPECT_LT(peak - before, 96LL * 1024 * 1024);
    for (auto& hit : h.hits)
        EXPECT_TRUE(hit->body.empty());
}

TEST_F(Hostile, ScriptBodiesShareOneBudget) {
    WriteFile(h.Root() + "/count.exe", "#!/bin/sh\necho 'Content-type: text/plain'\necho\nwc -c\n", 0755);
    const long long size = 16 * 1024 * 1024;
    const std::string head =
        "POST /count.exe HTTP/1.0\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
    // Four heads from four addresses take the whole budget while their bodies have not come yet.
    std::vector<int> waiting;
    for (int i = 0; i < 4; ++i) {
        int fd = ConnectFrom(("127.0.0." + std::to_string(i + 1)).c_str(), h.Port());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
        waiting.push_back(fd);
    }
    ASSERT_TRUE(PumpUntil([&] { return h.server->BodyBytesHeld() == 4 * size; }));
    // A fifth is answered 503 at once, its body unread.
    auto refused = std::async(std::launch::async, PostWhileReading, h.Port(), head, "", "127.0.0.5");
    ASSERT_TRUE(
        PumpUntil([&] { return refused.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(ParseResponse(refused.get()).status, 503);
    EXPECT_EQ(h.server->BodyBytesHeld(), 4 * size);
    // The four bodies arrive and reach their scripts whole.
    const std::string body(static_cast<std::size_t>(size), 'c');
    std::vector<std::future<std::string>> answers;
    for (int fd : waiting) {
        answers.push_back(std::async(std::launch::async, [fd, &body] {
            for (std::size_t sent = 0; sent < body.size();) {
                ssize_t n = ::send(fd, body.data() + sent, body.size() - sent, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                sent += static_cast<std::size_t>(n);
            }
            std::string raw;
            char buf[4096];
            for (;;) {
                ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                raw.append(buf, static_cast<std::size_t>(n));
            }
            ::close(fd);
            return raw;
        }));
    }
    ASSERT_TRUE(PumpUntil(
        [&] {
            return std::all_of(answers.begin(), answers.end(), [](auto& f) {
                return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
            });
        },
        60000));
    for (auto& answer : answers) {
        Response r = ParseResponse(answer.get());
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(std::atoll(r.body.c_str()), size);
    }
    EXPECT_TRUE(PumpUntil([&] { return h.server->BodyBytesHeld() == 0; }));
}

TEST_F(Hostile, OneAddressHoldsAQuarterOfTheBodiesAndASlowBodyIsDropped) {
    WriteFile(h.Root() + "/count.exe", "#!/bin/sh\necho 'Content-type: text/plain'\necho\nwc -c\n", 0755);
    ServerTimeouts t;
    t.sweep = std::chrono::milliseconds(100);
    h.server->SetTimeouts(t);
    const long long quarter = kMaxBodiesHeld / 4;
    const std::string head =
        "POST /count.exe HTTP/1.0\r\nContent-Length: " + std::to_string(quarter) + "\r\n\r\n";
    int fd = ConnectFrom("127.0.0.1", h.Port());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::send(fd, "0123456789", 10, MSG_NOSIGNAL), 10);
    ASSERT_TRUE(PumpUntil([&] { return h.server->BodyBytesHeld() == quarter; }));
    // The same address gets no more, another one does.
    const std::string one = "POST /count.exe HTTP/1.0\r\nContent-Length: 1\r\n\r\n";
    auto same = std::async(std::launch::async, PostWhileReading, h.Port(), one, "x", "127.0.0.1");
    auto other = std::async(std::launch::async, PostWhileReading, h.Port(), one, "x", "127.0.0.2");
    ASSERT_TRUE(PumpUntil([&] {
        return same.wait_for(std::chrono::seconds(0)) == std::future_status::ready &&
               other.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }));
    EXPECT_EQ(ParseResponse(same.get()).status, 503);
    EXPECT_EQ(ParseResponse(other.get()).body, "1\n");
    // Ten bytes in more than the grace time: the body is dropped and its budget returned.
    t.bodyGrace = std::chrono::milliseconds(300);
    h.server->SetTimeouts(t);
    EXPECT_TRUE(
        PumpUntil([&] { return h.server->BodyBytesHeld() == 0 && h.server->ConnectionCount() == 0; }));
    char buf[64];
    EXPECT_LE(::recv(fd, buf, sizeof buf, 0), 0)
        << "the slow body's connection was answered instead of dropped";
    ::close(fd);
}

TEST_F(Hostile, TrickledHeadEndsAtItsDeadline) {
    ServerTimeouts t;
    t.head = std::chrono::milliseconds(400);
    t.request = std::chrono::milliseconds(5000); // every byte comes well within this
    t.sweep = std::chrono::milliseconds(50);
    h.server->SetTimeouts(t);
    int fd = ConnectFrom("127.0.0.1", h.Port());
    ASSERT_GE(fd, 0);
    const std::string head = "GET /index.html HTTP/1.0\r\nX-Slow: " + std::string(200, 'x');
    bool closedByServer = false;
    for (std::size_t i = 0; i < head.size() && !closedByServer; ++i) {
        if (::send(fd, &head[i], 1, MSG_NOSIGNAL) != 1)
            closedByServer = true;
        Pump(50);
        char c;
        if (::recv(fd, &c, 1, MSG_DONTWAIT) == 0)
            closedByServer = true;
    }
    ::close(fd);
    EXPECT_TRUE(closedByServer) << "a head trickled over " << head.size() * 50 << " ms was still read";
    EXPECT_TRUE(h.hits.empty());
}

TEST_F(Hostile, HeadsBeingReadStayWithinTheirBudgetOldestClosedFirst) {
    // 100 header lines of about 640 bytes each: the largest head one request may send.
    std::string head = "GET /index.html HTTP/1.0\r\n";
    for (int i = 0; i < 100; ++i)
        head += "h" + std::to_string(100 + i) + ": " + std::string(630, 'v') + "\r\n";
    const long long perHead = static_cast<long long>(head.size());
    const int count = static_cast<int>(kMaxHeadsHeld / perHead) + 40; // well past the budget
    std::vector<int> held;
    long long most = 0;
    for (int i = 0; i < count; ++i) {
        int fd = ConnectFrom(("127.0.0." + std::to_string(i / 200 + 1)).c_str(), h.Port());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
        held.push_back(fd);
        Pump(1);
        most = std::max(most, h.server->HeadBytesHeld());
    }
    ASSERT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() < static_cast<std::size_t>(count); }));
    most = std::max(most, h.server->HeadBytesHeld());
    EXPECT_LE(most, kMaxHeadsHeld);
    EXPECT_GT(most, kMaxHeadsHeld / 2) << "the heads were not counted";
    // The first heads went, the last are still being read.
    char c;
    const ssize_t first = ::recv(held.front(), &c, 1, MSG_DONTWAIT);
    EXPECT_TRUE(first == 0 || (first < 0 && errno != EAGAIN)) << "the oldest head is still being read";
    EXPECT_EQ(::recv(held.back(), &c, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN) << "the newest head was closed";
    // A fresh client still gets its answer.
    EXPECT_EQ(Fetch(h.Port(), "GET /index.html HTTP/1.0\r\n\r\n").status, 200);
    for (int fd : held)
        ::close(fd);
    EXPECT_TRUE(PumpUntil([&] { return h.server->HeadBytesHeld() == 0; }));
}

TEST_F(Hostile, OneAddressCannotTakeEveryConnection) {
    h.settings.MaxConnPerAddress = 20;
    std::vector<int> trickling;
    for (int i = 0; i < 60; ++i) {
        int fd = ConnectFrom("127.0.0.2", h.Port());
        ASSERT_GE(fd, 0);
        ::send(fd, "G", 1, MSG_NOSIGNAL);
        trickling.push_back(fd);
        if (i % 10 == 0)
            Pump(1);
    }
    // The ones over the cap are closed without a byte of answer.
    std::size_t closed = 0;
    ASSERT_TRUE(PumpUntil([&] {
        closed = 0;
        for (int fd : trickling) {
            char c;
            ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
            closed += n == 0 || (n < 0 && errno != EAGAIN);
        }
        return closed >= 40;
    }));
    EXPECT_EQ(closed, 40u);
    EXPECT_EQ(h.server->ConnectionCount(), 20u);
    // Another address is served meanwhile.
    EXPECT_EQ(h.Get("/index.html").status, 200);
    for (int fd : trickling)
        ::close(fd);
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 0; }));
    // No cap: every connection is taken.
    h.settings.MaxConnPerAddress = 0;
    trickling.clear();
    for (int i = 0; i < 60; ++i)
        trickling.push_back(ConnectFrom("127.0.0.2", h.Port()));
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 60; }));
    for (int fd : trickling)
        ::close(fd);
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 0; }));
    // A trusted proxy carries many clients: the cap does not hold it.
    h.settings.MaxConnPerAddress = 20;
    h.settings.TrustedProxies = "127.0.0.2";
    h.server->StopServer();
    ASSERT_TRUE(h.Start());
    trickling.clear();
    for (int i = 0; i < 60; ++i)
        trickling.push_back(ConnectFrom("127.0.0.2", h.Port()));
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 60; }));
    for (int fd : trickling)
        ::close(fd);
}

TEST_F(Hostile, FreshClientIsAnsweredWhenDescriptorsRunLow) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' own checks need descriptors this test takes away";
#endif
    h.settings.MaxConnPerAddress = 0; // many addresses behind one, as a flood from everywhere looks
    int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree + 800);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    // A flood from another process holds more connections than the server has descriptors.
    const unsigned port = h.Port();
    pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        struct rlimit mine = old;
        ::setrlimit(RLIMIT_NOFILE, &mine);
        for (int i = 0; i < 1500; ++i) {
            int fd = ConnectFrom("127.0.0.2", port);
            if (fd >= 0)
                ::send(fd, "GET / HTTP/1.0\r\n", 16, MSG_NOSIGNAL);
        }
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    // Until the flood is all in, the server keeps accepting and closing the oldest.
    Pump(3000);
    Response r = h.Get("/index.html");
    std::size_t held = h.server->ConnectionCount();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(r.status, 200);
    EXPECT_GT(held, 0u);
    EXPECT_LT(held, 800u);
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 0; }));
}

} // namespace
