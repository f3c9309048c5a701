// The real program as a process: no display, a temporary home and configuration folder.
// One copy at a time, termination signals (with live streams open too), the settings file it
// leaves, and what it says on standard error.

#include "support/KestrelProcess.h"
#include "support/LoopbackSocket.h"
#include "support/TestPorts.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace kestrel::testing;

namespace {

// The settings line of the sandbox's port, as written back.
std::string PortValue(const Sandbox& box) {
    std::string line = PortLine(box.Port());
    line.pop_back();
    return line;
}

// GET of `path` from the local address `from` (any 127.x.y.z); the answer's body, or
// "" when there was no complete answer.
std::string GetFrom(const std::string& from, unsigned port, const std::string& path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "";
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buf[65536];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
                answer.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    const auto body = answer.find("\r\n\r\n");
    return answer.rfind("HTTP/1.0 200", 0) == 0 && body != std::string::npos ? answer.substr(body + 4) : "";
}

} // namespace

class TerminationSignal : public ::testing::TestWithParam<int> {};

TEST_P(TerminationSignal, HeadlessRunWritesEveryDefaultWithMode0600AndExitsZero) {
    Sandbox box;
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    EXPECT_EQ(ReadFile(box.SettingsPath()), kSettingsHeader + PortLine(box.Port()))
        << "nothing is written before the exit";
    k.Signal(GetParam());
    ASSERT_TRUE(k.WaitForExit()) << "no exit after signal " << GetParam();
    ASSERT_TRUE(k.ExitedNormally()) << "killed by the signal instead of closing: " << k.Stderr();
    EXPECT_EQ(k.ExitStatus(), 0) << k.Stderr();

    struct stat st {};
    ASSERT_EQ(::stat(box.SettingsPath().c_str(), &st), 0) << k.Stderr();
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string text = ReadFile(box.SettingsPath());
    EXPECT_EQ(text.rfind(kSettingsHeader, 0), 0u);
    for (const std::string& line : std::vector<std::string>{
             PortValue(box), "\"CaptureDevice\"=dword:ffffffff", "\"bLoggingOn\"=dword:00000001",
             "\"strRoot\"=\"" + box.Root() + "/home/WebPages\"", "\"Cate\"=dword:00000001",
             "\"CateDisp\"=dword:00000001", std::string("\"Text\"=\"修正するキャプションをクリック\"")})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(text.find("Kestrels\\caption" + std::to_string(i) + "]"), std::string::npos) << i;
    // Nothing half-written is left beside it.
    EXPECT_FALSE(std::ifstream(box.SettingsPath() + ".bad").good());
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGTERM  ? "SIGTERM"
                                                : info.param == SIGINT ? "SIGINT"
                                                                       : "SIGHUP");
                         });

TEST(KestrelProcess, HeadlessSecondCopyNamesTheFileAndTheHolderAndFailsLeavingTheFirstAlone) {
    Sandbox box;
    KestrelProcess first(box, "first.txt");
    ASSERT_TRUE(first.WaitUntilRunning(box.LockPath())) << first.Stderr();
    const std::string before = ReadFile(box.SettingsPath());
    KestrelProcess second(box, "second.txt");
    ASSERT_TRUE(second.WaitForExit(5000ms));
    ASSERT_TRUE(second.ExitedNormally());
    EXPECT_EQ(second.ExitStatus(), 1) << "a copy that serves nothing must not look like a good start";
    const std::string said = second.Stderr();
    EXPECT_NE(said.find("the settings file " + box.SettingsPath() + " is in use by process " +
                        std::to_string(first.Pid())),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("kestrel: serving"), std::string::npos) << said;
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(ReadFile(box.SettingsPath()), before) << "the second copy must not write the settings";
    first.Signal(SIGTERM);
    ASSERT_TRUE(first.WaitForExit());
    EXPECT_TRUE(first.ExitedNormally());
    EXPECT_EQ(first.ExitStatus(), 0);
    EXPECT_NE(ReadFile(box.SettingsPath()), before);
}

// The start line names what runs; a password in use is said as "on", never shown.
TEST(KestrelProcess, GoodStartSaysOneLineWithFileRootAddressCameraAndPassword) {
    Sandbox box;
    box.WriteSettings("\"CaptureDevice\"=dword:00000000\n\"PicPass\"=\"s3cret\"\n");
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    std::string line;
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         line.empty() && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
        const std::string err = k.Stderr();
        const auto at = err.find("kestrel: serving ");
        if (at != std::string::npos && err.find('\n', at) != std::string::npos)
            line = err.substr(at, err.find('\n', at) - at);
    }
    ASSERT_FALSE(line.empty()) << k.Stderr();
    EXPECT_NE(line.find(":" + std::to_string(box.Port()) + "/ from " + box.Root() + "/home/WebPages;"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("settings " + box.SettingsPath() + ";"), std::string::npos) << line;
    EXPECT_NE(line.find("camera test pattern;"), std::string::npos) << line;
    EXPECT_NE(line.find("picture password on"), std::string::npos) << line;
    EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_EQ(k.Stderr().find("kestrel: serving"), k.Stderr().rfind("kestrel: serving")) << "said once";
}

