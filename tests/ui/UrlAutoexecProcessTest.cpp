// The real program with a display and UrlAutoexec 1: once the directory server has given
// the public address, "ＵＲＬ登録" opens once the start-up boxes are closed; a termination signal
// closes it as "ｷｬﾝｾﾙ" and the program ends normally with its settings saved.

#include "support/FakeDirectoryServer.h"
#include "support/KestrelProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

using namespace kestrel::testing;

namespace {

// Runs xdotool on `display` and returns what it printed.
std::string Xdotool(const std::string& display, const std::string& args) {
    std::string out;
    const std::string command = "DISPLAY=" + display + " xdotool " + args + " 2>/dev/null";
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[256];
        while (size_t n = std::fread(buf, 1, sizeof buf, p))
            out.append(buf, n);
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

// The visible windows whose title is exactly `title`.
std::vector<std::string> VisibleWindows(const std::string& display, const std::string& title) {
    std::vector<std::string> found;
    std::string ids = Xdotool(display, "search --onlyvisible --name .") + "\n";
    for (size_t start = 0, end; (end = ids.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string id = ids.substr(start, end - start);
        if (!id.empty() && Xdotool(display, "getwindowname " + id) == title)
            found.push_back(id);
    }
    return found;
}

// The first visible window whose title is exactly `title` ("" when none).
std::string VisibleWindow(const std::string& display, const std::string& title) {
    auto found = VisibleWindows(display, title);
    return found.empty() ? std::string() : found.front();
}

} // namespace

TEST(KestrelWithDisplay, UrlAutoexecOpensRegistrationAndASignalEndsItUnstored) {
    if (!PrivateDisplay::Available() || ::access("/usr/bin/xdotool", X_OK) != 0)
        GTEST_SKIP() << "Xvfb or xdotool is not installed";
    PrivateDisplay display;
    ASSERT_FALSE(display.Name().empty()) << "Xvfb did not start";
    kestrel::test::FakeDirectoryServer server("OK 1.2.3.4");
    Sandbox box;
    const std::string work = box.Root() + "/work";
    ::mkdir(work.c_str(), 0700);
    ::mkdir((box.Root() + "/web").c_str(), 0700);
    WriteFile(work + "/category.csv", "10,Animals\n20,Town\n");
    WriteFile(box.SettingsPath(),
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
              "\"CGIServer\"=\"" +
                  server.Host() +
                  "\"\n\"UrlAutoexec\"=dword:00000001\n\"UserID\"=\"taro\"\n"
                  "\"uPort\"=dword:00000000\n\"strRoot\"=\"" +
                  box.Root() + "/web\"\n");

    KestrelProcess k(box, "stderr.txt", {"DISPLAY=" + display.Name()}, {}, work);
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    // The start's own boxes (no capture device, missing page templates) are answered
    // until the registration dialog shows: it waits for them to close. The main window has
    // the boxes' title too and takes no notice of the key.
    std::string dialog;
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         dialog.empty() && std::chrono::steady_clock::now() < deadline && k.Running();) {
        dialog = VisibleWindow(display.Name(), "ＵＲＬ登録");
        if (!dialog.empty())
            break;
        for (const std::string& window : VisibleWindows(display.Name(), "Kestrel"))
            Xdotool(display.Name(), "windowfocus --sync " + window + " key Return");
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(dialog.empty()) << "no registration dialog; windows: "
                                 << Xdotool(display.Name(), "search --onlyvisible --name . getwindowname %@")
                                 << "; stderr: " << k.Stderr();
    ASSERT_EQ(server.Requests().size(), 1u); // the address lookup only: nothing was registered
    EXPECT_EQ(server.RequestLines()[0], "POST /system/kestrellink/kestrelipset.cgi? HTTP/1.1");

    // Typed into the first field, never stored.
    Xdotool(display.Name(), "windowfocus --sync " + dialog + " type zz");
    std::this_thread::sleep_for(200ms);
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit(20000ms)) << "still running after the signal";
    EXPECT_TRUE(k.ExitedNormally()) << k.Stderr();
    EXPECT_EQ(k.ExitStatus(), 0) << k.Stderr();
    const std::string settings = ReadFile(box.SettingsPath());
    EXPECT_NE(settings.find("\"UserID\"=\"taro\"\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("\"IPAddr\"=\"1.2.3.4\"\n"), std::string::npos) << settings;
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(KestrelWithoutDisplay, UrlAutoexecSaysOnceThatRegistrationNeedsADisplay) {
    kestrel::test::FakeDirectoryServer server("OK 1.2.3.4");
    Sandbox box;
    ::mkdir((box.Root() + "/web").c_str(), 0700);
    WriteFile(box.SettingsPath(),
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
              "\"CGIServer\"=\"" +
                  server.Host() +
                  "\"\n\"UrlAutoexec\"=dword:00000001\n"
                  "\"uPort\"=dword:00000000\n\"strRoot\"=\"" +
                  box.Root() + "/web\"\n");
    KestrelProcess k(box, "stderr.txt", {}, {}, box.Root());
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < deadline &&
         k.Stderr().find("needs a display") == std::string::npos;)
        std::this_thread::sleep_for(20ms);
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit());
    EXPECT_EQ(k.ExitStatus(), 0) << k.Stderr();
    const std::string err = k.Stderr();
    const std::string said = "kestrel: the URL registration needs a display; it was not opened\n";
    const size_t first = err.find(said);
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find(said, first + 1), std::string::npos) << err;
    EXPECT_NE(ReadFile(box.SettingsPath()).find("\"IPAddr\"=\"1.2.3.4\"\n"), std::string::npos);
}
