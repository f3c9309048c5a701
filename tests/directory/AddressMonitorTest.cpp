// Starting the address-monitor program: detached, without a shell, without our descriptors.

#include "platform/Process.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;

namespace {

std::string WaitForFile(const std::string& path) {
    for (int i = 0; i < 200; ++i) {
        std::ifstream in(path);
        std::ostringstream out;
        out << in.rdbuf();
        if (out.str().find("done") != std::string::npos)
            return out.str();
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return {};
}

TEST(SpawnDetached, OwnSessionNullInputNoInheritedDescriptors) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString();
    // A descriptor of ours that is not close-on-exec must still not reach the child.
    int leaky = ::open((folder + "/leak").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(leaky, 3);
    const std::string script = folder + "/addrscout";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\n"
            << "out=\"$1\"\n"
            << "if [ -e /proc/$$/fd/" << leaky
            << " ]; then echo leaked > \"$out.tmp\"; else echo closed > \"$out.tmp\"; fi\n"
            << "readlink /proc/$$/fd/0 >> \"$out.tmp\"\n"
            << "[ \"$(cut -d' ' -f6 /proc/$$/stat)\" = \"$$\" ] && echo leader >> \"$out.tmp\"\n"
            << "echo \"arg=$2\" >> \"$out.tmp\"\n"
            << "echo done >> \"$out.tmp\"; mv \"$out.tmp\" \"$out\"\n";
    }
    ::chmod(script.c_str(), 0755);
    ASSERT_TRUE(IsExecutableFile(script));
    ASSERT_EQ(SpawnDetached(script, {folder + "/result", "a b;$(x)"}), 0);
    const std::string result = WaitForFile(folder + "/result");
    ::close(leaky);
    EXPECT_NE(result.find("closed\n"), std::string::npos) << result;
    EXPECT_NE(result.find("/dev/null\n"), std::string::npos) << result;
    EXPECT_NE(result.find("leader\n"), std::string::npos) << result;
    EXPECT_NE(result.find("arg=a b;$(x)\n"), std::string::npos) << result; // no shell read it
}

TEST(SpawnDetached, MissingAndNonExecutable) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    EXPECT_NE(SpawnDetached(folder + "/missing"), 0);
    EXPECT_FALSE(IsExecutableFile(folder + "/missing"));
    EXPECT_FALSE(IsExecutableFile(folder)); // a folder
    std::ofstream(folder + "/plain") << "x";
    ::chmod((folder + "/plain").c_str(), 0644);
    EXPECT_FALSE(IsExecutableFile(folder + "/plain"));
    EXPECT_FALSE(IsExecutableFile(""));
}

// Children of this process that have ended but were not reaped.
int ZombieChildren() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "stat");
        std::string stat;
        if (!std::getline(in, stat))
            continue;
        auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == ::getpid() && state == 'Z')
            ++count;
    }
    return count;
}

TEST(SpawnDetached, EndedChildIsReaped) {
    ASSERT_EQ(SpawnDetached("/bin/true"), 0);
    int zombies = -1;
    for (int i = 0; i < 100 && zombies != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        zombies = ZombieChildren();
    }
    EXPECT_EQ(zombies, 0);
}

} // namespace
