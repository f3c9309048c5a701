#include "platform/SignalPipe.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kestrel {

namespace {
int g_pipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int sig) {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &b, 1);
    errno = saved;
}
} // namespace

SignalPipe::SignalPipe(QObject* parent) : QObject(parent) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);

    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction sa {};
    sa.sa_handler = OnTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction before {};
        ::sigaction(sig, nullptr, &before);
        // A hang-up or interrupt ignored by whoever started us ("nohup", a shell's
        // background job) stays ignored; a termination request is always honoured.
        if (sig != SIGTERM && before.sa_handler == SIG_IGN)
            continue;
        if (::sigaction(sig, &sa, nullptr) == 0)
            m_caught.push_back(sig);
    }
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { OnReadable(); });
    m_installed = true;
}

SignalPipe::~SignalPipe() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig : m_caught)
        ::sigaction(sig, &dfl, nullptr);
}

void SignalPipe::OnReadable() {
    unsigned char b = 0;
    int last = 0;
    while (::read(g_pipe[0], &b, 1) == 1)
        last = b;
    if (last)
        emit terminationRequested(last);
}

} // namespace kestrel
