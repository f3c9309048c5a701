// Start-up with the public address lookup, headless, against a loopback directory server.

#include "app/Composition.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "directory/DirectoryClient.h"
#include "publish/StarterSite.h"

#include "support/FakeDirectoryServer.h"
#include "support/LoopbackSocket.h"
#include "support/RecordingMessageBox.h"
#include "support/TestPorts.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;

namespace {

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class HeadlessStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        config = dir.path().toStdString() + "/config";
        root = dir.path().toStdString() + "/WebPages";
        ASSERT_EQ(LayStarterSite(root).error, 0);
        std::filesystem::create_directories(config);
    }
    // A port no other test is using, below the range outgoing connections are given, so
    // the connections of tests running meanwhile never take it before the program listens.
    static unsigned FreePort() {
        static const unsigned port = [] {
            const unsigned found = kestrel::testing::ServerTestPort();
            return found ? found : 18080u;
        }();
        return port;
    }
    static std::string PortHex() {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", FreePort());
        return buf;
    }
    static std::string Port() { return std::to_string(FreePort()); }
    void WriteSettings(const std::string& cgiServer, const std::string& globalIp = "") {
        std::ofstream out(config + "/Kestrels.reg");
        out << "Windows Registry Editor Version 5.00\n\n"
            << "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
            << "\"strRoot\"=\"" << root << "\"\n"
            << "\"uPort\"=dword:" << PortHex() << "\n"
            << "\"CGIServer\"=\"" << cgiServer << "\"\n"
            << "\"GlobalIP\"=\"" << globalIp << "\"\n";
    }
    // Starts the application headless, lets `whileRunning` act while the lookup may still be
    // out, turns the event loop until the lookup's reply is applied, and closes it again.
    void Start(const std::function<void(CMainApp&)>& whileRunning = {}) {
        AppEnvironment env;
        env.configFolder = config;
        auto box = std::make_unique<RecordingMessageBox>();
        box->onShow = [this](const ShownMessage& m) {
            // Whether a camera is present is not the business of these tests.
            if (m.text != kNoCaptureDeviceMessage)
                messages.push_back(m.text);
        };
        env.messageBox = std::move(box);
        env.makeView = [this]() -> std::unique_ptr<IMainView> {
            auto v = std::make_unique<HeadlessMainView>();
            view = v.get();
            return v;
        };
        env.hostNameSource = [](char* buf, size_t n) {
            std::snprintf(buf, n, "camhost");
            return 0;
        };
        CMainApp app(std::move(env));
        ASSERT_TRUE(app.InitInstance());
        if (whileRunning)
            whileRunning(app);
        auto pending = [&app] { return app.Parts() && app.Parts()->AddressLookupPending(); };
        for (QDeadlineTimer end(45000); pending() && !end.hasExpired();)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        lookupDone = !pending();
        if (!app.Parts())
            return;
        addressLine = view->ControlText(IDC_ADDRESS);
        publicAddress = app.PublicAddress;
        strServer = app.Parts()->Settings().server.strServer;
        app.ExitMainFrame();
    }

    QTemporaryDir dir;
    std::string config, root;
    std::vector<std::string> messages;
    HeadlessMainView* view = nullptr;
    std::string addressLine, publicAddress, strServer;
    bool lookupDone = false;
};

// A directory server that takes connections and never says a word.
class SilentDirectoryServer {
public:
    SilentDirectoryServer() : m_fd(ListenOnLoopback(m_port, 4)) {}
    ~SilentDirectoryServer() { ::close(m_fd); }
    std::string Host() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    int m_fd;
    unsigned m_port;
};

