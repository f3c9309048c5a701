#include "server/WebServer.h"

#include "server/ClientAddress.h"
#include "server/MediaTypes.h"
#include "server/ProxyAddresses.h"
#include "server/ScriptWorker.h"
#include "tls/TlsSession.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <vector>

namespace kestrel {

namespace {

using Clock = std::chrono::steady_clock;
// Connections taken per wake-up: under a flood a large batch lets a fresh client in sooner.
constexpr int kAcceptsPerNotification = 1024;
// Socket events taken from the epoll set per wake-up; more wake the event loop again.
constexpr int kEventsPerNotification = 256;

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

long long ReadDescriptorLimit() {
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return LLONG_MAX / 2;
    return static_cast<long long>(rl.rlim_cur);
}

// The open-file limit, read once and again whenever it may have changed (after raising
// it, when the server starts listening, on every sweep and when the descriptors run out)
// rather than on every connection.
long long g_descriptorLimit = 0;

long long DescriptorLimit() {
    if (g_descriptorLimit == 0)
        g_descriptorLimit = ReadDescriptorLimit();
    return g_descriptorLimit;
}

} // namespace

CWebServer::CWebServer(CServerSettings& settings, IMessageBox& messageBox, ServerHooks hooks)
    : m_settings(settings), m_messageBox(messageBox), m_hooks(std::move(hooks)) {
    RaiseFileLimit();
    ::signal(SIGPIPE, SIG_IGN);
    MediaTypes::Shared(); // read the type table once, at start-up
    m_streams = std::make_unique<MjpegStreamHub>(m_settings, m_hooks.composeStreamFrame);
    m_epoll.Reset(::epoll_create1(EPOLL_CLOEXEC));
    if (m_epoll.Valid()) {
        m_epollNotifier = std::make_unique<QSocketNotifier>(m_epoll.Get(), QSocketNotifier::Read);
        connect(m_epollNotifier.get(), &QSocketNotifier::activated, this, [this] { OnConnectionEvents(); });
    } else {
        std::fprintf(stderr, "kestrel: no epoll set for the connections: %s\n", std::strerror(errno));
    }
    m_sweepTimer = new QTimer(this);
    m_sweepTimer->setInterval(static_cast<int>(m_timeouts.sweep.count()));
    connect(m_sweepTimer, &QTimer::timeout, this, [this] { Sweep(); });
    m_tlsCheckTimer = new QTimer(this);
    m_tlsCheckTimer->setInterval(static_cast<int>(m_timeouts.tls.count()));
    connect(m_tlsCheckTimer, &QTimer::timeout, this, [this] { CheckTlsFiles(); });
}

CWebServer::~CWebServer() {
    StopServer();
    m_alive.reset();
    {
        DispatchScope scope(*this);
        std::vector<CRequestSocket*> connections;
        for (auto& [id, connection] : m_connections)
            connections.push_back(connection.get());
        for (CRequestSocket* connection : connections)
            connection->Abort();
        m_connections.clear(); // any that would not let go
    }
    DeleteDiscarded();
    // Scripts of connections just cut are being ended by their workers.
    WaitForScriptWorkers(3000);
}

CWebServer::DispatchScope::~DispatchScope() {
    if (--m_server.m_dispatchDepth == 0)
        m_server.DeleteDiscarded();
}

void CWebServer::DeleteDiscarded() {
    // A connection's destructor never lets go of another one: the list cannot grow meanwhile.
    auto discarded = std::move(m_discarded);
    m_discarded.clear();
}

void CWebServer::SetTimeouts(const ServerTimeouts& timeouts) {
    m_timeouts = timeouts;
    m_sweepTimer->setInterval(static_cast<int>(m_timeouts.sweep.count()));
    m_tlsCheckTimer->setInterval(static_cast<int>(m_timeouts.tls.count()));
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
    g_descriptorLimit = ReadDescriptorLimit();
}

bool CWebServer::StartServer() {
    StopServer();
    LoadTrustedProxies();
    auto listen = std::make_unique<CListenSocket>();
    // An unreadable listen address serves nothing rather than every interface.
    int err = m_settings.ListenAddressUnreadable ? kBadListenAddress
                                                 : listen->Create(m_settings.uPort, m_settings.ListenAddress);
    bool ok = err == 0;
    if (ok) {
        m_listen = std::move(listen);
        g_descriptorLimit = ReadDescriptorLimit();
        // What the rest of the program holds; the connections are counted as they come and go.
        m_baseDescriptors = CountOpenDescriptors() - static_cast<long long>(m_connections.size()) + 1;
        m_acceptNotifier = std::make_unique<QSocketNotifier>(m_listen->Fd(), QSocketNotifier::Read);
        connect(m_acceptNotifier.get(), &QSocketNotifier::activated, this, [this] { OnAccept(false); });
    } else {
        m_messageBox.Show(m_settings.ListenAddressUnreadable
                              ? UnreadableListenAddressMessage(m_settings.uPort)
                              : ListenFailureMessage(m_settings.ListenAddress, m_settings.uPort, err),
                          "Kestrel", MessageIcon::Error);
    }
    StartTls();
    m_settings.timeStarted = std::time(nullptr);
    return ok;
}

void CWebServer::LoadTrustedProxies() {
    m_trustedProxies.clear();
    if (m_settings.TrustedProxiesUnreadable) {
        m_messageBox.Show(
            "The line of TrustedProxies in the settings file cannot be read (kestrel "
            "--check-settings names it), so no proxy is trusted: X-Forwarded-For is ignored and "
            "every client is the address it connects from.",
            "Kestrel", MessageIcon::Exclamation);
        return;
    }
    std::string error;
    if (auto ranges = ParseAddressRanges(m_settings.TrustedProxies, &error)) {
        m_trustedProxies = std::move(*ranges);
        return;
    }
    m_messageBox.Show(
        "TrustedProxies: " + error +
            ", so no proxy is trusted: X-Forwarded-For is ignored and "
            "every client is the address it connects from. Write addresses or ranges separated by "
            "commas (127.0.0.1, 10.0.0.0/8, ::1).",
        "Kestrel", MessageIcon::Exclamation);
}

bool CWebServer::IsTrustedProxy(const std::string& peer) const {
    if (m_trustedProxies.empty())
        return false;
    const auto address = ParseIpAddress(peer);
    return address && InRanges(m_trustedProxies, *address);
}

void CWebServer::StopServer() {
    if (m_acceptNotifier) {
        m_acceptNotifier->setEnabled(false);
        m_acceptNotifier.release()->deleteLater();
    }
    m_listen.reset();
    StopTls();
}

void CWebServer::StartTls() {
    const unsigned port = m_settings.TlsPort;
    if (port == 0)
        return;
    const std::string what = "HTTPS on port " + std::to_string(port) + " is not served: ";
    if (port == m_settings.uPort) {
        m_messageBox.Show(what + "TlsPort is the same as uPort. Give HTTPS a port of its own (443, say).",
                          "Kestrel", MessageIcon::Error);
        return;
    }
    // A kept certificate that could not be had: its keeper has said why.
    if (!m_keptContext && m_settings.AcmeOn())
        return;
    std::unique_ptr<TlsCertificateWatch> watch;
    if (!m_keptContext)
        watch = std::make_unique<TlsCertificateWatch>(m_settings.TlsCertFile, m_settings.TlsKeyFile,
                                                      m_tlsOptions);
    const std::string error = watch ? watch->Load() : std::string();
    if (!error.empty()) {
        m_messageBox.Show(what + error + ". The plain port serves as before.", "Kestrel", MessageIcon::Error);
        return;
    }
    auto listen = std::make_unique<CListenSocket>();
    const int err = m_settings.ListenAddressUnreadable ? kBadListenAddress
                                                       : listen->Create(port, m_settings.ListenAddress);
    if (err != 0) {
        m_messageBox.Show(m_settings.ListenAddressUnreadable
                              ? UnreadableListenAddressMessage(port)
                              : ListenFailureMessage(m_settings.ListenAddress, port, err),
                          "Kestrel", MessageIcon::Error);
        return;
    }
    m_tlsWatch = std::move(watch);
    m_tlsListen = std::move(listen);
    m_baseDescriptors += 1;
    m_tlsAcceptNotifier = std::make_unique<QSocketNotifier>(m_tlsListen->Fd(), QSocketNotifier::Read);
    connect(m_tlsAcceptNotifier.get(), &QSocketNotifier::activated, this, [this] { OnAccept(true); });
    if (m_tlsWatch)
        m_tlsCheckTimer->start();
}

void CWebServer::SetKeptTlsContext(TlsContextPtr context, bool real) {
    m_keptContext = std::move(context);
    m_keptIsReal = real;
}

void CWebServer::StopTls() {
    m_tlsCheckTimer->stop();
    if (m_tlsAcceptNotifier) {
        m_tlsAcceptNotifier->setEnabled(false);
        m_tlsAcceptNotifier.release()->deleteLater();
    }
    m_tlsListen.reset();
    // Connections in flight keep their context; new ones need a new start.
    m_tlsWatch.reset();
}

void CWebServer::CheckTlsFiles() {
    if (!m_tlsWatch)
        return;
    if (m_tlsWatch->Check() == TlsCertificateWatch::Outcome::Failed)
        ReportTlsProblem("HTTPS on port " + std::to_string(m_settings.TlsPort) + ": " +
                         m_tlsWatch->FailureText());
}

void CWebServer::ReportTlsProblem(const std::string& text) {
    // Without a display the box itself is the line on standard error.
    if (!dynamic_cast<HeadlessMessageBox*>(&m_messageBox))
        std::fprintf(stderr, "kestrel: %s\n", TerminalSafeText(text).c_str());
    m_messageBox.Show(text, "Kestrel", MessageIcon::Exclamation);
}

void CWebServer::OnAccept(bool tls) {
    CListenSocket* listening = tls ? m_tlsListen.get() : m_listen.get();
    std::unique_ptr<QSocketNotifier>& acceptNotifier = tls ? m_tlsAcceptNotifier : m_acceptNotifier;
    if (!listening)
        return;
    DispatchScope scope(*this);
    for (int i = 0; i < kAcceptsPerNotification; ++i) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(listening->Fd(), reinterpret_cast<sockaddr*>(&peer), &len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                g_descriptorLimit = ReadDescriptorLimit();
                // Out of descriptors: a slow client gives way to the waiting one...
                if ((errno == EMFILE || errno == ENFILE) && CloseOldestHeadReader())
                    continue;
                // ...or, with none to close, accepting pauses for a moment instead of spinning.
                acceptNotifier->setEnabled(false);
                QSocketNotifier* notifier = acceptNotifier.get();
                QTimer::singleShot(100, this, [this, notifier, tls] {
                    if ((tls ? m_tlsAcceptNotifier : m_acceptNotifier).get() == notifier)
                        notifier->setEnabled(true);
                });
            }
            return;
        }
        UniqueFd connection(fd);
        std::string key = ClientAddressKey(peer);
        std::string address = FormatAddress(peer);
        // A trusted proxy carries many clients: it is not held to one client's share.
        if (!AdmitAddress(key) && !IsTrustedProxy(address))
            continue; // over the cap: closed without an answer
        if (DescriptorsLeft(fd) < kDescriptorReserve)
            CloseOldestHeadReader();
        std::unique_ptr<TlsSession> session;
        if (tls) {
            session =
                TlsSession::Create(m_keptContext ? m_keptContext : m_tlsWatch->Current(), connection.Get());
            if (!session)
                continue; // the library could not take it: closed unanswered
        }
        auto created = std::make_unique<CRequestSocket>(*this, std::move(connection), std::move(address),
                                                        std::move(key), std::move(session));
        CRequestSocket& c = *created;
        Register(std::move(created));
        // The request has mostly arrived with the connection: read it at once, and watch
        // the socket only when the connection has more to do.
        c.OnReceive();
        if (!c.m_closed && c.m_fd.Valid() && !c.m_watched && !Watch(c))
            c.Abort(); // it could never be read: closed without an answer
    }
}

