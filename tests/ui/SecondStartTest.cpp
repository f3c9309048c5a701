// A second start with a display: the running copy's socket answers only its user and
// brings the window forward; the real program, started twice on one settings file under
// a private Xvfb, raises the first copy and the second exits 0.

#include "ui/SecondStart.h"

#include "support/KestrelProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <sys/stat.h>
#include <thread>

using namespace kestrel;

namespace {

// XDG_RUNTIME_DIR points at a private folder while the object lives.
class RuntimeDir {
public:
    RuntimeDir() {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        m_old = old ? old : "";
        m_had = old != nullptr;
        ::setenv("XDG_RUNTIME_DIR", Path().c_str(), 1);
    }
    ~RuntimeDir() {
        if (m_had)
            ::setenv("XDG_RUNTIME_DIR", m_old.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }
    std::string Path() const { return m_dir.path().toStdString(); }

private:
    QTemporaryDir m_dir;
    std::string m_old;
    bool m_had = false;
};

bool AskWhileServing(const std::string& settings) {
    auto asked = std::async(std::launch::async, [&] { return AskRunningCopyToRaise(settings, 3000); });
    while (asked.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        QCoreApplication::processEvents();
    return asked.get();
}

} // namespace

TEST(SecondStart, TheRunningCopysSocketRaisesItForItsSettingsFileOnly) {
    RuntimeDir runtime;
    const std::string settings = runtime.Path() + "/Kestrels.reg", other = runtime.Path() + "/Other.reg";
    const std::string path = RaiseSocketPath(settings);
    ASSERT_EQ(path.rfind(runtime.Path() + "/kestrel-", 0), 0u) << path;
    EXPECT_NE(RaiseSocketPath(other), path);
    EXPECT_EQ(RaiseSocketPath(runtime.Path() + "/./Kestrels.reg"), path) << "one file, one socket";

    EXPECT_FALSE(AskRunningCopyToRaise(settings, 500)) << "nobody listens yet";
    int raised = 0;
    {
        // What a dead copy left behind there is taken over.
        std::ofstream(path) << "stale";
        RaiseListener listener(settings, [&] { ++raised; });
        ASSERT_TRUE(listener.Listening());
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_TRUE(AskWhileServing(settings));
        EXPECT_EQ(raised, 1);
        EXPECT_FALSE(AskWhileServing(other));
        EXPECT_EQ(raised, 1);
    }
    EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the socket goes with its copy";
    EXPECT_FALSE(AskRunningCopyToRaise(settings, 500));

    // Without a runtime folder there is no socket, and nothing to ask.
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(RaiseSocketPath(settings), "");
    RaiseListener none(settings, [] {});
    EXPECT_FALSE(none.Listening());
}

TEST(SecondStart, ASecondProgramWithADisplayRaisesTheFirstAndExitsZero) {
    using namespace kestrel::testing;
    if (!PrivateDisplay::Available())
        GTEST_SKIP() << "Xvfb is not installed";
    PrivateDisplay display;
    ASSERT_FALSE(display.Name().empty()) << "Xvfb did not start";
    Sandbox box;
    box.WriteSettings("\"CaptureDevice\"=dword:00000000\n");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(box.Root() + "/run")));
    ::chmod((box.Root() + "/run").c_str(), 0700);
    KestrelProcess first(box, "first.txt", {"DISPLAY=" + display.Name()});
    ASSERT_TRUE(first.WaitUntilRunning(box.LockPath())) << first.Stderr();
    // The socket is up once the window is.
    const std::string runtime = "XDG_RUNTIME_DIR=" + box.Root() + "/run";
    bool listening = false;
    for (int i = 0; i < 500 && !listening; ++i) {
        listening = !QDir(QString::fromStdString(box.Root() + "/run"))
                         .entryList({"kestrel-*.sock"}, QDir::System)
                         .isEmpty();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(listening) << first.Stderr();
    KestrelProcess second(box, "second.txt", {"DISPLAY=" + display.Name()});
    ASSERT_TRUE(second.WaitForExit()) << "the second copy is still running";
    EXPECT_TRUE(second.ExitedNormally());
    EXPECT_EQ(second.ExitStatus(), 0) << second.Stderr();
    EXPECT_TRUE(first.Running());
    first.Signal(SIGTERM);
    ASSERT_TRUE(first.WaitForExit());
    EXPECT_EQ(first.ExitStatus(), 0) << first.Stderr();
}
