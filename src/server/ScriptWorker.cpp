#include "server/ScriptWorker.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kestrel {

namespace {

std::mutex g_workersMutex;
std::condition_variable g_workersDone;
int g_workers = 0;

struct WorkerCount {
    WorkerCount() {
        std::lock_guard lock(g_workersMutex);
        ++g_workers;
    }
    ~WorkerCount() {
        std::lock_guard lock(g_workersMutex);
        --g_workers;
        g_workersDone.notify_all();
    }
};

int PidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Waits until the process has ended or `cancel` becomes readable. True when it ended.
// `timeoutMs` < 0 waits without limit.
bool WaitProcess(pid_t pid, int pidfd, int cancel, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int slice = -1;
        if (pidfd < 0)
            slice = 50; // no pidfd: look at the process now and then
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                left = 0;
            slice = slice < 0 ? static_cast<int>(left) : std::min<int>(slice, static_cast<int>(left));
        }
        struct pollfd fds[2];
        int n = 0;
        if (pidfd >= 0)
            fds[n++] = {pidfd, POLLIN, 0};
        if (cancel >= 0)
            fds[n++] = {cancel, POLLIN, 0};
        int r = ::poll(fds, n, slice);
        if (r < 0 && errno != EINTR)
            return false;
        if (pidfd >= 0 && r > 0 && (fds[0].revents & (POLLIN | POLLHUP)))
            return true;
        if (pidfd < 0) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG | __WNOTHREAD) == pid) {
                // Reaped here; tell the caller the process is gone by making later waits
                // fail harmlessly (ECHILD).
                return true;
            }
        }
        if (cancel >= 0 && r > 0 && (fds[n - 1].revents & POLLIN))
            return false;
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

// Writes the body into the script's standard input, giving up when the script ends
// or the connection goes. The write end is closed afterwards so that a script that
// reads to end-of-input finishes.
void WriteBody(UniqueFd& in, const std::string& body, int pidfd, int cancel) {
    std::size_t done = 0;
    int flags = ::fcntl(in.Get(), F_GETFL);
    ::fcntl(in.Get(), F_SETFL, flags | O_NONBLOCK);
    while (done < body.size()) {
        struct pollfd fds[3];
        int n = 0;
        fds[n++] = {in.Get(), POLLOUT, 0};
        if (cancel >= 0)
            fds[n++] = {cancel, POLLIN, 0};
        if (pidfd >= 0)
            fds[n++] = {pidfd, POLLIN, 0};
        int r = ::poll(fds, n, pidfd >= 0 ? -1 : 100);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & (POLLERR | POLLHUP))
            break;
        bool stop = false;
        for (int i = 1; i < n; ++i)
            if (fds[i].revents & (POLLIN | POLLHUP))
                stop = true;
        if (stop)
            break;
        if (!(fds[0].revents & POLLOUT))
            continue;
        ssize_t w = ::write(in.Get(), body.data() + done, body.size() - done);
        if (w < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            break; // EPIPE: the script stopped reading
        }
        done += static_cast<std::size_t>(w);
    }
    in.Reset();
}

ScriptOutcome RunScript(ScriptJob& job) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return ScriptOutcome::StartFailed;
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, readEnd.Get(), 0);
    posix_spawn_file_actions_adddup2(&actions, job.output.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, job.output.Get(), 2);
    posix_spawn_file_actions_addchdir_np(&actions, job.workDir.c_str());
    // Nothing beyond 0, 1 and 2 reaches the script, whoever opened it.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv, envp;
    for (auto& a : job.argv)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : job.env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, job.program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    readEnd.Reset();
    job.output.Reset();
    if (rc != 0)
        return ScriptOutcome::StartFailed;

    UniqueFd pidfd(PidfdOpen(pid));
    int cancel = job.cancel.Get();
    WriteBody(writeEnd, job.body, pidfd.Get(), cancel);

    if (WaitProcess(pid, pidfd.Get(), cancel, -1)) {
        int status = 0;
        ::waitpid(pid, &status, __WNOTHREAD);
        return ScriptOutcome::Finished;
    }
    // The connection has gone: end the script and everything it started.
    ::kill(-pid, SIGTERM);
    if (!WaitProcess(pid, pidfd.Get(), -1, 2000))
        ::kill(-pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, __WNOTHREAD);
    ::kill(-pid, SIGKILL); // whatever of the group is left
    return ScriptOutcome::StartFailed;
}

} // namespace

ScriptJob::ScriptJob() : cancel(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void ScriptJob::Cancel() {
    if (cancel.Valid()) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t w = ::write(cancel.Get(), &one, sizeof one);
    }
}

bool StartScriptWorker(std::shared_ptr<ScriptJob> job, std::function<void(ScriptOutcome)> done) {
    if (!job->cancel.Valid())
        return false;
    try {
        std::thread worker([job = std::move(job), done = std::move(done)] {
            WorkerCount count;
            sigset_t pipeSignal;
            sigemptyset(&pipeSignal);
            sigaddset(&pipeSignal, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
            ScriptOutcome outcome = RunScript(*job);
            std::uint64_t value = 0;
            bool cancelled = ::read(job->cancel.Get(), &value, sizeof value) == sizeof value;
            if (!cancelled && done)
                done(outcome);
        });
        worker.detach();
    } catch (...) {
        return false;
    }
    return true;
}

bool WaitForScriptWorkers(int milliseconds) {
    std::unique_lock lock(g_workersMutex);
    return g_workersDone.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                  [] { return g_workers == 0; });
}

int RunningScriptWorkers() {
    std::lock_guard lock(g_workersMutex);
    return g_workers;
}

} // namespace kestrel