// One GET on a thread of its own while this thread turns the event loop (the server lives
// on it); the whole answer, empty when none came within 10 s.
std::string GetWhileServing(unsigned port, const std::string& path) {
    std::atomic<bool> done{false};
    std::string answer;
    std::thread client([&] {
        const int fd = ConnectLoopback(port, timeval{10, 0});
        if (fd >= 0) {
            const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            char buf[4096];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
                answer.append(buf, static_cast<size_t>(n));
            ::close(fd);
        }
        done = true;
    });
    for (QDeadlineTimer end(15000); !done && !end.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    client.join();
    return answer;
}

TEST_F(HeadlessStartTest, NoDirectoryServerStillWritesPages) {
    WriteSettings("");
    const std::string starterIndex = Read(root + "/index.html");
    Start();
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(publicAddress.empty());
    EXPECT_TRUE(addressLine.empty());
    const std::string index = Read(root + "/index.html");
    EXPECT_NE(index, starterIndex);
    EXPECT_NE(index.find("http://camhost:" + Port() + "/frame.jpg"), std::string::npos);
    EXPECT_EQ(Read(root + "/kestrel.dat"), "," + Port() + ",,1,,\r\n");
}

TEST_F(HeadlessStartTest, SilentDirectoryServerHoldsNothingUp) {
    SilentDirectoryServer silent;
    WriteSettings(silent.Host());
    bool pendingWhileServed = false;
    std::string answer;
    Start([&](CMainApp& app) {
        answer = GetWhileServing(FreePort(), "/index.html");
        pendingWhileServed = app.Parts()->AddressLookupPending();
        // Closing now gives the lookup up: the loop below ends at once.
        app.ExitMainFrame();
    });
    EXPECT_TRUE(pendingWhileServed);
    EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << answer.substr(0, 200);
    // The pages were written at start with the host name, before any reply.
    EXPECT_NE(Read(root + "/index.html").find("http://camhost:" + Port() + "/frame.jpg"), std::string::npos);
    EXPECT_TRUE(messages.empty());
}

TEST(DirectoryExchangeCancel, GivingUpEndsAnExchangeTheServerNeverAnswers) {
    SilentDirectoryServer silent;
    std::atomic<bool> cancel{false};
    std::thread giveUp([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancel = true;
    });
    // Without the cancel the exchange would end at its 30 s limit as a transport failure.
    DirectoryReply reply = DirectoryExchange(silent.Host(), "POST", "/", "x", kMaxReplyBytes, &cancel);
    giveUp.join();
    EXPECT_EQ(reply.status, DirectoryReply::Status::Cancelled);
}

TEST_F(HeadlessStartTest, FoundAddressGoesIntoPagesAndSettings) {
    FakeDirectoryServer server("OK 203.0.113.7\r\n");
    WriteSettings(server.Host());
    Start();
    EXPECT_TRUE(lookupDone);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(publicAddress, "203.0.113.7");
    EXPECT_EQ(addressLine, "203.0.113.7");
    EXPECT_EQ(strServer, "203.0.113.7");
    for (const char* page : {"index.html", "index1.html", "index4.html", "chattv.html"})
        EXPECT_NE(Read(root + "/" + page).find("http://203.0.113.7:" + Port() + "/frame.jpg"),
                  std::string::npos)
            << page;
    EXPECT_EQ(Read(root + "/kestrel.dat").rfind("203.0.113.7," + Port() + ",", 0), 0u);
    EXPECT_NE(Read(config + "/Kestrels.reg").find("\"IPAddr\"=\"203.0.113.7\""), std::string::npos);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(HeadlessStartTest, RefusedLookupShowsReplyAndPagesStillWritten) {
    FakeDirectoryServer server("ERROR bad password");
    WriteSettings(server.Host());
    Start();
    EXPECT_EQ(messages, std::vector<std::string>{"ERROR bad password"});
    EXPECT_TRUE(publicAddress.empty());
    EXPECT_NE(Read(root + "/index.html").find("http://camhost:" + Port() + "/frame.jpg"), std::string::npos);
}

TEST_F(HeadlessStartTest, GlobalIpWinsInPagesOnly) {
    FakeDirectoryServer server("OK 203.0.113.7");
    WriteSettings(server.Host(), "2001:db8::5");
    Start();
    EXPECT_EQ(publicAddress, "203.0.113.7");
    EXPECT_EQ(strServer, "203.0.113.7");
    EXPECT_NE(Read(root + "/index.html").find("http://[2001:db8::5]:" + Port() + "/frame.jpg"),
              std::string::npos);
    EXPECT_EQ(Read(root + "/kestrel.dat").rfind("2001:db8::5," + Port() + ",", 0), 0u);
    EXPECT_NE(Read(config + "/Kestrels.reg").find("\"IPAddr\"=\"203.0.113.7\""), std::string::npos);
}

TEST_F(HeadlessStartTest, GlobalIpThatIsNoAddressIsIgnoredSaidOnceAndKept) {
    FakeDirectoryServer server("OK 203.0.113.7");
    const std::string stored = "1.2.3.4\\\"><script>alert(1)</script>";
    WriteSettings(server.Host(), stored);
    Start();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("GlobalIP"), std::string::npos) << messages[0];
    for (const char* page : {"index.html", "index3.html", "chattv.html", "kestrel.dat"}) {
        const std::string text = Read(root + "/" + page);
        EXPECT_EQ(text.find("<script>alert"), std::string::npos) << page;
    }
    EXPECT_NE(Read(root + "/index.html").find("http://203.0.113.7:" + Port() + "/frame.jpg"),
              std::string::npos);
    EXPECT_EQ(Read(root + "/kestrel.dat").rfind("203.0.113.7," + Port() + ",", 0), 0u);
    // The owner's stored value is not lost by the run.
    EXPECT_NE(Read(config + "/Kestrels.reg").find("<script>alert(1)</script>"), std::string::npos);
}

} // namespace
