// Picture password guessing: the lockout rules on a fake clock, the server answering a
// locked-out client, and the fail2ban filter against the lines the real program writes.

#include "server/PasswordLockout.h"
#include "ServerTestSupport.h"
#include "support/KestrelProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

using namespace kestrel;
using namespace std::chrono_literals;
using Clock = PasswordLockout::Clock;

namespace {

TEST(PasswordLockoutRules, FiveDistinctWrongValuesWithinTenMinutesLockForAMinute) {
    PasswordLockout lockout;
    const Clock::time_point t0{};
    // The password page asking again every second with the same typo is one try.
    for (int i = 0; i < 50; ++i)
        EXPECT_FALSE(lockout.WrongTry("192.0.2.1", "typo", t0 + i * 1s));
    // Values spread over more than the window never add up to five.
    for (int i = 0; i < 8; ++i)
        EXPECT_FALSE(lockout.WrongTry("192.0.2.2", "v" + std::to_string(i), t0 + i * 3min));
    EXPECT_FALSE(lockout.Locked("192.0.2.2", t0 + 22min));
    // Five distinct values within ten minutes.
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(lockout.WrongTry("192.0.2.3", "g" + std::to_string(i), t0 + i * 2min));
    auto locked = lockout.WrongTry("192.0.2.3", "g4", t0 + 9min);
    ASSERT_TRUE(locked);
    EXPECT_EQ(locked->tries, 5u);
    EXPECT_EQ(locked->seconds, 60);
    EXPECT_TRUE(lockout.Locked("192.0.2.3", t0 + 9min + 59s));
    EXPECT_FALSE(lockout.Locked("192.0.2.3", t0 + 10min));
    EXPECT_FALSE(lockout.Locked("192.0.2.1", t0 + 9min));
}

TEST(PasswordLockoutRules, RepeatsDoubleUpToAnHourAndADayOfQuietForgets) {
    PasswordLockout lockout;
    Clock::time_point now{};
    int n = 0;
    auto lockOnce = [&] {
        std::optional<PasswordLockout::Lockout> result;
        for (int i = 0; i < 5; ++i) {
            result = lockout.WrongTry("2001:db8::/64", "x" + std::to_string(n++), now);
            now += 1s;
        }
        if (result)
            now += std::chrono::seconds(result->seconds);
        return result ? result->seconds : 0;
    };
    for (std::int64_t expected : {60, 120, 240, 480, 960, 1920, 3600, 3600})
        EXPECT_EQ(lockOnce(), expected);
    now += 22h; // after the hour of the last lockout
    EXPECT_EQ(lockOnce(), 3600) << "23 hours of quiet are not enough to be forgotten";
    now += 23h + 1s; // a day after the last try
    EXPECT_EQ(lockOnce(), 60);
}

TEST(PasswordLockoutRules, TheTableForgetsTheOldestAddressFirst) {
    PasswordLockout::Limits limits;
    limits.maxAddresses = 3;
    PasswordLockout lockout(limits);
    const Clock::time_point t0{};
    for (const char* key : {"a", "b", "c"})
        for (int i = 0; i < 4; ++i)
            lockout.WrongTry(key, std::to_string(i), t0);
    lockout.WrongTry("d", "0", t0 + 1s); // "a" goes
    EXPECT_EQ(lockout.AddressCount(), 3u);
    EXPECT_FALSE(lockout.WrongTry("a", "4", t0 + 2s)); // starts afresh ("b" goes)
    EXPECT_TRUE(lockout.WrongTry("c", "4", t0 + 2s));
}

TEST(PasswordLockoutRules, ConstantTimeComparisonIsStillAComparison) {
    EXPECT_TRUE(EqualInConstantTime("secret", "secret"));
    EXPECT_TRUE(EqualInConstantTime("", ""));
    for (const char* offered : {"", "secre", "secret!", "Secret", "secreT", "secretsecret", "s"})
        EXPECT_FALSE(EqualInConstantTime(offered, "secret")) << offered;
    EXPECT_FALSE(EqualInConstantTime("x", ""));
}

// A client of the harness's server from a chosen loopback address.
std::string GetFrom(const char* source, unsigned port, const std::string& path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    std::string answer;
    std::size_t sent = 0;
    test::PumpUntil([&] {
        if (sent < request.size()) {
            ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
        }
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0)
            answer.append(buf, static_cast<std::size_t>(n));
        return n == 0;
    });
    ::close(fd);
    return test::ParseResponse(answer).body;
}

