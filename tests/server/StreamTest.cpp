// The live stream "/stream.mjpg" over real loopback sockets: the framing as a client
// parses it, the password rule, one composition per tick shared by every client, a slow
// client skipping pictures, the client cap, the viewer list, the setting that turns the
// stream off, and the server's end with streams open.

#include "ServerTestSupport.h"

#include "app/HeadlessView.h"

#include <QFile>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kestrel::test {
namespace {

// A stream client on its own thread: sends the request, then parses the head and every
// part as a browser would (boundary from the head, each part by its Content-Length).
class StreamReader {
public:
    StreamReader(unsigned port, std::string request, int receiveBuffer = 0)
        : m_thread([this, port, request = std::move(request), receiveBuffer] {
              Run(port, request, receiveBuffer);
          }) {}
    ~StreamReader() {
        m_stop = true;
        m_thread.join();
    }
    void Pause(bool on) { m_paused = on; }
    void Stop() { m_stop = true; }

    std::atomic<int> parts{0};
    std::atomic<bool> connected{false}, ended{false}, malformed{false};

    std::string Head() const {
        std::lock_guard lock(m_mutex);
        return m_head;
    }
    std::vector<uint32_t> Numbers() const {
        std::lock_guard lock(m_mutex);
        return m_numbers;
    }

private:
    void Run(unsigned port, const std::string& request, int receiveBuffer) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        timeval tv{0, 50000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(request.size())) {
            ::close(fd);
            ended = true;
            return;
        }
        connected = true;
        std::string in;
        char buf[64 * 1024];
        while (!m_stop) {
            if (m_paused) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n == 0) {
                ended = true;
                break;
            }
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                    continue;
                ended = true;
                break;
            }
            in.append(buf, static_cast<std::size_t>(n));
            Parse(in);
        }
        ::close(fd);
    }

    void Parse(std::string& in) {
        for (;;) {
            if (m_boundary.empty()) {
                auto end = in.find("\r\n\r\n");
                if (end == std::string::npos)
                    return;
                std::string head = in.substr(0, end + 4);
                {
                    std::lock_guard lock(m_mutex);
                    m_head = head;
                }
                auto b = head.find("boundary=");
                if (b == std::string::npos)
                    return; // not a stream: the caller looks at the head
                m_boundary = head.substr(b + 9, head.find("\r\n", b) - b - 9);
                in.erase(0, end + 4);
                m_separator = "--" + m_boundary + "\r\n";
                if (in.size() < m_separator.size())
                    return;
            }
            if (!m_seenFirst) {
                if (in.size() < m_separator.size())
                    return;
                if (in.compare(0, m_separator.size(), m_separator) != 0)
                    malformed = true;
                in.erase(0, m_separator.size());
                m_seenFirst = true;
            }
            auto end = in.find("\r\n\r\n");
            if (end == std::string::npos)
                return;
            const std::string headers = in.substr(0, end + 2);
            auto cl = headers.find("Content-Length: ");
            if (headers.find("Content-Type: image/jpeg\r\n") == std::string::npos ||
                cl == std::string::npos) {
                malformed = true;
                return;
            }
            const std::size_t length = std::stoul(headers.substr(cl + 16));
            const std::string tail = "\r\n" + m_separator;
            if (in.size() < end + 4 + length + tail.size())
                return;
            const std::string body = in.substr(end + 4, length);
            if (in.compare(end + 4 + length, tail.size(), tail) != 0 || body.size() < 4)
                malformed = true;
            uint32_t number = 0;
            std::memcpy(&number, body.data() + body.size() - 4, 4);
            // Each part carries the capture time of the frame it holds.
            const int64_t us = StreamCaptureTimeUs(number);
            char stamp[64];
            std::snprintf(stamp, sizeof stamp, "\r\nX-Timestamp: %lld.%06lld\r\n",
                          static_cast<long long>(us / 1000000), static_cast<long long>(us % 1000000));
            if (headers.find(stamp) == std::string::npos)
                malformed = true;
            {
                std::lock_guard lock(m_mutex);
                m_numbers.push_back(number);
            }
            ++parts;
            in.erase(0, end + 4 + length + tail.size());
        }
    }

    std::atomic<bool> m_stop{false}, m_paused{false};
    mutable std::mutex m_mutex;
    std::string m_head, m_boundary, m_separator;
    bool m_seenFirst = false;
    std::vector<uint32_t> m_numbers;
    std::thread m_thread;
};