void CWebServer::OnConnectionEvents() {
    DispatchScope scope(*this);
    epoll_event events[kEventsPerNotification];
    int n;
    do
        n = ::epoll_wait(m_epoll.Get(), events, kEventsPerNotification, 0);
    while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i) {
        // A connection let go of while this batch is handled is no longer found by its id.
        auto it = m_connections.find(events[i].data.u64);
        if (it == m_connections.end())
            continue;
        CRequestSocket& c = *it->second;
        const std::uint32_t what = events[i].events;
        if (what & (EPOLLIN | EPOLLERR | EPOLLHUP))
            c.OnReceive();
        if (!c.m_closed && c.m_wantWrite && (what & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
            c.OnWritable();
    }
}

bool CWebServer::Watch(CRequestSocket& connection) {
    epoll_event ev{};
    ev.events = EPOLLIN | (connection.m_wantWrite ? EPOLLOUT : 0u);
    ev.data.u64 = connection.Id();
    const int op = connection.m_watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(m_epoll.Get(), op, connection.Fd(), &ev) != 0)
        return false;
    connection.m_watched = true;
    return true;
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

bool CWebServer::CloseOldestHeadReader(bool holdingBytes) {
    for (auto& [id, c] : m_connections) {
        // Abort takes the connection off the map: the walk ends right after.
        if (!c->m_closed && c->ReadingHead() && (!holdingBytes || c->m_headCharged > 0)) {
            c->Abort();
            return true;
        }
    }
    return false;
}

void CWebServer::ChargeHeads(long long delta) {
    m_headBytes += delta;
    if (delta < 0)
        m_headBytesFreed -= delta;
}

void CWebServer::KeepHeadsInBudget() {
    while (m_headBytes > kMaxHeadsHeld && CloseOldestHeadReader(true)) {
    }
}

void CWebServer::Register(std::unique_ptr<CRequestSocket> connection) {
    CRequestSocket& c = *connection;
    m_connections.emplace(c.Id(), std::move(connection));
    ++m_perAddress[c.AddressKey()];
    if (!m_sweepTimer->isActive())
        m_sweepTimer->start();
}

void CWebServer::Unregister(CRequestSocket* connection) {
    auto found = m_connections.find(connection->Id());
    if (found == m_connections.end())
        return;
    // Kept until no event of it is being handled any more: it may be on the call stack.
    m_discarded.push_back(std::move(found->second));
    m_connections.erase(found);
    if (m_dispatchDepth == 0 && !m_deletePosted) {
        m_deletePosted = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_deletePosted = false;
                if (m_dispatchDepth == 0)
                    DeleteDiscarded();
            },
            Qt::QueuedConnection);
    }
    m_streams->Remove(connection);
    auto it = m_perAddress.find(connection->AddressKey());
    if (it != m_perAddress.end() && --it->second == 0)
        m_perAddress.erase(it);
    if (m_hooks.connectionClosed)
        m_hooks.connectionClosed();
}

