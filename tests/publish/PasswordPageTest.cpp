// The starter site's script pages asking for the protected picture, run in a real browser
// (headless Chromium) against a loopback server that keeps what the page asked for: the
// server's own password rule must let every such request through.

#include "publish/PageGenerator.h"
#include "publish/StarterSite.h"
#include "server/UrlMapping.h"

#include "TestSupport.h"
#include "support/LoopbackHttpServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
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

// Serves the pages of a folder over loopback; picture requests get "404 Not Found" and
// their raw targets are kept.
class PageServer {
public:
    explicit PageServer(std::string root)
        : m_root(std::move(root)), m_server([this](const std::string& request) { return Answer(request); }) {}
    unsigned Port() const { return m_server.Port(); }
    std::vector<std::string> PictureTargets() {
        std::vector<std::string> pictures;
        for (const std::string& request : m_server.Requests())
            if (const std::string target = LoopbackHttpServer::Target(request);
                target.rfind("/frame.jpg", 0) == 0)
                pictures.push_back(target);
        return pictures;
    }

private:
    std::string Answer(const std::string& request) const {
        const std::string target = LoopbackHttpServer::Target(request);
        if (target.find("..") == std::string::npos && Exists(m_root + target) && target.size() > 5 &&
            target.compare(target.size() - 5, 5, ".html") == 0) {
            const std::string page = ReadFile(m_root + target);
            return "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                   std::to_string(page.size()) + "\r\n\r\n" + page;
        }
        return "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    }

    std::string m_root;
    LoopbackHttpServer m_server; // last: its thread stops before the root goes
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
        ASSERT_TRUE(box.texts.empty()) << box.texts[0];
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