TEST(PasswordLockoutServer, ALockedOutAddressGetsTheRefusedPictureEvenWithThePassword) {
    test::ServerHarness h;
    ASSERT_TRUE(h.Start());
    test::WriteFile(h.Root() + "/pass.jpg", "PASSPICTURE");
    h.password = "pw";
    h.settings.StreamEnabled = 1;
    const unsigned port = h.Port();
    EXPECT_EQ(GetFrom("127.0.0.1", port, "/frame.jpg?1&picid=pw"), h.frameBytes);
    // Tries without a password, and the same wrong one again and again, are no guesses.
    for (int i = 0; i < 6; ++i) {
        GetFrom("127.0.0.1", port, "/frame.jpg?" + std::to_string(i));
        GetFrom("127.0.0.1", port, "/frame.jpg?" + std::to_string(i) + "&picid=typo");
    }
    EXPECT_EQ(GetFrom("127.0.0.1", port, "/frame.jpg?9&picid=pw"), h.frameBytes);
    ::testing::internal::CaptureStderr();
    for (const char* guess : {"a", "b", "c", "d"})
        EXPECT_EQ(GetFrom("127.0.0.1", port, std::string("/stream.mjpg?1&picid=") + guess), "PASSPICTURE");
    EXPECT_EQ(GetFrom("127.0.0.1", port, "/frame.jpg?1&picid=%2e"), "PASSPICTURE");
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "kestrel: password lockout: 127.0.0.1 after 5 wrong tries, 60 s\n");
    // Locked: the password itself is refused, on the picture and on the stream...
    EXPECT_EQ(GetFrom("127.0.0.1", port, "/frame.jpg?2&picid=pw"), "PASSPICTURE");
    EXPECT_EQ(GetFrom("127.0.0.1", port, "/stream.mjpg?2&picid=pw"), "PASSPICTURE");
    // ...and another address is not touched.
    EXPECT_EQ(GetFrom("127.0.0.2", port, "/frame.jpg?2&picid=pw"), h.frameBytes);
}

// The filter shipped for fail2ban, against the lines the real program writes when it
// locks a client out: as they are on standard error, and as fail2ban's journal backend
// hands them to the filter ("host identifier[pid]: message").
TEST(PasswordLockoutProcess, Fail2banFilterMatchesTheLockoutLinesAndNothingElse) {
    ASSERT_EQ(::access("/usr/bin/fail2ban-regex", X_OK), 0)
        << "fail2ban-regex is needed (scripts/install-deps.sh)";
    kestrel::testing::Sandbox box;
    const std::string root = box.Root() + "/site";
    ::mkdir(root.c_str(), 0755);
    box.WriteSettings("\"strRoot\"=\"" + root + "\"\n\"PicPass\"=\"right\"\n");
    kestrel::testing::KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    for (int i = 0; i < 5; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(box.Port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // The program may hold its lock a moment before it listens.
        bool connected = false;
        for (int wait = 0; wait < 250 && !connected; ++wait) {
            connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            if (!connected)
                std::this_thread::sleep_for(20ms);
        }
        ASSERT_TRUE(connected);
        const std::string request = "GET /frame.jpg?1&picid=guess" + std::to_string(i) + " HTTP/1.0\r\n\r\n";
        (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[4096];
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }
        ::close(fd);
    }
    std::string said;
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < deadline;) {
        said = k.Stderr();
        if (said.find("password lockout") != std::string::npos)
            break;
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(said.find("kestrel: password lockout: 127.0.0.1 after 5 wrong tries, 60 s\n"),
              std::string::npos)
        << said;
    // The program's other lines, too, go through the filter: only the lockout may match.
    std::string journal;
    int lines = 0;
    for (std::size_t at = 0; at < said.size();) {
        std::size_t end = said.find('\n', at);
        journal += "cam kestrel[" + std::to_string(k.Pid()) + "]: " + said.substr(at, end - at) + "\n";
        ++lines;
        at = end == std::string::npos ? said.size() : end + 1;
    }
    ASSERT_GT(lines, 1) << "the start line is missing: " << said;
    // The filter reads fail2ban's common definitions from beside it, as in /etc/fail2ban.
    const std::string filters = box.Root() + "/filter.d";
    ::mkdir(filters.c_str(), 0755);
    ASSERT_EQ(::symlink("/etc/fail2ban/filter.d/common.conf", (filters + "/common.conf").c_str()), 0);
    kestrel::testing::WriteFile(
        filters + "/kestrel.conf",
        kestrel::testing::ReadFile(std::string(KESTREL_SOURCE_DIR) + "/packaging/fail2ban/kestrel.conf"));
    kestrel::testing::WriteFile(box.Root() + "/journal.txt", journal);
    // "-o ip": the address of each matching line, one a line.
    for (const char* name : {"stderr.txt", "journal.txt"}) {
        const std::string command =
            "/usr/bin/fail2ban-regex -o ip " + box.Root() + "/" + name + " " + filters + "/kestrel.conf 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buf[4096];
        while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe))
            out.append(buf, n);
        EXPECT_EQ(::pclose(pipe), 0) << out;
        EXPECT_EQ(out, "127.0.0.1\n") << name;
    }
}

} // namespace
