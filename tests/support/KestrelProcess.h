#pragma once

// Runs build/kestrel (KESTREL_BINARY) as a process in a sandbox of its own: a temporary
// home, configuration and runtime folder, no display unless one is given. Also starts a
// private X server for tests that need a display.

#include "support/FreePort.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrel::testing {

using namespace std::chrono_literals;

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// True when `path` is a settings file as the program writes it.
inline bool IsSettingsFile(const std::string& path) {
    return ReadFile(path).rfind("Windows Registry Editor Version 5.00\n", 0) == 0;
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline const std::string kSettingsHeader =
    "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n";

// A sandbox: its own home, configuration and runtime folders, and a settings file that
// makes the program listen on a free port (never port 80 or another fixed one).
class Sandbox {
public:
    Sandbox() {
        EXPECT_TRUE(m_dir.isValid());
        for (const char* sub : {"/home", "/cfg", "/cfg/Velmora", "/run"})
            ::mkdir((Root() + sub).c_str(), 0700);
        m_port = FreeTcpPort();
        EXPECT_NE(m_port, 0u);
        WriteSettings("");
    }
    // Replaces the settings file: the free port's line, then `lines`.
    void WriteSettings(const std::string& lines) const {
        WriteFile(SettingsPath(), kSettingsHeader + PortLine(m_port) + lines);
    }
    unsigned Port() const { return m_port; }
    std::string Root() const { return m_dir.path().toStdString(); }
    std::string ConfigFolder() const { return Root() + "/cfg/Velmora"; }
    std::string SettingsPath() const { return ConfigFolder() + "/Kestrels.reg"; }
    std::string LockPath() const { return ConfigFolder() + "/h_Kestrel_PrevInstance.lock"; }

private:
    QTemporaryDir m_dir;
    unsigned m_port = 0;
};

// One run of build/kestrel; killed if the test leaves it running.
class KestrelProcess {
public:
    // `args` follow the program's name; `workingFolder`: where the program starts (empty: the
    // sandbox root); `ignored`: signals the program starts with ignored, as under "nohup".
    KestrelProcess(const Sandbox& box, const std::string& stderrName, std::vector<std::string> extraEnv = {},
                   std::vector<std::string> args = {}, const std::string& workingFolder = {},
                   std::vector<int> ignored = {}) {
        m_stderrPath = box.Root() + "/" + stderrName;
        m_stdoutPath = m_stderrPath + ".stdout";
        std::vector<std::string> env = {"HOME=" + box.Root() + "/home",
                                        "XDG_CONFIG_HOME=" + box.Root() + "/cfg",
                                        "XDG_RUNTIME_DIR=" + box.Root() + "/run", "PATH=/usr/bin:/bin"};
        // Sanitizer settings of the test run apply to the program too.
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char* value = std::getenv(name))
                env.push_back(std::string(name) + "=" + value);
        for (auto& e : extraEnv)
            env.push_back(e);
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, m_stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 1, m_stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        // The working folder receives the hit log: the sandbox's (or the one given), never
        // the caller's.
        posix_spawn_file_actions_addchdir_np(&actions, workingFolder.empty() ? box.Root().c_str()
                                                                             : workingFolder.c_str());
        std::string program = KESTREL_BINARY;
        std::vector<char*> argv = {program.data()};
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        // Ignored dispositions are inherited across exec: ignore them here for the spawn.
        std::vector<struct sigaction> saved(ignored.size());
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        for (size_t i = 0; i < ignored.size(); ++i)
            ::sigaction(ignored[i], &ignore, &saved[i]);
        int rc = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        for (size_t i = 0; i < ignored.size(); ++i)
            ::sigaction(ignored[i], &saved[i], nullptr);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << program;
        if (rc != 0)
            m_pid = -1;
    }
    ~KestrelProcess() {
        if (m_pid > 0 && !m_exited) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // Waits until the program holds the instance lock (its signal handlers are in place
    // by then). False when it exits first or takes too long.
    bool WaitUntilRunning(const std::string& lockPath) {
        struct stat st {};
        for (auto deadline = std::chrono::steady_clock::now() + 10s;
             std::chrono::steady_clock::now() < deadline;) {
            if (Poll())
                return false;
            if (::stat(lockPath.c_str(), &st) == 0 && HoldsLock(st.st_ino))
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    // Waits for the exit; false on timeout.
    bool WaitForExit(std::chrono::milliseconds limit = 10000ms) {
        for (auto deadline = std::chrono::steady_clock::now() + limit;
             std::chrono::steady_clock::now() < deadline;) {
            if (Poll())
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    bool Running() { return !Poll(); }
    pid_t Pid() const { return m_pid; }
    void Signal(int sig) { ::kill(m_pid, sig); }
    bool ExitedNormally() const { return m_exited && WIFEXITED(m_status); }
    int ExitStatus() const { return WEXITSTATUS(m_status); }
    std::string Stderr() const { return ReadFile(m_stderrPath); }
    std::string Stdout() const { return ReadFile(m_stdoutPath); }

private:
    bool Poll() {
        if (m_exited)
            return true;
        if (::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
            m_exited = true;
        return m_exited;
    }
    // /proc/locks: "1: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF".
    bool HoldsLock(ino_t inode) const {
        std::ifstream locks("/proc/locks");
        std::string line;
        while (std::getline(locks, line)) {
            std::istringstream in(line);
            std::string n, kind, mode, access, pid, dev;
            in >> n >> kind >> mode >> access >> pid >> dev;
            if (kind != "FLOCK" || pid != std::to_string(m_pid))
                continue;
            auto colon = dev.rfind(':');
            if (colon != std::string::npos && dev.substr(colon + 1) == std::to_string(inode))
                return true;
        }
        return false;
    }
    pid_t m_pid = -1;
    int m_status = 0;
    bool m_exited = false;
    std::string m_stderrPath, m_stdoutPath;
};

// A private X server (Xvfb) on a free display number; stopped with the object.
class PrivateDisplay {
public:
    PrivateDisplay() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string program = "/usr/bin/Xvfb";
        std::vector<std::string> args = {program, "-displayfd", "3", "-nolisten",
                                         "tcp",   "-screen",    "0", "1024x768x24"};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (rc != 0) {
            m_pid = -1;
            ::close(fds[0]);
            return;
        }
        // Xvfb writes the display number once it accepts connections.
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (::poll(&p, 1, 10000) > 0) {
            char c;
            if (::read(fds[0], &c, 1) != 1 || c == '\n')
                break;
            number.push_back(c);
        }
        ::close(fds[0]);
        if (!number.empty())
            m_display = ":" + number;
    }
    ~PrivateDisplay() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;
    // ":N", or empty when no server could be started.
    const std::string& Name() const { return m_display; }
    static bool Available() { return ::access("/usr/bin/Xvfb", X_OK) == 0; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

} // namespace kestrel::testing
