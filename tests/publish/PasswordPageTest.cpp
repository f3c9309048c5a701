// The starter site's script pages asking for the protected picture, run in a real browser
// (headless Chromium) against a loopback server that keeps what the page asked for: the
// server's own password rule must let every such request through.

#include "publish/PageGenerator.h"
#include "publish/StarterSite.h"
#include "server/HttpParse.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;

namespace {

// A password with every character that has a meaning in a URL, and a non-ASCII one.
const std::string kPassword = "a#b&c %d+\xC3\xA9?/";

std::string PercentEncodeAll(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

// Serves the files of a folder over loopback and keeps the raw target of every picture request.
class PageServer {
public:
    explicit PageServer(std::string root) : m_root(std::move(root)) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_fd, 16);
        socklen_t len = sizeof a;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~PageServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    unsigned Port() const { return m_port; }
    std::vector<std::string> PictureTargets() {
        std::lock_guard lock(m_mutex);
        return m_pictures;
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
            Answer(c);
            ::close(c);
        }
    }
    void Answer(int c) {
        std::string head;
        char buf[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                return;
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            head.append(buf, static_cast<size_t>(n));
        }
        const size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
        const std::string target = head.substr(sp1 + 1, sp2 - sp1 - 1);
        std::string response = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
        if (target.rfind("/frame.jpg", 0) == 0) {
            std::lock_guard lock(m_mutex);
            m_pictures.push_back(target);
        } else if (target.find("..") == std::string::npos && Exists(m_root + target) && target.size() > 5 &&
                   target.compare(target.size() - 5, 5, ".html") == 0) {
            const std::string page = ReadFile(m_root + target);
            response = "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                       std::to_string(page.size()) + "\r\n\r\n" + page;
        }
        for (size_t sent = 0; sent < response.size();) {
            const ssize_t n = ::send(c, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
    }

    std::string m_root;
    int m_fd = -1;
    unsigned m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_pictures;
};

std::string Browser() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (::access(path, X_OK) == 0)
            return path;
    return {};
}

// Loads `url` in headless Chromium, letting the page's timers run for a few seconds.
bool RunBrowser(const std::string& browser, const std::string& url, const std::string& profile) {
    std::vector<std::string> args = {browser,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--user-data-dir=" + profile,
                                     "--virtual-time-budget=4000",
                                     "--dump-dom",
                                     url};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, browser.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;
    int status = 0;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);;) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status);
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

struct PageCase {
    int templateChoice;
    const char* page;
    const char* templ;
};

} // namespace

TEST(PasswordPages, PictureRequestsCarryAPasswordWithUrlCharactersIntact) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString() + "/site";
    ASSERT_EQ(LayStarterSite(root).error, 0);
    const std::string browser = Browser();
    for (const PageCase& c :
         {PageCase{0, "sub.html", "js2_pass_t.html"}, PageCase{1, "sub.html", "js2_ext_pass_t.html"},
          PageCase{0, "chatsub.html", "chat2_pass_t.html"}}) {
        SCOPED_TRACE(c.templ);
        RecordingMessageBox box;
        PageInputs in;
        in.webRoot = root;
        in.port = 8080;
        in.pageAddress = "127.0.0.1";
        in.picturePassword = true;
        in.html.Template = c.templateChoice;
        PageGenerator(box).GeneratePages(in);
        ASSERT_TRUE(box.messages.empty()) << box.messages[0];
        if (browser.empty()) {
            // Without a browser: the page's script encodes the password where it builds the URL.
            const std::string page = ReadFile(root + "/" + c.page);
            EXPECT_NE(page.find("\"&picid=\" + encodeURIComponent(password)"), std::string::npos);
            continue;
        }
        PageServer server(root);
        QTemporaryDir profile;
        // The password arrives as the input page hands it on: in the address's fragment.
        const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/" + c.page + "#" +
                                PercentEncodeAll(kPassword);
        ASSERT_TRUE(RunBrowser(browser, url, profile.path().toStdString()));
        const std::vector<std::string> targets = server.PictureTargets();
        ASSERT_FALSE(targets.empty()) << "the page asked for no picture";
        for (const std::string& target : targets) {
            bool passed = false;
            EXPECT_EQ(ApplyPicturePassword(target, kPassword, &passed), "/frame.jpg") << target;
            EXPECT_TRUE(passed) << target;
        }
    }
}
