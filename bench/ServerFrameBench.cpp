// What the web server adds to a picture request: composing a 320 x 240 (or 640 x 480) picture with two
// captions alone, against the same composition fetched as "/frame.jpg" over a loopback
// connection (accept, parse, compose, resolve, send, close), and a 1 KiB static file.
//
// Both use the program's own composer on the built-in test pattern.

#include "BenchOptions.h"
#include "TestPatternCapture.h"
#include "model/Settings.h"
#include "platform/MessageBox.h"
#include "server/WebServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace kestrel;

namespace {

struct Site {
    QTemporaryDir dir;
    CServerSettings settings;
    HeadlessMessageBox box;
    std::unique_ptr<CWebServer> server;
    unsigned port = 0;
    std::string root;
};
Site* g_site = nullptr;

// The real composer on the built-in test pattern with two captions, 320 x 240 unless
// "--width=640" asks for 640 x 480.
struct Composer : TestPatternCapture {
    Composer(const std::string& root, int width) { Connect(root, width, width * 3 / 4, 3); }
};
Composer* g_composer = nullptr;
int g_width = 320;
// The server thread's CPU time inside ComposeFrame while answering picture requests.
double g_composeInServerUs = 0;
int g_composeInServerCalls = 0;

// One HTTP/1.0 exchange on this thread: the client's socket is watched by the same event
// loop as the server's, so the thread sleeps until either side has something to do.
std::size_t Exchange(const std::string& path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(g_site->port));
    // Loopback connections complete in the listen queue, before the server accepts.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return 0;
    }
    std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::size_t received = 0;
    bool ended = false;
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    char buf[16384];
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                received += static_cast<std::size_t>(n);
                continue;
            }
            if (n == 0 || errno != EAGAIN)
                ended = true;
            break;
        }
        if (ended)
            notifier.setEnabled(false);
    });
    while (!ended)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    ::close(fd);
    return received;
}

void BM_ComposeAlone(benchmark::State& state) {
    for (auto _ : state)
        g_composer->capture->ComposeFrame();
}
BENCHMARK(BM_ComposeAlone)->Unit(benchmark::kMicrosecond);

void BM_FrameOverHttp(benchmark::State& state) {
    std::size_t bytes = 0;
    for (auto _ : state)
        bytes += Exchange("/frame.jpg");
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_FrameOverHttp)->Unit(benchmark::kMicrosecond);

void BM_StaticFileOverHttp(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(Exchange("/k.html"));
}
BENCHMARK(BM_StaticFileOverHttp)->Unit(benchmark::kMicrosecond);

double CpuUs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}
// CPU time of the whole process (every thread, the background file writer included), in µs.
double ProcessCpuUs() {
    return CpuUs(CLOCK_PROCESS_CPUTIME_ID);
}

// One HTTP/1.0 exchange with blocking calls, for a client on a thread of its own.
std::size_t BlockingExchange(const std::string& path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(g_site->port));
    std::size_t received = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0 || (n < 0 && errno == EINTR))
            received += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    ::close(fd);
    return received;
}