namespace {

// Listens on `port` of every IPv4 address, or (v6) of every IPv6 address only; -1 on failure.
int HoldPort(unsigned port, bool v6) {
    int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int rc = -1;
    if (v6) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<uint16_t>(port));
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

// Headless, a port another program holds ends the start with status 1, so a service
// manager restarts or reports it; whichever address family the holder uses.
class TakenPort : public ::testing::TestWithParam<bool> {};

TEST_P(TakenPort, HeadlessStartSaysSoAndExitsOneWithinSeconds) {
    Sandbox box;
    const int holder = HoldPort(box.Port(), GetParam());
    if (holder < 0 && GetParam())
        GTEST_SKIP() << "no IPv6 on this machine";
    ASSERT_GE(holder, 0);
    KestrelProcess k(box, "stderr.txt");
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(k.WaitForExit(5000ms)) << "still running with its port taken: " << k.Stderr();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    ::close(holder);
    ASSERT_TRUE(k.ExitedNormally()) << k.Stderr();
    EXPECT_EQ(k.ExitStatus(), 1) << k.Stderr();
    const std::string err = k.Stderr();
    EXPECT_NE(err.find(std::to_string(box.Port())), std::string::npos) << err;
    EXPECT_NE(err.find("nothing can be served; exiting with status 1"), std::string::npos) << err;
    EXPECT_EQ(err.find("kestrel: serving"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Holders, TakenPort, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "IPv6Holder" : "IPv4Holder");
                         });

// A password line that cannot be read must not leave the camera public: every picture
// gets what a wrong password gets, and the line is never replaced by a readable "no password".
TEST(KestrelProcess, UnreadablePasswordRefusesEveryPictureAndIsNeverOverwritten) {
    Sandbox box;
    const std::string broken = "\"PicPass\"=\"s3cret\n";
    box.WriteSettings("\"CaptureDevice\"=dword:00000000\n" + broken);
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    std::string pass;
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         pass.empty() && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms))
        pass = GetFrom("127.0.0.1", box.Port(), "/pass.jpg");
    ASSERT_FALSE(pass.empty()) << k.Stderr();
    for (const char* path :
         {"/frame.jpg?1", "/frame.jpg?1&picid=", "/frame.jpg?1&picid=s3cret", "/frame.jpg?1&picid=%22s3cret"})
        EXPECT_EQ(GetFrom("127.0.0.1", box.Port(), path), pass) << path;
    const std::string err = k.Stderr();
    EXPECT_NE(err.find("line 6 in [Software\\Velmora\\Kestrels]: \"PicPass\" cannot be read"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("every picture is refused as with a wrong password"), std::string::npos) << err;
    EXPECT_NE(err.find("picture password unreadable"), std::string::npos) << err;
    EXPECT_EQ(err.find("s3cret"), std::string::npos) << err;
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_TRUE(k.ExitedNormally()) << k.Stderr();
    const std::string text = ReadFile(box.SettingsPath());
    EXPECT_NE(text.find("\n" + broken), std::string::npos) << text;
    EXPECT_EQ(text.find("\"PicPass\""), text.rfind("\"PicPass\""))
        << "a second PicPass line was written: " << text;
}

// A listen address that cannot be used never turns into every interface: the headless
// start fails, says why, and an unreadable line stays as the owner wrote it.
TEST(KestrelProcess, ListenAddressThatCannotBeUsedEndsAHeadlessStartWithStatusOne) {
    const std::pair<std::string, std::string> rows[] = {
        {"\"ListenAddress\"=\"127.0.0.1\n", "the line of ListenAddress in the settings file cannot be read"},
        {"\"ListenAddress\"=\"192.0.2.1\"\n",
         "ListenAddress \"192.0.2.1\" is not an address of this machine"},
    };
    for (const auto& [line, said] : rows) {
        SCOPED_TRACE(line);
        Sandbox box;
        box.WriteSettings("\"CaptureDevice\"=dword:00000000\n" + line);
        KestrelProcess k(box, "stderr.txt");
        ASSERT_TRUE(k.WaitForExit(5000ms)) << "still running: " << k.Stderr();
        ASSERT_TRUE(k.ExitedNormally()) << k.Stderr();
        EXPECT_EQ(k.ExitStatus(), 1) << k.Stderr();
        EXPECT_NE(k.Stderr().find(said), std::string::npos) << k.Stderr();
        EXPECT_NE(k.Stderr().find("nothing can be served; exiting with status 1"), std::string::npos);
        const std::string text = ReadFile(box.SettingsPath());
        EXPECT_NE(text.find(line), std::string::npos) << text;
        EXPECT_EQ(text.find("\"ListenAddress\""), text.rfind("\"ListenAddress\"")) << text;
    }
}

