// The real program with a display (a private Xvfb): it opens its window, and a
// termination signal closes it the way the exit command does, even while a message box
// from the start is still open.

#include "support/KestrelProcess.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace kestrel::testing;

TEST(KestrelWithDisplay, TerminationSignalClosesAndSavesEvenDuringAStartupMessage) {
    if (!PrivateDisplay::Available())
        GTEST_SKIP() << "Xvfb is not installed";
    PrivateDisplay display;
    ASSERT_FALSE(display.Name().empty()) << "Xvfb did not start";
    for (int sig : {SIGTERM, SIGHUP}) {
        Sandbox box;
        KestrelProcess k(box, "stderr.txt", {"DISPLAY=" + display.Name()});
        ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
        // Running means the start is under way; with no capture driver its window
        // creation shows a modal message that no one answers.
        k.Signal(sig);
        ASSERT_TRUE(k.WaitForExit()) << "still running after signal " << sig;
        EXPECT_TRUE(k.ExitedNormally()) << k.Stderr();
        EXPECT_EQ(k.ExitStatus(), 0) << k.Stderr();
        EXPECT_TRUE(IsSettingsFile(box.SettingsPath())) << sig;
        // With a display messages are boxes; standard error has at most the start line.
        const std::string err = k.Stderr();
        const size_t line = err.find("kestrel:");
        EXPECT_TRUE(line == std::string::npos || (err.compare(line, 17, "kestrel: serving ") == 0 &&
                                                   err.find("kestrel:", line + 1) == std::string::npos))
            << err;
    }
}
