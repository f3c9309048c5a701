// Start-up with the public address lookup, headless, against a loopback directory server.

#include "app/Composition.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "publish/StarterSite.h"

#include "support/FakeDirectoryServer.h"
#include "support/RecordingMessageBox.h"
#include "support/TestPorts.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

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
    // Starts the application headless and closes it again; returns what it showed.
    void Start() {
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
};

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

TEST_F(HeadlessStartTest, FoundAddressGoesIntoPagesAndSettings) {
    FakeDirectoryServer server("OK 203.0.113.7\r\n");
    WriteSettings(server.Host());
    Start();
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
