#include "ui/SecondStart.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrel {

namespace {

constexpr char kAnswer[] = "raised\n";

bool FillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Only the user who runs this copy may ask it for anything.
bool SameUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::getuid();
}

} // namespace

std::string RaiseSocketPath(const std::string& settingsFile) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/')
        return {};
    // One socket per settings file, however the file was named on the command line.
    const QString file = QString::fromStdString(settingsFile);
    const QString canonical = QFileInfo(file).canonicalFilePath();
    const QByteArray key = (canonical.isEmpty() ? QFileInfo(file).absoluteFilePath() : canonical).toUtf8();
    const QByteArray hash = QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(16);
    const std::string path = std::string(runtime) + "/kestrel-" + hash.toStdString() + ".sock";
    return path.size() < sizeof(sockaddr_un{}.sun_path) ? path : std::string();
}

RaiseListener::RaiseListener(const std::string& settingsFile, std::function<void()> raise)
    : m_path(RaiseSocketPath(settingsFile)), m_raise(std::move(raise)) {
    sockaddr_un address;
    if (!FillAddress(m_path, address))
        return;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    // This copy holds the settings file's lock: a socket left there is a dead copy's.
    ::unlink(m_path.c_str());
    const mode_t old = ::umask(077);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::umask(old);
    if (!bound || ::chmod(m_path.c_str(), 0600) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        if (bound)
            ::unlink(m_path.c_str());
        return;
    }
    m_fd = fd;
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { Accept(); });
}

RaiseListener::~RaiseListener() {
    m_notifier.reset();
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
}

void RaiseListener::Accept() {
    for (;;) {
        const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0)
            return;
        if (SameUser(client)) {
            if (m_raise)
                m_raise();
            const ssize_t sent = ::send(client, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
            static_cast<void>(sent); // an asker that left needs no answer
        }
        ::close(client);
    }
}

bool AskRunningCopyToRaise(const std::string& settingsFile, int timeoutMs) {
    sockaddr_un address;
    if (!FillAddress(RaiseSocketPath(settingsFile), address))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool raised = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && SameUser(fd)) {
        std::string answer;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (answer.size() < sizeof kAnswer - 1) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            char buf[16];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            answer.append(buf, static_cast<size_t>(n));
        }
        raised = answer == kAnswer;
    }
    ::close(fd);
    return raised;
}

std::string HeldByAnotherCopyMessage(const std::string& settingsFile, pid_t holder) {
    const std::string who = holder > 0 ? "プロセス " + std::to_string(holder) : std::string("別のプロセス");
    return "設定ファイル " + settingsFile + " は、画面を持たずに動いている Kestrel（" + who +
           "）が使っています。\n\nこの Kestrel "
           "は起動せずに終了します。画面で使うには、先にそのプロセスを止めてください"
           "（ユーザーのサービスなら systemctl --user stop kestrel）。";
}

} // namespace kestrel