bool CWebServer::ReserveBody(const std::string& clientKey, long long bytes) {
    long long& mine = m_bodyBytesByClient[clientKey];
    if (m_bodyBytes + bytes > kMaxBodiesHeld || mine + bytes > kMaxBodiesHeld / 4) {
        if (mine == 0)
            m_bodyBytesByClient.erase(clientKey);
        return false;
    }
    m_bodyBytes += bytes;
    mine += bytes;
    return true;
}

void CWebServer::ReleaseBody(const std::string& clientKey, long long bytes) {
    m_bodyBytes -= bytes;
    auto it = m_bodyBytesByClient.find(clientKey);
    if (it != m_bodyBytesByClient.end() && (it->second -= bytes) <= 0)
        m_bodyBytesByClient.erase(it);
}

void CWebServer::OnScriptDone(std::uint64_t id, bool started) {
    DispatchScope scope(*this);
    auto it = m_connections.find(id);
    if (it == m_connections.end())
        return; // the connection has gone meanwhile
    it->second->FinishScript(started);
}

void CWebServer::OnWrongPassword(const std::string& clientKey, std::string_view value) {
    auto lockout = m_lockout.WrongTry(clientKey, value, PasswordLockout::Clock::now());
    if (!lockout)
        return;
    // One fixed line per lockout, holding only the parsed address (never request text).
    std::fprintf(stderr, "kestrel: password lockout: %s after %llu wrong tries, %lld s\n", clientKey.c_str(),
                 static_cast<unsigned long long>(lockout->tries), static_cast<long long>(lockout->seconds));
    std::fflush(stderr);
}