// Headless, the stored web root is the one served: made with its parents and given the
// starter site; one that cannot be made ends the start with status 1.
TEST(KestrelProcess, HeadlessWebRootIsMadeWithItsParentsOrTheStartFails) {
    Sandbox box;
    const std::string root = box.Root() + "/srv/cams/front";
    box.WriteSettings("\"strRoot\"=\"" + root + "\"\n");
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    std::string page;
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         page.empty() && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms))
        page = GetFrom("127.0.0.1", box.Port(), "/favicon.ico");
    EXPECT_FALSE(page.empty()) << "the starter site is served from the made root: " << k.Stderr();
    EXPECT_TRUE(std::ifstream(root + "/index.html").good());
    EXPECT_FALSE(std::ifstream(box.Root() + "/home/WebPages/index.html").good()) << "not the default root";
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_NE(ReadFile(box.SettingsPath()).find("\"strRoot\"=\"" + root + "\""), std::string::npos);

    // Below a file nothing can be made.
    WriteFile(box.Root() + "/srv/plain", "a file");
    box.WriteSettings("\"strRoot\"=\"" + box.Root() + "/srv/plain/web\"\n");
    KestrelProcess bad(box, "bad.txt");
    ASSERT_TRUE(bad.WaitForExit(5000ms)) << bad.Stderr();
    EXPECT_EQ(bad.ExitStatus(), 1) << bad.Stderr();
    EXPECT_NE(bad.Stderr().find("The web root " + box.Root() + "/srv/plain/web cannot be made"), std::string::npos)
        << bad.Stderr();
}

// Old snapshots and hit logs go at start, oldest first; files of other names beside them stay.
TEST(KestrelProcess, RetentionAtStartDeletesOnlyOwnNamedSnapshotsAndHitLogs) {
    Sandbox box;
    const std::string root = box.Root() + "/web";
    ::mkdir(root.c_str(), 0700);
    ::mkdir((root + "/logpic").c_str(), 0700);
    const std::string mib(700 * 1024, 'x');
    for (const char* name : {"2026-01-01-00-00-00.jpg", "2026-01-01-00-00-01.jpg", "2026-01-01-00-00-02.jpg"})
        WriteFile(root + "/logpic/" + name, mib);
    WriteFile(root + "/logpic/holiday.jpg", mib + mib);
    WriteFile(root + "/index.html", "mine");
    WriteFile(box.Root() + "/ Log 20200101.hsl", "old");
    WriteFile(box.Root() + "/ Log 20200101.hsl.keep", "mine");
    box.WriteSettings("\"strRoot\"=\"" + root + "\"\n\"LogPicMaxMB\"=dword:00000001\n\"HitLogKeepDays\"=dword:00000001\n");
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         std::ifstream(root + "/logpic/2026-01-01-00-00-01.jpg").good() && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(20ms);
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_FALSE(std::ifstream(root + "/logpic/2026-01-01-00-00-00.jpg").good());
    EXPECT_FALSE(std::ifstream(root + "/logpic/2026-01-01-00-00-01.jpg").good());
    EXPECT_TRUE(std::ifstream(root + "/logpic/2026-01-01-00-00-02.jpg").good()) << "within 1 MiB";
    EXPECT_EQ(ReadFile(root + "/logpic/holiday.jpg").size(), 2 * mib.size()) << "not ours: kept, not counted";
    EXPECT_EQ(ReadFile(root + "/index.html"), "mine") << "a root with files is not written into";
    EXPECT_FALSE(std::ifstream(box.Root() + "/ Log 20200101.hsl").good());
    EXPECT_EQ(ReadFile(box.Root() + "/ Log 20200101.hsl.keep"), "mine");
}

