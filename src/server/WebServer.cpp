#include "server/WebServer.h"

#include "server/ClientAddress.h"
#include "server/MediaTypes.h"
#include "server/ScriptWorker.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <vector>

namespace kestrel {

namespace {

using Clock = std::chrono::steady_clock;
// Connections taken per wake-up. Every turn of the event loop looks at every open
// connection, so under a flood a large batch lets a fresh client in sooner.
constexpr int kAcceptsPerNotification = 1024;

// Descriptors open in this process, read from /proc; 0 when it cannot be read.
long long CountOpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return 0;
    long long count = 0;
    while (dirent* e = ::readdir(dir))
        count += e->d_name[0] != '.';
    ::closedir(dir);
    return count - 1; // the listing's own
}

long long DescriptorLimit() {
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return LLONG_MAX / 2;
    return static_cast<long long>(rl.rlim_cur);
}

} // namespace

CWebServer::CWebServer(CServerSettings& settings, IMessageBox& messageBox, ServerHooks hooks)
    : m_settings(settings), m_messageBox(messageBox), m_hooks(std::move(hooks)) {
    RaiseFileLimit();
    ::signal(SIGPIPE, SIG_IGN);
    MediaTypes::Shared(); // read the type table once, at start-up
    m_streams = std::make_unique<MjpegStreamHub>(m_settings, m_hooks.composeStreamFrame);
    m_sweepTimer = new QTimer(this);
    m_sweepTimer->setInterval(static_cast<int>(m_timeouts.sweep.count()));
    connect(m_sweepTimer, &QTimer::timeout, this, [this] { Sweep(); });
}

CWebServer::~CWebServer() {
    StopServer();
    m_alive.reset();
    auto connections = m_connections;
    for (auto& [id, connection] : connections) {
        connection->Abort();
        delete connection;
    }
    m_connections.clear();
    // Connections already let go and waiting for deleteLater go now, while the
    // server they unregister from still exists.
    qDeleteAll(findChildren<CRequestSocket*>(Qt::FindDirectChildrenOnly));
    // Scripts of connections just cut are being ended by their workers.
    WaitForScriptWorkers(3000);
}

void CWebServer::SetTimeouts(const ServerTimeouts& timeouts) {
    m_timeouts = timeouts;
    m_sweepTimer->setInterval(static_cast<int>(m_timeouts.sweep.count()));
}

void CWebServer::RaiseFileLimit() {
    static bool done = false;
    if (done)
        return;
    done = true;
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

bool CWebServer::StartServer() {
    StopServer();
    auto listen = std::make_unique<CListenSocket>();
    int err = listen->Create(m_settings.uPort);
    bool ok = err == 0;
    if (ok) {
        m_listen = std::move(listen);
        // What the rest of the program holds; the connections are counted as they come and go.
        m_baseDescriptors = CountOpenDescriptors() - static_cast<long long>(m_connections.size()) + 1;
        m_acceptNotifier = std::make_unique<QSocketNotifier>(m_listen->Fd(), QSocketNotifier::Read);
        connect(m_acceptNotifier.get(), &QSocketNotifier::activated, this, [this] { OnAccept(); });
    } else {
        std::string text =
            err == 10048 ? PortInUseMessage(m_settings.uPort) : PortNotOpenMessage(m_settings.uPort);
        m_messageBox.Show(text, "Kestrel", MessageIcon::Error);
    }
    m_settings.timeStarted = std::time(nullptr);
    return ok;
}

void CWebServer::StopServer() {
    if (m_acceptNotifier) {
        m_acceptNotifier->setEnabled(false);
        m_acceptNotifier.release()->deleteLater();
    }
    m_listen.reset();
}

void CWebServer::OnAccept() {
    if (!m_listen)
        return;
    for (int i = 0; i < kAcceptsPerNotification; ++i) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        int fd =
            ::accept4(m_listen->Fd(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: a slow client gives way to the waiting one...
                if ((errno == EMFILE || errno == ENFILE) && CloseOldestHeadReader())
                    continue;
                // ...or, with none to close, accepting pauses for a moment instead of spinning.
                m_acceptNotifier->setEnabled(false);
                QSocketNotifier* notifier = m_acceptNotifier.get();
                QTimer::singleShot(100, this, [this, notifier] {
                    if (m_acceptNotifier.get() == notifier)
                        notifier->setEnabled(true);
                });
            }
            return;
        }
        UniqueFd connection(fd);
        std::string key = ClientAddressKey(peer);
        if (!AdmitAddress(key))
            continue; // over the cap: closed without an answer
        if (DescriptorsLeft(fd) < kDescriptorReserve)
            CloseOldestHeadReader();
        new CRequestSocket(*this, std::move(connection), FormatAddress(peer), std::move(key));
    }
}

long long CWebServer::DescriptorsLeft(int newest) const {
    // Descriptors are handed out lowest first: every one below the newest is in use.
    long long inUse = std::max<long long>(newest + 1LL, m_baseDescriptors +
                                                            static_cast<long long>(m_connections.size()) + 1);
    return DescriptorLimit() - inUse;
}

bool CWebServer::AdmitAddress(const std::string& key) const {
    const std::uint32_t cap = m_settings.MaxConnPerAddress;
    if (cap == 0)
        return true;
    auto it = m_perAddress.find(key);
    return it == m_perAddress.end() || it->second < cap;
}

bool CWebServer::CloseOldestHeadReader() {
    for (auto& [id, c] : m_connections) {
        if (!c->m_closed && c->ReadingHead()) {
            c->Abort();
            return true;
        }
    }
    return false;
}

void CWebServer::Register(CRequestSocket* connection) {
    m_connections.emplace(connection->Id(), connection);
    ++m_perAddress[connection->AddressKey()];
    if (!m_sweepTimer->isActive())
        m_sweepTimer->start();
}

void CWebServer::Unregister(CRequestSocket* connection) {
    if (m_connections.erase(connection->Id()) == 0)
        return;
    m_streams->Remove(connection);
    auto it = m_perAddress.find(connection->AddressKey());
    if (it != m_perAddress.end() && --it->second == 0)
        m_perAddress.erase(it);
    if (m_hooks.connectionClosed)
        m_hooks.connectionClosed();
}

bool CWebServer::ReserveBody(long long bytes) {
    if (m_bodyBytes + bytes > kMaxBodiesHeld)
        return false;
    m_bodyBytes += bytes;
    return true;
}

void CWebServer::OnScriptDone(std::uint64_t id, bool started) {
    auto it = m_connections.find(id);
    if (it == m_connections.end())
        return; // the connection has gone meanwhile
    it->second->FinishScript(started);
}

void CWebServer::Sweep() {
    auto now = Clock::now();
    std::vector<CRequestSocket*> expired;
    for (auto& [id, c] : m_connections) {
        if (c->m_closed)
            continue;
        if (c->m_finished) {
            if (now - c->m_lastSendProgress > m_timeouts.drain)
                expired.push_back(c);
        } else if (c->m_state != CRequestSocket::RequestComplete) {
            // A head trickled in byte by byte still ends at its deadline.
            bool headLate = c->ReadingHead() && c->m_request && now - c->m_headStarted > m_timeouts.head;
            if (headLate || now - c->m_lastReceive > m_timeouts.request)
                expired.push_back(c);
        } else if (!c->m_scriptRunning && now - c->m_lastSendProgress > m_timeouts.send) {
            expired.push_back(c);
        }
    }
    for (CRequestSocket* c : expired)
        c->Abort();
    if (m_connections.empty())
        m_sweepTimer->stop();
}

} // namespace kestrel