std::string GetLine(const std::string& path) {
    return "GET " + path + " HTTP/1.0\r\nHost: cam.test\r\n\r\n";
}

struct StreamTest : ::testing::Test {
    void SetUp() override {
        h.settings.StreamMaxFps = 30;
        h.settings.MaxConnPerAddress = 0;
        WriteFile(h.Root() + "/pass.jpg", "PASSPICTURE");
        ASSERT_TRUE(h.Start());
    }
    ServerHarness h;
};

TEST_F(StreamTest, HeadAndPartsParseAndEveryClientGetsTheSameCompositions) {
    std::vector<std::unique_ptr<StreamReader>> readers;
    for (int i = 0; i < 4; ++i)
        readers.push_back(
            std::make_unique<StreamReader>(h.Port(), GetLine("/stream.mjpg?" + std::to_string(i))));
    ASSERT_TRUE(PumpUntil([&] {
        for (auto& r : readers)
            if (r->parts < 10)
                return false;
        return true;
    }));
    for (auto& r : readers)
        r->Stop();
    const std::string head = readers[0]->Head();
    EXPECT_EQ(head.rfind("HTTP/1.0 200 OK\r\nServer: Velmora-Kestrel/1.0\r\nDate: ", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nContent-type: multipart/x-mixed-replace;boundary=kestrel"), std::string::npos);
    EXPECT_NE(head.find("\r\nCache-Control: no-store\r\n\r\n"), std::string::npos);
    // One composition per tick, whatever the number of clients: the pictures are numbered
    // by composition, and together the clients saw no more numbers than were composed.
    std::set<uint32_t> seen;
    for (auto& r : readers) {
        EXPECT_FALSE(r->malformed);
        auto numbers = r->Numbers();
        EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
        seen.insert(numbers.begin(), numbers.end());
    }
    EXPECT_LE(static_cast<int>(*seen.rbegin()), h.streamComposeCount);
    EXPECT_LT(h.streamComposeCount, 4 * 10) << "a composition per client";
    // No file is written for the stream; one hit-log line per stream start.
    EXPECT_FALSE(QFile::exists(QString::fromStdString(h.Root() + "/stream.mjpg")));
    int logged = 0;
    for (auto& hit : h.hits)
        logged += hit->url == "/stream.mjpg" && hit->status == 200 && hit->done;
    EXPECT_EQ(logged, 4);
    readers.clear();
    // With no client left the clock stops.
    ASSERT_TRUE(PumpUntil([&] { return h.server->Streams().ClientCount() == 0; }));
    EXPECT_FALSE(h.server->Streams().Ticking());
    const int composed = h.streamComposeCount;
    Pump(200);
    EXPECT_EQ(h.streamComposeCount, composed);
}

TEST_F(StreamTest, PicturePasswordOnEverySpellingOfTheStream) {
    struct Row {
        const char* password;
        const char* path;
        bool streams;
    } rows[] = {
        {"", "/stream.mjpg", true},
        {"", "/stream.mjpg?5", true},
        {"", "/stream%2Emjpg", true},
        {"secret", "/stream.mjpg?5&picid=secret", true},
        {"secret", "/stream.mjpg?&picid=secret", true},
        {"secret", "/stream.mjpg", false},
        {"secret", "/stream.mjpg?", false},
        {"secret", "/stream.mjpg?5", false},
        {"secret", "/stream.mjpg?5&picid=Secret", false},
        {"secret", "/stream.mjpg?5&picid=secretx", false},
        {"secret", "/stream.mjpg?picid=secret", false},
        {"secret", "/stream.mjpgx?5&picid=secret", false},
        {"secret", "/stream%2Emjpg?5&picid=secret", false},
        {"secret", "//stream.mjpg?5&picid=secret", false},
        {"secret", "/./stream.mjpg?5&picid=secret", false},
    };
    for (const Row& row : rows) {
        h.password = row.password;
        h.hits.clear();
        if (row.streams) {
            StreamReader reader(h.Port(), GetLine(row.path));
            EXPECT_TRUE(PumpUntil([&] { return reader.parts >= 1; }, 5000)) << row.path;
            EXPECT_FALSE(reader.malformed) << row.path;
        } else {
            // The refused picture once, then the connection ends.
            Response r = h.Get(row.path);
            EXPECT_EQ(r.status, 200) << row.path;
            EXPECT_EQ(r.body, "PASSPICTURE") << row.path;
            EXPECT_EQ(r.Header("content-type").find("multipart"), std::string::npos) << row.path;
            ASSERT_FALSE(h.hits.empty());
            EXPECT_EQ(h.hits.back()->url, "/pass.jpg") << row.path;
            EXPECT_EQ(h.hits.back()->query.find("secret"), std::string::npos) << row.path;
        }
    }
}

TEST_F(StreamTest, SlowClientSkipsPicturesWhileAFastOneKeepsItsRate) {
    h.streamFrameSize = 1024 * 1024; // a few pictures fill the socket buffers
    StreamReader fast(h.Port(), GetLine("/stream.mjpg"));
    StreamReader slow(h.Port(), GetLine("/stream.mjpg"), 4096);
    ASSERT_TRUE(PumpUntil([&] { return slow.parts >= 1 && fast.parts >= 1; }));
    slow.Pause(true);
    const int composedBefore = h.streamComposeCount, fastBefore = fast.parts;
    ASSERT_TRUE(PumpUntil([&] { return h.streamComposeCount >= composedBefore + 40; }));
    // The fast client took (nearly) every picture composed meanwhile.
    EXPECT_GE(fast.parts - fastBefore, 36);
    slow.Pause(false);
    const int composedAfter = h.streamComposeCount;
    ASSERT_TRUE(PumpUntil([&] {
        auto n = slow.Numbers();
        return !n.empty() && static_cast<int>(n.back()) > composedAfter;
    }));
    // The slow client never had pictures queued for it: once it reads again it jumps to
    // the newest picture instead of receiving the ones it missed.
    // What the socket buffers held is all it got of the 40 missed ones.
    const auto numbers = slow.Numbers();
    EXPECT_LT(slow.parts, 20);
    bool jumped = false;
    for (std::size_t i = 1; i < numbers.size(); ++i)
        jumped |= numbers[i] > numbers[i - 1] + 20;
    EXPECT_TRUE(jumped);
    EXPECT_FALSE(slow.malformed);
    EXPECT_FALSE(fast.malformed);
}

TEST_F(StreamTest, ClientThatTakesNothingIsClosedAfterTheStallTime) {
    ServerTimeouts t;
    t.streamStall = std::chrono::milliseconds(500);
    t.sweep = std::chrono::milliseconds(100);
    h.server->SetTimeouts(t);
    // The send timeout alone would keep it for a minute.
    h.streamFrameSize = 64 * 1024;
    StreamReader stalled(h.Port(), GetLine("/stream.mjpg"), 4096);
    ASSERT_TRUE(PumpUntil([&] { return stalled.connected.load(); }));
    stalled.Pause(true);
    ASSERT_TRUE(PumpUntil([&] { return h.server->Streams().ClientCount() == 1; }));
    EXPECT_TRUE(PumpUntil([&] { return h.server->Streams().ClientCount() == 0; }, 5000));
    // An idle stream (small pictures, a reading client) is not a stall.
    h.streamFrameSize = 600;
    StreamReader reading(h.Port(), GetLine("/stream.mjpg"));
    Pump(1200);
    EXPECT_EQ(h.server->Streams().ClientCount(), 1u);
    EXPECT_FALSE(reading.ended);
}

TEST_F(StreamTest, ClientCapHeadAndPerAddressCap) {
    h.settings.StreamMaxClients = 2;
    StreamReader a(h.Port(), GetLine("/stream.mjpg")), b(h.Port(), GetLine("/stream.mjpg"));
    ASSERT_TRUE(PumpUntil([&] { return a.parts >= 1 && b.parts >= 1; }));
    Response full = h.Get("/stream.mjpg");
    EXPECT_EQ(full.statusLine, "HTTP/1.0 503 Service Unavailable");
    EXPECT_TRUE(full.body.empty());
    // HEAD: the head alone (a full server answers it 503 as well).
    h.settings.StreamMaxClients = 3;
    Response head = h.Send("HEAD /stream.mjpg HTTP/1.0\r\n\r\n");
    EXPECT_EQ(head.status, 200);
    EXPECT_NE(head.Header("content-type").find("multipart/x-mixed-replace;boundary="), std::string::npos);
    EXPECT_EQ(head.Header("cache-control"), "no-store");
    EXPECT_TRUE(head.body.empty());
    // Streams per client address: one more from this address is refused, not from another.
    h.settings.StreamMaxClients = 8;
    h.settings.StreamMaxPerAddress = 2;
    EXPECT_EQ(h.Get("/stream.mjpg").status, 503);
    ClientOptions v6;
    v6.ipv6 = true;
    EXPECT_EQ(h.Send("HEAD /stream.mjpg HTTP/1.0\r\n\r\n", v6).status, 200);
    // Streams count toward the per-address cap: a third connection is closed unanswered.
    h.settings.MaxConnPerAddress = 2;
    Response over = h.Get("/index.html");
    EXPECT_EQ(over.status, 0);
}

TEST_F(StreamTest, BehindATrustedProxyTheForwardedClientIsTheViewer) {
    h.server->StopServer();
    h.settings.TrustedProxies = "127.0.0.0/8";
    ASSERT_TRUE(h.Start());
    std::vector<std::string> touched;
    h.onTouchViewer = [&](const std::string& address) { touched.push_back(address); };
    StreamReader viewer(h.Port(), "GET /stream.mjpg HTTP/1.0\r\nX-Forwarded-For: 2001:db8::5\r\n\r\n");
    ASSERT_TRUE(PumpUntil([&] { return viewer.parts >= 2; }));
    ASSERT_FALSE(touched.empty());
    EXPECT_EQ(touched.back(), "2001:db8::5");
    ASSERT_FALSE(h.hits.empty());
    EXPECT_EQ(h.hits.back()->clientAddress, "2001:db8::5");
}

TEST_F(StreamTest, StreamClientIsAViewerUntilFifteenSecondsAfterItLeaves) {
    HeadlessMainView view;
    std::time_t now = 1000000;
    TempFolder logs; // the stream's log line goes there, not into the working folder
    CHitTracker tracker(
        view, h.settings, [&] { return now; }, logs.Path());
    h.onTouchViewer = [&](const std::string& address) { tracker.TouchViewer(address, now); };
    {
        StreamReader viewer(h.Port(), GetLine("/stream.mjpg"));
        ASSERT_TRUE(PumpUntil([&] { return viewer.parts >= 1; }));
        ASSERT_FALSE(h.hits.empty());
        tracker.RecordHit(h.hits.back());
        // A minute of watching: every picture refreshes the viewer.
        for (int i = 0; i < 6; ++i) {
            now += 10;
            const int before = viewer.parts;
            ASSERT_TRUE(PumpUntil([&] { return viewer.parts > before; }));
            for (int step = 0; step < 4; ++step)
                tracker.ServiceIdle();
            EXPECT_EQ(tracker.ViewerCount(), 1) << "after " << (i + 1) * 10 << " s";
        }
    }
    ASSERT_TRUE(PumpUntil([&] { return h.server->Streams().ClientCount() == 0; }));
    now += 16;
    tracker.ServiceIdle();
    EXPECT_EQ(tracker.ViewerCount(), 0);
}

TEST_F(StreamTest, StreamDisabledServesAFileOfThatName) {
    h.settings.StreamEnabled = 0;
    WriteFile(h.Root() + "/stream.mjpg", "JUSTAFILE");
    Response r = h.Get("/stream.mjpg");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "JUSTAFILE");
    h.password = "secret"; // not a picture path while the stream is off
    EXPECT_EQ(h.Get("/stream.mjpg").body, "JUSTAFILE");
    EXPECT_EQ(h.streamComposeCount, 0);
    std::remove((h.Root() + "/stream.mjpg").c_str());
    EXPECT_EQ(h.Get("/stream.mjpg").status, 404);
}

TEST(StreamCadence, DeadlinesStayOnTheGridWhateverTheTicksCost) {
    using namespace std::chrono;
    using Ms = milliseconds;
    const auto t0 = TickSchedule::Clock::time_point{} + hours(1);
    TickSchedule schedule;
    schedule.Start(t0);
    auto deadline = t0;
    // Ticks that fire up to 4 ms late and compose for 30 to 60 ms: every deadline is one
    // period after the one before, never a period after the tick's end.
    for (int i = 0; i < 50; ++i) {
        const auto began = deadline + Ms(i % 5);
        const auto next = schedule.Next(began, began + Ms(30 + (i * 13) % 31), Ms(100));
        EXPECT_EQ(next - deadline, Ms(100)) << "tick " << i;
        deadline = next;
    }
    // A tick that fires 70 ms late and works 20 ms: the next one is still on the grid.
    auto next = schedule.Next(deadline + Ms(70), deadline + Ms(90), Ms(100));
    EXPECT_EQ(next - deadline, Ms(100));
    deadline = next;
    // One that fires 90 ms late and works 40 ms missed the next point by its lateness
    // alone: that point runs at once (its deadline has passed), nothing is skipped.
    next = schedule.Next(deadline + Ms(90), deadline + Ms(130), Ms(100));
    EXPECT_EQ(next - deadline, Ms(100));
    EXPECT_EQ(schedule.Skipped(), 0u);
    deadline = next;
    // A tick whose own work takes 130 ms skips the grid point it overran instead of
    // delaying the next: due 70 ms after its end.
    next = schedule.Next(deadline, deadline + Ms(130), Ms(100));
    EXPECT_EQ(next - deadline, Ms(200));
    EXPECT_EQ(schedule.Skipped(), 1u);
    deadline = next;
    // Stuck for 1.05 s: ten points skipped, one call, no burst of catching up.
    next = schedule.Next(deadline, deadline + Ms(1050), Ms(100));
    EXPECT_EQ(next - deadline, Ms(1100));
    EXPECT_EQ(schedule.Skipped(), 11u);
    deadline = next;
    // Fired 350 ms late: only the latest missed point runs, at once; two are dropped.
    next = schedule.Next(deadline + Ms(350), deadline + Ms(360), Ms(100));
    EXPECT_EQ(next - deadline, Ms(300));
    EXPECT_EQ(schedule.Skipped(), 13u);
    deadline = next;
    // A new period (camera off: one a second) counts from the last deadline.
    EXPECT_EQ(schedule.Next(deadline, deadline + Ms(20), Ms(1000)) - deadline, Ms(1000));
}

TEST_F(StreamTest, SlowCompositionKeepsTheFullRate) {
    // 10 pictures a second, each taking 30 to 60 ms to compose: they still leave every
    // 100 ms. Counting the period from each tick's end would space them 130 to 160 ms.
    using Clock = std::chrono::steady_clock;
    h.settings.StreamMaxFps = 10;
    std::vector<Clock::time_point> starts;
    h.onStreamCompose = [&] {
        starts.push_back(Clock::now());
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + (starts.size() * 7) % 31));
    };
    StreamReader reader(h.Port(), GetLine("/stream.mjpg"));
    ASSERT_TRUE(PumpUntil([&] { return starts.size() >= 17; }, 15000))
        << starts.size() << " pictures composed";
    h.onStreamCompose = nullptr;
    std::vector<double> gaps;
    for (std::size_t i = 1; i < starts.size(); ++i)
        gaps.push_back(std::chrono::duration<double, std::milli>(starts[i] - starts[i - 1]).count());
    std::sort(gaps.begin(), gaps.end());
    // The median gap, so that a tick the loaded test machine runs late cannot decide.
    EXPECT_GT(gaps[gaps.size() / 2], 90.0);
    EXPECT_LT(gaps[gaps.size() / 2], 115.0);
    EXPECT_TRUE(PumpUntil([&] { return reader.parts >= 15; }));
    EXPECT_FALSE(reader.malformed);
}

TEST_F(StreamTest, CameraOffSendsOnePictureASecond) {
    h.streamCameraOff = true;
    StreamReader reader(h.Port(), GetLine("/stream.mjpg"));
    ASSERT_TRUE(PumpUntil([&] { return reader.parts >= 1; }));
    Pump(1500);
    EXPECT_LE(reader.parts, 3);
    EXPECT_FALSE(reader.ended);
}

TEST_F(StreamTest, ServerEndClosesEveryStreamAtOnce) {
    h.settings.StreamMaxPerAddress = 5;
    std::vector<std::unique_ptr<StreamReader>> readers;
    for (int i = 0; i < 5; ++i)
        readers.push_back(std::make_unique<StreamReader>(h.Port(), GetLine("/stream.mjpg")));
    ASSERT_TRUE(PumpUntil([&] {
        for (auto& r : readers)
            if (r->parts < 1)
                return false;
        return true;
    }));
    h.server.reset();
    for (auto& r : readers)
        EXPECT_TRUE(PumpUntil([&] { return r->ended.load(); }, 2000));
}

} // namespace
} // namespace kestrel::test