// A body must keep coming: after its first moments it averages at least the minimum rate,
// and it is complete within the longest time. One that does not is dropped with its budget.
bool CWebServer::BodyTooSlow(const CRequestSocket& c, Clock::time_point now) const {
    if (c.m_state != CRequestSocket::ReadingBody || !c.m_request)
        return false;
    const auto elapsed = now - c.m_bodyStarted;
    if (elapsed > m_timeouts.bodyLongest)
        return true;
    if (elapsed <= m_timeouts.bodyGrace)
        return false;
    const double seconds = std::chrono::duration<double>(elapsed).count();
    return static_cast<double>(c.m_request->body.size()) <
           seconds * static_cast<double>(m_timeouts.bodyMinRate);
}

void CWebServer::Sweep() {
    DispatchScope scope(*this);
    g_descriptorLimit = ReadDescriptorLimit();
    auto now = Clock::now();
    std::vector<CRequestSocket*> expired;
    for (auto& [id, connection] : m_connections) {
        CRequestSocket* c = connection.get();
        if (c->m_closed)
            continue;
        if (c->m_finished) {
            if (now - c->m_lastSendProgress > m_timeouts.drain)
                expired.push_back(c);
        } else if (c->m_state != CRequestSocket::RequestComplete) {
            // A head trickled in byte by byte still ends at its deadline; on the TLS port the
            // deadline runs from the accept, so that it covers the handshake.
            bool headLate =
                c->ReadingHead() && (c->m_request || c->m_tls) && now - c->m_headStarted > m_timeouts.head;
            if (headLate || now - c->m_lastReceive > m_timeouts.request || BodyTooSlow(*c, now))
                expired.push_back(c);
        } else if (c->m_stream && c->StreamStalled(now, m_timeouts.streamStall)) {
            expired.push_back(c);
        } else if (!c->m_scriptRunning && now - c->m_lastSendProgress > m_timeouts.send) {
            expired.push_back(c);
        }
    }
    for (CRequestSocket* c : expired)
        c->Abort();
    // Heads let go of leave their memory with the allocator: hand it back to the system.
    if (m_headBytesFreed >= kTrimAfterHeadBytes) {
        m_headBytesFreed = 0;
        ::malloc_trim(0);
    }
    if (m_connections.empty())
        m_sweepTimer->stop();
}

} // namespace kestrel
