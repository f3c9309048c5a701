// The whole program without a display: the main frame starts the server, checks the web
// root, answers requests, logs them at idle time and shows the viewers.

#include "ServerTestSupport.h"

#include "app/Composition.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "server/HitLog.h"
#include "server/HitLogText.h"
#include "server/WebServer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

TEST(MainFrameServer, HeadlessProgramServesLogsAndCountsViewers) {
    TempFolder home;
    const std::string config = home.Path() + "/config";
    MakeFolder(config);
    const unsigned port = FreePort();
    char portHex[16];
    std::snprintf(portHex, sizeof portHex, "%08x", port);
    // No stored root: the default "WebPages" in the home folder, missing, is created.
    WriteFile(config + "/Kestrels.reg", std::string("Windows Registry Editor Version 5.00\r\n\r\n"
                                                    "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\r\n"
                                                    "\"TrustedProxies\"=\"127.0.0.1\"\r\n"
                                                    "\"uPort\"=dword:") +
                                            portHex + "\r\n");
    std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    char oldCwd[PATH_MAX];
    ASSERT_TRUE(::getcwd(oldCwd, sizeof oldCwd));
    ::setenv("HOME", home.Path().c_str(), 1);
    ASSERT_EQ(::chdir(home.Path().c_str()), 0); // the hit log goes to the working folder

    {
        AppEnvironment env;
        env.configFolder = config;
        env.makeView = [] { return std::make_unique<HeadlessMainView>(); };
        auto box = std::make_unique<RecordingMessageBox>();
        env.messageBox = std::move(box);
        env.hostNameSource = [](char* b, size_t n) {
            std::snprintf(b, n, "camhost");
            return 0;
        };
        CMainApp app(std::move(env));
        ASSERT_TRUE(app.InitInstance());
        CMainFrame* frame = app.MainFrame();
        ASSERT_NE(frame, nullptr);
        Composition& parts = *app.Parts();
        EXPECT_TRUE(parts.WebServer().IsListening());
        const std::string root = home.Path() + "/WebPages";
        EXPECT_EQ(parts.Settings().server.strRoot, root);
        EXPECT_EQ(app.View().ControlText(IDC_UPTIME), " 00h 00m");

        WriteFile(root + "/index.html", "<p>cam</p>");
        int composed = 0;
        parts.ComposeFrameHook = [&] {
            ++composed;
            WriteFile(root + "/frame.jpg", SmallJpeg(0x0000ff));
        };
        Response r = Fetch(port, "GET / HTTP/1.0\r\nHost: cam.example:" + std::to_string(port) + "\r\n\r\n");
        EXPECT_EQ(r.Header("location"), "/index.html");
        r = Fetch(port, "GET /index.html HTTP/1.0\r\n\r\n");
        EXPECT_EQ(r.body, "<p>cam</p>");
        r = Fetch(port, "GET /frame.jpg?&picid= HTTP/1.0\r\n\r\n");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(composed, 1);
        // Through the trusted proxy (this host): the client it forwards is a viewer of its own.
        r = Fetch(port, "GET /index.html HTTP/1.0\r\nX-Forwarded-For: 198.51.100.9\r\n\r\n");
        EXPECT_EQ(r.status, 200);

        // Idle time writes the lines and shows the viewers.
        const std::string log = home.Path() + "/" + HitLogFileName(std::time(nullptr));
        EXPECT_TRUE(PumpUntil([&] {
            std::string text = ReadFile(log);
            return text.find("/frame.jpg") != std::string::npos;
        }));
        std::string text = ReadFile(log);
        EXPECT_EQ(text.rfind("Hit Log for ", 0), 0u);
        EXPECT_NE(text.find(" 302  \t127.0.0.1\t"), std::string::npos);
        EXPECT_NE(text.find(" 200  \t127.0.0.1\t"), std::string::npos);
        EXPECT_TRUE(
            PumpUntil([&] { return ReadFile(log).find(" 200  \t198.51.100.9\t") != std::string::npos; }));
        EXPECT_EQ(text.find("picid"), std::string::npos); // the password never reaches the log
        EXPECT_TRUE(PumpUntil([&] { return app.View().ControlText(IDC_VIEWER_COUNT) == "  2"; }));
        EXPECT_EQ(app.View().ViewerListItems(), (std::vector<std::string>{"127.0.0.1", "198.51.100.9"}));
        EXPECT_EQ(parts.HitTracker().ViewerCount(), 2);

        // Stop, then start again.
        frame->StopServer();
        parts.UpdateUptimeDisplay();
        EXPECT_EQ(app.View().ControlText(IDC_UPTIME), " 00h 00m");
        EXPECT_FALSE(Fetch(port, "GET /index.html HTTP/1.0\r\n\r\n").received);
        EXPECT_TRUE(frame->StartServer());
        EXPECT_EQ(Fetch(port, "GET /index.html HTTP/1.0\r\n\r\n").status, 200);
        app.ExitMainFrame();
        EXPECT_FALSE(Fetch(port, "GET /index.html HTTP/1.0\r\n\r\n").received);
    }

    [[maybe_unused]] int rc = ::chdir(oldCwd);
    ::setenv("HOME", oldHome.c_str(), 1);
}

} // namespace