TEST(KestrelProcess, StartThatCannotTakeTheInstanceLockSaysWhyAndExitsOne) {
    Sandbox box;
    // A file where the settings folder belongs: neither the lock nor the settings can live there.
    ASSERT_EQ(::unlink(box.SettingsPath().c_str()), 0);
    ASSERT_EQ(::rmdir(box.ConfigFolder().c_str()), 0);
    WriteFile(box.ConfigFolder(), "not a folder");
    KestrelProcess kestrel(box, "stderr.txt");
    ASSERT_TRUE(kestrel.WaitForExit(5000ms));
    ASSERT_TRUE(kestrel.ExitedNormally());
    EXPECT_EQ(kestrel.ExitStatus(), 1);
    EXPECT_NE(kestrel.Stderr().find("cannot open the instance lock"), std::string::npos) << kestrel.Stderr();
    EXPECT_EQ(ReadFile(box.ConfigFolder()), "not a folder");
}

TEST(KestrelProcess, HandEditedValuesSurviveTheNextExit) {
    Sandbox box;
    box.WriteSettings("\"CaptureDevice\"=dword:00000000\n\"MyNote\"=\"kept\"\n");
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_TRUE(k.ExitedNormally());
    std::string text = ReadFile(box.SettingsPath());
    EXPECT_NE(text.find(PortValue(box)), std::string::npos) << text;
    EXPECT_NE(text.find("\"CaptureDevice\"=dword:00000000"), std::string::npos) << text;
    EXPECT_NE(text.find("\"MyNote\"=\"kept\""), std::string::npos) << text;
}

TEST(KestrelProcess, ValueOfAnotherTypeIsWarnedAboutOnStandardError) {
    Sandbox box;
    box.WriteSettings("\"CaptureDevice\"=\"0001\"\n");
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    std::string err = k.Stderr();
    EXPECT_NE(err.find("kestrel: settings value \"CaptureDevice\""), std::string::npos) << err;
    EXPECT_NE(err.find("dword:"), std::string::npos) << err;
    // Five bytes do not fit an integer: the default is used and written back as a number.
    EXPECT_NE(ReadFile(box.SettingsPath()).find("\"CaptureDevice\"=dword:ffffffff"), std::string::npos);
}

TEST(KestrelProcess, DamagedFileIsKeptAsBadAndSaid) {
    Sandbox box;
    const std::string damaged =
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n" + PortLine(box.Port());
    WriteFile(box.SettingsPath(), damaged);
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_TRUE(k.ExitedNormally());
    EXPECT_NE(k.Stderr().find("kestrel: The settings file " + box.SettingsPath() + " is damaged"),
              std::string::npos)
        << k.Stderr();
    EXPECT_EQ(ReadFile(box.SettingsPath() + ".bad"), damaged);
    std::string text = ReadFile(box.SettingsPath());
    EXPECT_EQ(text.rfind(kSettingsHeader, 0), 0u);
    EXPECT_NE(text.find(PortValue(box)), std::string::npos);
}

