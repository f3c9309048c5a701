#include "platform/Process.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kestrel {

namespace {

class SpawnFileActions {
public:
    SpawnFileActions() { m_ok = ::posix_spawn_file_actions_init(&m_actions) == 0; }
    ~SpawnFileActions() {
        if (m_ok)
            ::posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    bool ok() const { return m_ok; }
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions{};
    bool m_ok = false;
};

class SpawnAttributes {
public:
    SpawnAttributes() { m_ok = ::posix_spawnattr_init(&m_attr) == 0; }
    ~SpawnAttributes() {
        if (m_ok)
            ::posix_spawnattr_destroy(&m_attr);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return m_ok; }
    posix_spawnattr_t* get() { return &m_attr; }

private:
    posix_spawnattr_t m_attr{};
    bool m_ok = false;
};

} // namespace

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

int SpawnDetached(const std::string& program, const std::vector<std::string>& args) {
    SpawnFileActions actions;
    SpawnAttributes attr;
    if (!actions.ok() || !attr.ok())
        return ENOMEM;
    ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    // Only standard input, output and error reach the child.
    ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
    ::posix_spawnattr_setflags(attr.get(),
                               POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(attr.get(), &none);
    ::posix_spawnattr_setsigdefault(attr.get(), &all);

    std::vector<std::string> argStrings;
    argStrings.push_back(program);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, program.c_str(), actions.get(), attr.get(), argv.data(), environ);
    if (rc != 0)
        return rc;
    // Reap the child when it ends so it does not linger as a zombie.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return 0;
}

} // namespace kestrel
