// Hostile picture files in the web root of the real program, asked for over its own port:
// the single thread must neither hang on them nor swell.

#include "BmpBuilder.h"
#include "TestSupport.h"
#include "support/KestrelProcess.h"
#include "support/LoopbackSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <ctime>
#include <random>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

// A port that nothing listens on, below the range the kernel hands out to outgoing
// connections (so that a busy neighbour's clients cannot take it before the program does).
unsigned FreePort() {
    unsigned low = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
    std::mt19937 random(static_cast<unsigned>(::getpid()) ^ static_cast<unsigned>(std::time(nullptr)));
    for (int attempt = 0; attempt < 100 && low > 10001; ++attempt) {
        const unsigned port = 10000 + random() % (low - 10000);
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    return 0;
}

// One GET over loopback; the whole answer, or "" when none came within `limit`.
std::string Get(unsigned port, const std::string& path, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const int fd = kestrel::test::ConnectLoopback(port, timeval{0, 0}); // reads wait in poll below
        if (fd < 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return {};
            std::this_thread::sleep_for(20ms); // not listening yet
            continue;
        }
        const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
        (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::string answer;
        char buf[65536];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                answer.clear(); // no complete answer in time
                break;
            }
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            answer.append(buf, static_cast<size_t>(n));
        }
        ::close(fd);
        return answer;
    }
}

// Kilobytes of the process's peak resident memory (VmHWM).
long PeakKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

struct Site {
    Sandbox box;
    std::string root = box.Root() + "/site";
    unsigned port = FreePort();

    explicit Site(const std::string& extraSettings = "") {
        ::mkdir(root.c_str(), 0755);
        WriteFile(box.SettingsPath(), "Windows Registry Editor Version 5.00\n\n"
                                      "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
                                      "\"strRoot\"=\"" +
                                          root + "\"\n\"uPort\"=dword:" + Hex(port) + "\n" + extraSettings);
    }
    static std::string Hex(unsigned v) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", v);
        return buf;
    }
};

} // namespace

TEST(HostilePictureFiles, PipeAsCameraOffPictureNeitherHangsARequestNorTheExit) {
    Site site;
    ASSERT_NE(site.port, 0u);
    // Before any camera was seen the smallest camera-off picture is the one composed.
    ASSERT_EQ(::mkfifo((site.root + "/off80x60.bmp").c_str(), 0644), 0);
    KestrelProcess k(site.box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(site.box.LockPath())) << k.Stderr();
    const std::string answer = Get(site.port, "/framei.jpg", 5000ms);
    EXPECT_EQ(answer.rfind("HTTP/1.0 ", 0), 0u) << "the picture request got no answer";
    const auto asked = std::chrono::steady_clock::now();
    k.Signal(SIGTERM);
    const bool exited = k.WaitForExit(2000ms);
    if (!exited) {
        // Release a reader stuck in open() so that the test ends rather than hangs.
        const int w = ::open((site.root + "/off80x60.bmp").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (w >= 0)
            ::close(w);
    }
    ASSERT_TRUE(exited) << "no exit within 2 s of SIGTERM";
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2000ms);
    EXPECT_TRUE(k.ExitedNormally()) << k.Stderr();
    EXPECT_EQ(k.ExitStatus(), 0) << k.Stderr();
}

TEST(HostilePictureFiles, SmallRunLengthFileClaimingAHugePictureCostsNoMemory) {
    Site site("\"PicPass\"=\"secret\"\n");
    ASSERT_NE(site.port, 0u);
    // About 1 KB of run-length data claiming 16384 x 16384 pixels at 8 bits.
    std::vector<uint8_t> packed;
    for (int i = 0; i < 480; ++i)
        packed.insert(packed.end(), {255, 1});
    packed.insert(packed.end(), {0, 1});
    const std::vector<RGBQUAD> palette = {{0, 0, 0, 0}, {0, 0, 255, 0}};
    const auto file = test::BuildBmp({.width = 16384,
                                      .height = 16384,
                                      .bits = 8,
                                      .compression = BI_RLE8,
                                      .palette = palette,
                                      .pixels = packed});
    ASSERT_LT(file.size(), 1100u);
    ASSERT_TRUE(test::WriteBytes(site.root + "/nophone.bmp", file));
    // The camera-off picture the requests compose (no camera here).
    ASSERT_TRUE(test::WriteBytes(
        site.root + "/off80x60.bmp",
        test::BuildBmp(
            {.width = 80, .height = 60, .bits = 24, .pixels = std::vector<uint8_t>(240 * 60, 128)})));
    KestrelProcess k(site.box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(site.box.LockPath())) << k.Stderr();
    for (int i = 0; i < 3; ++i) {
        const std::string answer = Get(site.port, "/framei.jpg", 30000ms);
        EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << i << ": " << answer.substr(0, 40);
    }
    const long peak = PeakKilobytes(k.Pid());
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    ASSERT_GT(peak, 0);
    // The program needs a few tens of megabytes (more under the sanitizers); decoding the
    // claim would need gigabytes.
    EXPECT_LT(peak, 512 * 1024) << "peak resident memory in KB";
}