TEST(KestrelProcess, SaveThatFailsIsSaidWithThePathAndTheReason) {
    Sandbox box;
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    // Once the settings are read, a folder takes the file's place.
    ASSERT_EQ(::unlink(box.SettingsPath().c_str()), 0);
    ASSERT_EQ(::mkdir(box.SettingsPath().c_str(), 0700), 0);
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_TRUE(k.ExitedNormally());
    std::string err = k.Stderr();
    EXPECT_NE(
        err.find("kestrel: The settings could not be saved to " + box.SettingsPath() + ": Is a directory"),
        std::string::npos)
        << err;
    struct stat st {};
    ASSERT_EQ(::stat(box.SettingsPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(KestrelProcess, UnreachableDisplayFallsBackToHeadless) {
    Sandbox box;
    KestrelProcess k(box, "stderr.txt", {"DISPLAY=:97"}); // no X server there
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_TRUE(k.ExitedNormally()) << k.Stderr();
    EXPECT_EQ(k.ExitStatus(), 0);
    EXPECT_TRUE(std::ifstream(box.SettingsPath()).good());
}

namespace {

// Below the range outgoing connections are given: another test's client cannot take it
// before the program listens.
unsigned FreeLoopbackPort() {
    return kestrel::testing::ServerTestPort();
}

// A connected loopback socket with a receive time-out, or -1.
int ConnectTo(unsigned port) { return kestrel::test::ConnectLoopback(port, timeval{5, 0}); }

} // namespace

TEST(KestrelProcess, TerminationWithStreamsOpenEndsThemAndExits) {
    Sandbox box;
    const unsigned port = FreeLoopbackPort();
    char value[16];
    std::snprintf(value, sizeof value, "%08x", port);
    ::mkdir((box.Root() + "/web").c_str(), 0700);
    WriteFile(box.SettingsPath(), kSettingsHeader + "\"uPort\"=dword:" + value + "\n\"strRoot\"=\"" +
                                      box.Root() + "/web\"\n\"CaptureDevice\"=dword:00000000\n");
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    std::vector<int> streams;
    for (int i = 0; i < 3; ++i) {
        int fd = -1;
        for (int attempt = 0; attempt < 200 && fd < 0; ++attempt) {
            fd = ConnectTo(port);
            if (fd < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        ASSERT_GE(fd, 0) << k.Stderr();
        const std::string request = "GET /stream.mjpg HTTP/1.0\r\n\r\n";
        ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        // Up to the first picture's headers.
        std::string in;
        char buf[4096];
        while (in.find("Content-Length: ") == std::string::npos) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            ASSERT_GT(n, 0) << in;
            in.append(buf, static_cast<std::size_t>(n));
        }
        EXPECT_EQ(in.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << in;
        streams.push_back(fd);
    }
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit()) << "no exit with streams open";
    EXPECT_TRUE(k.ExitedNormally()) << k.Stderr();
    // Every stream ends: the socket reaches its end instead of waiting for more pictures.
    for (int fd : streams) {
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
        }
        EXPECT_TRUE(n == 0 || errno == ECONNRESET) << "still open: " << std::strerror(errno);
        ::close(fd);
    }
    const std::string text = ReadFile(box.SettingsPath());
    for (const char* line : {"\"StreamEnabled\"=dword:00000001", "\"StreamMaxFps\"=dword:0000000a",
                             "\"StreamMaxClients\"=dword:00000020"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST(KestrelProcess, HangUpAndInterruptIgnoredAtStartAsUnderNohupAreNotObeyed) {
    Sandbox box;
    KestrelProcess k(box, "stderr.txt", {}, {}, {}, {SIGHUP, SIGINT});
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    const std::string before = ReadFile(box.SettingsPath());
    k.Signal(SIGHUP);
    k.Signal(SIGINT);
    EXPECT_FALSE(k.WaitForExit(1500ms)) << "a logout ended a program started with the hang-up ignored";
    EXPECT_EQ(ReadFile(box.SettingsPath()), before);
    // A termination request is always honoured.
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_TRUE(k.ExitedNormally()) << k.Stderr();
    EXPECT_EQ(k.ExitStatus(), 0);
    EXPECT_NE(ReadFile(box.SettingsPath()), before);
}

TEST(KestrelProcess, SettingsFileThatIsASymbolicLinkIsSavedThroughTheLink) {
    Sandbox box;
    const std::string target = box.Root() + "/home/dotfiles-Kestrels.reg";
    ASSERT_EQ(::rename(box.SettingsPath().c_str(), target.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), box.SettingsPath().c_str()), 0);
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_TRUE(k.ExitedNormally()) << k.Stderr();
    struct stat st {};
    ASSERT_EQ(::lstat(box.SettingsPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a plain file";
    const std::string text = ReadFile(target);
    EXPECT_NE(text.find(PortValue(box)), std::string::npos) << text;
    EXPECT_NE(text.find("\"CaptureDevice\"=dword:ffffffff"), std::string::npos) << "the target was not saved";
}

// The viewer count a picture shows, end to end: ten viewers seen at once have all left 18 s
// later although no one asked for anything meanwhile.
TEST(KestrelProcess, ViewerCountOnThePictureFallsToZeroWithin18SecondsWithNoTraffic) {
    Sandbox box;
    // One caption with nothing but the viewer count, drawn on the camera-off picture, so
    // two pictures are the same exactly when their counts are. No hit log in the test's
    // working folder.
    box.WriteSettings("\"bLoggingOn\"=dword:00000000\n"
                      "\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\caption0]\n"
                      "\"Enabled\"=dword:00000001\n\"Text\"=\"%G\"\n");
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    std::string none;
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         none.empty() && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms))
        none = GetFrom("127.0.0.2", box.Port(), "/frame.jpg");
    ASSERT_FALSE(none.empty()) << k.Stderr();
    for (int i = 11; i <= 20; ++i)
        ASSERT_FALSE(GetFrom("127.0.0." + std::to_string(i), box.Port(), "/frame.jpg").empty()) << i;
    const auto seen = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(300ms);
    const std::string many = GetFrom("127.0.0.21", box.Port(), "/frame.jpg");
    EXPECT_NE(many, none) << "eleven viewers look like none";
    std::this_thread::sleep_until(seen + 18s);
    const std::string later = GetFrom("127.0.0.22", box.Port(), "/frame.jpg");
    EXPECT_EQ(later, none) << "viewers still counted 18 s after their last request";
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_TRUE(k.ExitedNormally());
}