// The server's side of a run: its event loop until the client is done. A profiler can
// count this thread's work alone with --toggle-collect='*ServeUntil*'.
__attribute__((noinline)) void ServeUntil(const std::atomic<bool>& done) {
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// The server's CPU time per request: the client runs on a thread of its own, and its
// thread CPU time is taken from the process's. What is left is the server's work (and
// the background file writer's), plus the client thread's start, which counts against
// the server.
double ServerCpuUsPerRequest(const std::string& path, int calls) {
    std::atomic<bool> done{false};
    double clientUs = 0;
    const double before = ProcessCpuUs();
    std::thread client([&] {
        const double start = CpuUs(CLOCK_THREAD_CPUTIME_ID);
        for (int i = 0; i < calls; ++i)
            if (BlockingExchange(path) == 0)
                std::fprintf(stderr, "no answer to %s\n", path.c_str());
        clientUs = CpuUs(CLOCK_THREAD_CPUTIME_ID) - start;
        done = true;
        QMetaObject::invokeMethod(
            qApp, [] {}, Qt::QueuedConnection); // wakes the event loop
    });
    ServeUntil(done);
    client.join();
    return (ProcessCpuUs() - before - clientUs) / calls;
}

template <typename F> double CpuUsPerCall(F&& f, int calls) {
    const double a = ProcessCpuUs();
    for (int i = 0; i < calls; ++i)
        f();
    return (ProcessCpuUs() - a) / calls;
}

// Rounds of 20 calls alternate between composing alone and fetching "/frame.jpg"; the
// median round of each is compared, so both see the same load on a shared machine.
void PrintCpuRatio(int rounds) {
    constexpr int kCalls = 20;
    std::vector<double> compose, frame, file, frameWithClient, still, composeInServer, composeThread;
    // A static copy of the picture: what serving a file of its size costs without composing.
    g_composer->capture->ComposeFrame();
    QFile::remove(QString::fromStdString(g_site->root + "/still.jpg"));
    QFile::copy(QString::fromStdString(g_site->root + "/frame.jpg"),
                QString::fromStdString(g_site->root + "/still.jpg"));
    for (int round = 0; round < rounds; ++round) {
        const double threadStart = CpuUs(CLOCK_THREAD_CPUTIME_ID);
        compose.push_back(CpuUsPerCall([] { g_composer->capture->ComposeFrame(); }, kCalls));
        composeThread.push_back((CpuUs(CLOCK_THREAD_CPUTIME_ID) - threadStart) / kCalls);
        g_composeInServerUs = 0, g_composeInServerCalls = 0;
        frame.push_back(ServerCpuUsPerRequest("/frame.jpg", kCalls));
        composeInServer.push_back(g_composeInServerUs / std::max(1, g_composeInServerCalls));
        file.push_back(ServerCpuUsPerRequest("/k.html", kCalls));
        still.push_back(ServerCpuUsPerRequest("/still.jpg", kCalls));
        frameWithClient.push_back(CpuUsPerCall([] { Exchange("/frame.jpg"); }, kCalls));
    }
    auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    const double c = median(compose), f = median(frame), k = median(file), w = median(frameWithClient),
                 st = median(still), cs = median(composeInServer), ct = median(composeThread);
    std::printf("\nServer CPU time per call at %d x %d (process less the client's thread), median of %d "
                "interleaved rounds of %d calls:\n"
                "ComposeFrame %.1f us, \"/frame.jpg\" %.1f us, ratio %.2f (goal <= 1.1); 1 KiB file %.1f us; "
                "a static copy of the picture %.1f us\n"
                "With the client on the server's thread (process CPU): \"/frame.jpg\" %.1f us, ratio %.2f\n"
                "ComposeFrame on the server's thread alone: %.1f us, inside a picture request: %.1f us\n",
                g_width, g_width * 3 / 4, rounds, kCalls, c, f, f / c, k, st, w, w / c, ct, cs);
}

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    Site site;
    g_site = &site;
    site.root = site.dir.path().toStdString();
    site.settings.strRoot = site.root;
    site.settings.strServer = "bench";
    site.settings.bLoggingOn = 0;
    {
        std::ofstream k(site.root + "/k.html");
        k << std::string(1024, 'k');
    }
    const char* width = OptionText(argc, argv, "--width=");
    g_width = width && std::atoi(width) == 640 ? 640 : 320;
    ServerHooks hooks;
    Composer composer(site.root, g_width);
    g_composer = &composer;
    hooks.composeFrame = [] {
        const double start = CpuUs(CLOCK_THREAD_CPUTIME_ID);
        g_composer->capture->ComposeFrame();
        g_composeInServerUs += CpuUs(CLOCK_THREAD_CPUTIME_ID) - start;
        ++g_composeInServerCalls;
    };
    hooks.picturePassword = [] { return std::string(); };
    site.server = std::make_unique<CWebServer>(site.settings, site.box, hooks);
    for (unsigned port = 18700; port < 18800 && !site.server->IsListening(); ++port) {
        site.settings.uPort = port;
        if (site.server->StartServer())
            site.port = port;
    }
    if (!site.port)
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    // "--profile=/path" serves `--calls=N` (default 50) requests for the path to a client on
    // another thread and nothing else, for a profiler.
    if (const char* path = OptionText(argc, argv, "--profile=")) {
        ServerCpuUsPerRequest("/frame.jpg", 1); // first-call work is not counted
        ServerCpuUsPerRequest(path, CountOption(argc, argv, "--calls=", 50));
        site.server.reset();
        return 0;
    }
    // "--rounds=N" shortens the CPU comparison, e.g. under a profiler.
    PrintCpuRatio(CountOption(argc, argv, "--rounds=", 41));
    benchmark::Shutdown();
    site.server.reset();
    return 0;
}
