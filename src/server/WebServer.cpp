#include "server/WebServer.h"

#include "server/HttpParse.h"
#include "server/MediaTypes.h"
#include "server/ScriptWorker.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kFilePiece = 32 * 1024;
constexpr int kAcceptsPerNotification = 64;
constexpr std::size_t kMaxScriptHead = 1024 * 1024;

constexpr const char* kDefaultDocuments[] = {"default.html", "default.htm", "index.html", "index.htm",
                                             nullptr};
constexpr const char* kDefaultPrograms[] = {"default.exe", "default.bat", nullptr};

constexpr const char* kIconBlank =
    "<img src=\"/SvrAdmin/Blank.gif\" align=bottom alt=\"     \" border=0 width=20 height=22>";
constexpr const char* kIconFile =
    "<img src=\"/SvrAdmin/File.gif\" align=bottom alt=\"     \" border=0 width=20 height=22>";
constexpr const char* kIconFolder =
    "<img src=\"/SvrAdmin/Folder.gif\" align=bottom alt=\"     \" border=0 width=20 height=22>";
constexpr const char* kIconParent =
    "<img src=\"/SvrAdmin/Prev.gif\" align=bottom alt=\"     \" border=0 width=20 height=22>";

std::uint64_t g_nextConnectionId = 1;

std::string FormatAddress(const sockaddr_storage& ss) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
    } else if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
            inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], buf, sizeof buf);
        else
            inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
    }
    return buf;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string TempFolder() {
    const char* t = std::getenv("TMPDIR");
    std::string folder = t && *t ? t : "/tmp";
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

} // namespace

std::string PortInUseMessage(unsigned port) {
    return "ポート " + std::to_string(port) +
           " はすでに使用されています!\n\nすでにそのポートが使用されているアプリケーションまたは、Kestrelが"
           "すでに起動していないか確認してください。.";
}

std::string PortNotOpenMessage(unsigned port) {
    return "接続要求待ちポート(" + std::to_string(port) +
           ")が開いてません!\n\nTCP/"
           "IPプロトコルがインストールされているか確認してください。また他のアプリケーショ"
           "ンがそのポートを使用していないか確認してください。";
}

// ---------------------------------------------------------------------------------------
// Listening endpoint

int CListenSocket::Create(unsigned port) {
    if (port > 65535)
        return EINVAL;
    auto tryFamily = [&](int family) -> int {
        UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.Valid())
            return errno;
        int one = 1, zero = 0;
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        int rc;
        if (family == AF_INET6) {
            ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_any;
            a.sin6_port = htons(static_cast<uint16_t>(port));
            rc = ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(static_cast<uint16_t>(port));
            rc = ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        // A backlog of 5 drops connections under any burst: take what the system allows.
        if (rc != 0 || ::listen(fd.Get(), SOMAXCONN) != 0)
            return errno;
        m_fd = std::move(fd);
        return 0;
    };
    int err = tryFamily(AF_INET6);
    if (err == EAFNOSUPPORT || err == EADDRNOTAVAIL || err == EPROTONOSUPPORT)
        err = tryFamily(AF_INET);
    if (err == EADDRINUSE)
        return 10048;
    return err;
}

unsigned CListenSocket::BoundPort() const {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(m_fd.Get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return 0;
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

// ---------------------------------------------------------------------------------------
// Server control

CWebServer::CWebServer(CServerSettings& settings, IMessageBox& messageBox, ServerHooks hooks)
    : m_settings(settings), m_messageBox(messageBox), m_hooks(std::move(hooks)) {
    RaiseFileLimit();
    ::signal(SIGPIPE, SIG_IGN);
    MediaTypes::Shared(); // read the type table once, at start-up
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
                // Out of descriptors: pause accepting for a moment instead of spinning.
                m_acceptNotifier->setEnabled(false);
                QSocketNotifier* notifier = m_acceptNotifier.get();
                QTimer::singleShot(100, this, [this, notifier] {
                    if (m_acceptNotifier.get() == notifier)
                        notifier->setEnabled(true);
                });
            }
            return;
        }
        new CRequestSocket(*this, UniqueFd(fd), FormatAddress(peer), {});
    }
}

void CWebServer::Register(CRequestSocket* connection) {
    m_connections.emplace(connection->Id(), connection);
    if (!m_sweepTimer->isActive())
        m_sweepTimer->start();
}

void CWebServer::Unregister(CRequestSocket* connection) {
    m_connections.erase(connection->Id());
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
            if (now - c->m_lastReceive > m_timeouts.request)
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

// ---------------------------------------------------------------------------------------
// Connection

CRequestSocket::CRequestSocket(CWebServer& owner, UniqueFd fd, std::string peer, std::string local)
    : QObject(&owner), m_owner(owner), m_fd(std::move(fd)), m_id(g_nextConnectionId++),
      m_peer(std::move(peer)), m_local(std::move(local)) {
    m_lastReceive = m_lastSendProgress = Clock::now();
    m_readNotifier = std::make_unique<QSocketNotifier>(m_fd.Get(), QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, [this] { OnReceive(); });
    m_owner.Register(this);
}

CRequestSocket::~CRequestSocket() {
    if (m_job)
        m_job->Cancel();
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    m_readNotifier.reset();
    m_writeNotifier.reset();
    m_fd.Reset();
    if (m_request)
        m_request->done = true;
    m_owner.Unregister(this);
}

void CRequestSocket::Release() {
    if (--m_refCount > 0)
        return;
    // Let go of a running script: its worker ends the process on its own.
    if (m_job) {
        m_job->Cancel();
        m_job.reset();
    }
    m_scriptRunning = false;
    m_file.Reset();
    if (m_request) {
        m_request->done = true;
        m_request.reset();
    }
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    m_fd.Reset();
    m_owner.Unregister(this);
    deleteLater();
}

void CRequestSocket::Abort() {
    if (m_closed)
        return;
    m_closed = true;
    if (m_fd.Valid())
        ::shutdown(m_fd.Get(), SHUT_RDWR);
    Release();
}

void CRequestSocket::OnClose() {
    Abort();
}

void CRequestSocket::OnReceive() {
    char buf[16 * 1024];
    for (int round = 0; round < 16 && m_fd.Valid() && !m_closed; ++round) {
        ssize_t n = ::recv(m_fd.Get(), buf, sizeof buf, 0);
        if (n == 0) {
            OnClose();
            return;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            OnClose(); // ECONNRESET and the like: the peer has gone
            return;
        }
        m_lastReceive = Clock::now();
        // Once the request is complete, whatever else arrives is read and dropped.
        if (m_state != RequestComplete)
            ProcessBytes(buf, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < sizeof buf)
            return;
    }
}

void CRequestSocket::ProcessBytes(const char* data, std::size_t size) {
    if (!m_request) {
        m_request = std::make_shared<CRequest>();
        m_request->requestTime = std::time(nullptr);
        if (m_owner.Hooks().picturePassword)
            m_parser.SetPicturePassword(m_owner.Hooks().picturePassword());
    }
    if (m_parser.Feed(data, size, *m_request))
        Complete();
}

void CRequestSocket::Complete() {
    m_state = RequestComplete;
    m_picturePassed = m_parser.PicturePassed();
    m_pendingError = m_parser.Error();
    if (!StartResponse())
        OnSend();
}

// ---------------------------------------------------------------------------------------
// Output

void CRequestSocket::AppendStatus(unsigned code) {
    m_request->status = code;
    AppendStatus(StatusLine(code));
}

void CRequestSocket::AppendStatus(const std::string& text) {
    AppendText("HTTP/1.0 ");
    AppendText(text);
    AppendText("\r\n");
    AppendHeader("Server", kServerSoftware);
    AppendHeader("Date", FormatHttpDate(std::time(nullptr)));
}

void CRequestSocket::AppendHeader(const char* name, const std::string& value) {
    AppendText(name);
    AppendText(": ");
    AppendText(value);
    AppendText("\r\n");
}

void CRequestSocket::AppendError(unsigned code) {
    AppendStatus(code);
    AppendText("\r\n");
    m_errorAnswer = true;
}

void CRequestSocket::WantWrite(bool on) {
    if (on && !m_writeNotifier) {
        m_writeNotifier = std::make_unique<QSocketNotifier>(m_fd.Get(), QSocketNotifier::Write);
        connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, [this] { OnSend(); });
        return;
    }
    if (m_writeNotifier && m_writeNotifier->isEnabled() != on)
        m_writeNotifier->setEnabled(on);
}

void CRequestSocket::FillFromFile() {
    if (!m_file.Valid())
        return;
    std::size_t room = kFilePiece;
    if (m_fileLeft >= 0)
        room = std::min<std::size_t>(room, static_cast<std::size_t>(m_fileLeft));
    std::size_t old = m_out.size();
    ssize_t n = 0;
    if (room > 0) {
        m_out.resize(old + room);
        do
            n = ::read(m_file.Get(), m_out.data() + old, room);
        while (n < 0 && errno == EINTR);
        m_out.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
    }
    if (n > 0 && m_fileLeft >= 0)
        m_fileLeft -= n;
    if (n <= 0 || m_fileLeft == 0)
        m_file.Reset();
}

void CRequestSocket::OnSend() {
    if (m_closed || !m_fd.Valid() || m_scriptRunning)
        return;
    for (;;) {
        if (m_outPos >= m_out.size()) {
            m_out.clear();
            m_outPos = 0;
            if (!m_file.Valid())
                break;
            FillFromFile();
            if (m_out.empty())
                break;
        }
        ssize_t n = ::send(m_fd.Get(), m_out.data() + m_outPos, m_out.size() - m_outPos, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                WantWrite(true);
                return;
            }
            Abort(); // the peer has gone: end silently
            return;
        }
        m_outPos += static_cast<std::size_t>(n);
        if (m_request)
            m_request->bytesSent += n;
        m_lastSendProgress = Clock::now();
    }
    Finish();
}

void CRequestSocket::Finish() {
    WantWrite(false);
    m_finished = true;
    m_file.Reset();
    if (m_request) {
        m_request->done = true;
        m_request.reset();
    }
    int pending = 0;
    ::ioctl(m_fd.Get(), FIONREAD, &pending);
    if (!m_errorAnswer && pending == 0) {
        m_closed = true;
        Release();
        return;
    }
    // Unread request bytes would turn close() into a reset that loses the answer: stop
    // sending, then read and drop what comes for a while.
    ::shutdown(m_fd.Get(), SHUT_WR);
    m_state = RequestComplete;
    m_lastSendProgress = Clock::now();
}

std::string CRequestSocket::Root() const {
    std::string root = m_owner.Settings().strRoot;
    if (root.empty() || root[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd))
            root = std::string(cwd) + "/" + root;
    }
    return NormalizePath(root);
}

// ---------------------------------------------------------------------------------------
// Response

bool CRequestSocket::StartResponse() {
    CRequest& r = *m_request;
    r.clientAddress = m_peer;
    bool result = false;
    if (m_pendingError) {
        AppendError(m_pendingError);
    } else if (r.contentLength == 0 && CompareNoCase(r.method, "GET") == 0) {
        if ((r.url == "/frame.jpg" && m_picturePassed) || r.url == "/framei.jpg") {
            if (m_owner.Hooks().composeFrame)
                m_owner.Hooks().composeFrame();
        }
        ResolveTarget();
        if (r.status == 0) {
            if (r.execKind != ExecNone)
                result = StartScript();
            else if (WriteFileHeaders())
                StartBody();
        }
    } else if (r.contentLength == 0 && CompareNoCase(r.method, "HEAD") == 0) {
        m_treatAsHead = true;
        ResolveTarget();
        if (r.status == 0) {
            if (r.execKind != ExecNone) {
                result = StartScript();
            } else {
                WriteFileHeaders();
                m_file.Reset();
            }
        }
    } else if (r.contentLength > 0 && CompareNoCase(r.method, "POST") == 0) {
        r.execKind = ExecQuery;
        ResolveTarget();
        if (r.status == 0)
            result = StartScript();
    } else {
        AppendError(501);
    }
    if (m_owner.Hooks().recordHit)
        m_owner.Hooks().recordHit(m_request);
    return result;
}

void CRequestSocket::ResolveTarget() {
    CRequest& r = *m_request;
    const std::string root = Root();
    std::string candidate;
    if (!MapUrlToPath(root, r.url, candidate)) {
        AppendError(400);
        return;
    }
    std::string extra;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) != 0) {
        for (;;) {
            auto slash = candidate.rfind('/');
            if (slash == std::string::npos || slash < root.size()) {
                AppendError(404);
                return;
            }
            extra = candidate.substr(slash) + extra;
            candidate.resize(slash);
            if (::stat(candidate.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                AppendError(404);
                return;
            }
            break;
        }
    }
    // The picture password guards every spelling of the picture's path.
    if (!m_picturePassed && candidate == JoinPath(root, "frame.jpg")) {
        candidate = JoinPath(root, "pass.jpg");
        r.url = "/pass.jpg";
        extra.clear();
        if (::stat(candidate.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
            AppendError(404);
            return;
        }
    }
    r.fileAttributes = S_ISDIR(st.st_mode) ? kAttrFolder : 0;
    r.filePath = candidate;
    if (!extra.empty()) {
        r.pathInfo = extra;
        std::string translated;
        if (MapUrlToPath(root, extra, translated))
            r.pathTranslated = translated;
    }
    if (r.fileAttributes & kAttrFolder) {
        // A hidden folder is refused as a whole, before its default documents are looked for.
        if (IsHiddenBelowRoot(root, r.filePath)) {
            AppendError(403);
            return;
        }
        if (!TryDefaultDocuments(kDefaultDocuments, false))
            TryDefaultDocuments(kDefaultPrograms, true);
    } else if (r.execKind != ExecNone && !ClassifyExecutable()) {
        AppendError(400);
    }
}

bool CRequestSocket::TryDefaultDocuments(const char* const* names, bool withQuery) {
    CRequest& r = *m_request;
    for (; *names; ++names) {
        std::string candidate = JoinPath(r.filePath, *names);
        struct stat st {};
        if (::stat(candidate.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
            continue;
        std::string root = Root();
        std::string path = candidate.substr(root == "/" ? 0 : root.size());
        std::string location = AbsoluteUrl(path);
        if (withQuery)
            location += "?";
        AppendStatus(302);
        AppendHeader("Location", location);
        AppendText("\r\n");
        return true;
    }
    return false;
}

bool CRequestSocket::ClassifyExecutable() {
    CRequest& r = *m_request;
    auto dot = r.filePath.rfind('.');
    auto slash = r.filePath.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    std::string ext = r.filePath.substr(dot + 1);
    if (CompareNoCase(ext, "bat") == 0 || CompareNoCase(ext, "exe") == 0) {
        r.execKind = ExecProgram;
        return true;
    }
    if (CompareNoCase(ext, "dll") == 0) {
        r.execKind = ExecLibrary;
        return true;
    }
    return false;
}

std::string CRequestSocket::AbsoluteUrl(const std::string& path) const {
    const CServerSettings& s = m_owner.Settings();
    std::string portPart = s.uPort != 80 ? ":" + std::to_string(s.uPort) : std::string();
    if (!s.strServer.empty())
        return "http://" + BracketIfIpv6(s.strServer) + portPart + path;
    std::string host = m_request->GetHeader("Host");
    if (IsValidHostHeader(host))
        return "http://" + host + path;
    return "http://" + ServerName() + portPart + path;
}

std::string CRequestSocket::ServerName() const {
    const CServerSettings& s = m_owner.Settings();
    if (!s.strServer.empty())
        return BracketIfIpv6(s.strServer);
    std::string host = m_request->GetHeader("Host");
    if (IsValidHostHeader(host))
        return HostWithoutPort(host);
    // The address this connection arrived on.
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(m_fd.Get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return "localhost";
    return BracketIfIpv6(FormatAddress(ss));
}

bool CRequestSocket::WriteFileHeaders() {
    CRequest& r = *m_request;
    if (IsHiddenBelowRoot(Root(), r.filePath)) {
        AppendError(403);
        return false;
    }
    if (r.fileAttributes & kAttrFolder) {
        if (m_owner.Settings().bAllowListing) {
            AppendStatus(200);
            AppendText("\r\n");
            return true;
        }
        AppendError(403);
        return false;
    }
    UniqueFd file(::open(r.filePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (!file.Valid() || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        AppendError(503);
        return false;
    }
    std::string since = r.GetHeader("If-Modified-Since");
    if (!since.empty()) {
        auto date = ParseHttpDate(since);
        if (date && st.st_mtime <= *date) {
            AppendStatus(304);
            AppendText("\r\n");
            return false;
        }
    }
    AppendStatus(200);
    std::string type = MediaTypes::Shared().ForPath(r.filePath);
    if (!type.empty())
        AppendHeader("Content-type", type);
    AppendHeader("Content-length", std::to_string(static_cast<long long>(st.st_size)));
    AppendHeader("Last-Modified", FormatHttpDate(st.st_mtime));
    AppendText("\r\n");
    m_file = std::move(file);
    m_fileLeft = st.st_size;
    return true;
}

void CRequestSocket::StartBody() {
    if (m_file.Valid())
        FillFromFile();
    else if (m_request->fileAttributes & kAttrFolder)
        WriteDirectoryListing();
}

void CRequestSocket::WriteDirectoryListing() {
    CRequest& r = *m_request;
    const bool icons = m_owner.Settings().bListIcon != 0;
    std::string heading = "http://" + ServerName() + r.url;
    std::string rowBase = r.url;
    if (rowBase.empty() || rowBase.back() != '/')
        rowBase += '/';
    const bool rootPage = r.url == "/";
    AppendText("<html><h1>");
    AppendText(HtmlEscape(heading));
    AppendText("</h1><p>\n");
    if (rootPage)
        AppendText("Kestrelサーバーへようこそ！！<p>\n");
    AppendText(std::string("<pre> Last Modified       Size ") + (icons ? kIconBlank : "") + "Name\n<hr>\n");

    struct Entry {
        std::string name;
        bool folder;
        std::uint64_t size;
        std::time_t modified;
    };
    std::vector<Entry> entries;
    DIR* dir = ::opendir(r.filePath.c_str());
    if (dir) {
        while (dirent* e = ::readdir(dir)) {
            std::string name = e->d_name;
            if (name.empty() || name[0] == '.')
                continue; // ".", ".." and hidden entries
            struct stat st {};
            if (::fstatat(::dirfd(dir), e->d_name, &st, 0) != 0)
                continue;
            entries.push_back(
                {name, S_ISDIR(st.st_mode), static_cast<std::uint64_t>(st.st_size), st.st_mtime});
        }
        ::closedir(dir);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        int c = CompareNoCase(a.name, b.name);
        return c != 0 ? c < 0 : a.name < b.name;
    });
    for (const Entry& e : entries) {
        std::string link = rowBase;
        for (char c : e.name) {
            if (c == ' ')
                link += "%20";
            else
                link += c;
        }
        std::string date = ListingDate(e.modified);
        date.resize(std::max<std::size_t>(date.size(), 15), ' ');
        std::string row = " " + date + " " + ListingSizeText(e.folder, e.size) + " <a href=\"" +
                          HtmlEscape(link) + "\">" + (icons ? (e.folder ? kIconFolder : kIconFile) : "") +
                          HtmlEscape(e.name) + "</a>\n";
        AppendText(row);
    }
    if (entries.empty())
        AppendText("<strong>empty</strong>\n");
    AppendText("</pre>\n");
    if (!rootPage)
        AppendText(std::string("<hr><h3><a href=\".\">") + (icons ? kIconParent : "") +
                   " Parent Folder</a></h3>\n");
    AppendText("<hr><em>Kestrel Server!</em>\n");
    AppendText("\r\n");
}

// ---------------------------------------------------------------------------------------
// Scripts

bool CRequestSocket::RefuseScriptTarget() {
    CRequest& r = *m_request;
    if (IsHiddenBelowRoot(Root(), r.filePath)) {
        AppendError(403);
        return true;
    }
    if (r.fileAttributes & kAttrFolder) {
        AppendError(400); // a query on something that is not a program
        return true;
    }
    if (r.execKind == ExecLibrary) {
        AppendError(501);
        return true;
    }
    struct stat st {};
    if (::stat(r.filePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & 0111)) {
        AppendError(500); // refused like a program that cannot be started
        return true;
    }
    return false;
}

bool CRequestSocket::StartScript() {
    CRequest& r = *m_request;
    if (RefuseScriptTarget())
        return false;
    std::string pattern = TempFolder() + "/CGIXXXXXX";
    UniqueFd out(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!out.Valid()) {
        AppendError(500);
        return false;
    }
    ::unlink(pattern.c_str());

    auto job = std::make_shared<ScriptJob>();
    job->output.Reset(::fcntl(out.Get(), F_DUPFD_CLOEXEC, 0));
    const CServerSettings& s = m_owner.Settings();
    std::vector<std::string> args = ScriptArguments(r.query);
    auto dot = r.filePath.rfind('.');
    bool batch = dot != std::string::npos && CompareNoCase(r.filePath.substr(dot + 1), "bat") == 0;
    if (batch) {
        job->program = "/bin/sh";
        job->argv = {"/bin/sh", r.filePath};
    } else {
        job->program = r.filePath;
        job->argv = {r.filePath};
    }
    job->argv.insert(job->argv.end(), args.begin(), args.end());
    job->workDir = r.filePath.substr(0, r.filePath.rfind('/') + 1);

    ScriptEnvironment env;
    env.Add("SERVER_SOFTWARE", kServerSoftware);
    env.Add("SERVER_NAME", ServerName());
    env.Add("GATEWAY_INTERFACE", "CGI/1.1");
    env.Add("SERVER_PROTOCOL", "HTTP/1.0");
    env.Add("SERVER_PORT", std::to_string(s.uPort));
    env.Add("REQUEST_METHOD", r.method);
    env.Add("SCRIPT_NAME", r.url);
    env.Add("QUERY_STRING", r.query);
    env.Add("REMOTE_ADDR", r.clientAddress);
    if (r.contentLength > 0) {
        env.Add("CONTENT_LENGTH", r.GetHeader("Content-Length"));
        env.Add("CONTENT_TYPE", r.GetHeader("Content-Type"));
        job->body = r.body;
    }
    if (!r.pathInfo.empty()) {
        env.Add("PATH_INFO", r.pathInfo);
        env.Add("PATH_TRANSLATED", r.pathTranslated);
    }
    for (const auto& [name, value] : r.headers) {
        std::string variable = ScriptHeaderVariable(name);
        if (!variable.empty())
            env.Add(variable, value);
    }
    job->env = env.Entries();

    if (!job->output.Valid()) {
        AppendError(500);
        return false;
    }
    std::weak_ptr<int> alive = m_owner.m_alive;
    CWebServer* owner = &m_owner;
    std::uint64_t id = m_id;
    auto done = [alive, owner, id](ScriptOutcome outcome) {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(
            app,
            [alive, owner, id, outcome] {
                if (alive.lock())
                    owner->OnScriptDone(id, outcome == ScriptOutcome::Finished);
            },
            Qt::QueuedConnection);
    };
    if (!StartScriptWorker(job, done)) {
        AppendError(500);
        return false;
    }
    m_job = std::move(job);
    m_file = std::move(out);
    m_fileLeft = -1;
    m_scriptRunning = true;
    return true;
}

void CRequestSocket::FinishScript(bool started) {
    m_scriptRunning = false;
    m_job.reset();
    if (m_closed) {
        m_file.Reset();
        return;
    }
    if (!started) {
        m_file.Reset();
        AppendError(500);
    } else {
        ::lseek(m_file.Get(), 0, SEEK_SET);
        WriteScriptHeaders();
        if (m_treatAsHead)
            m_file.Reset();
        else
            FillFromFile();
    }
    m_lastSendProgress = Clock::now();
    OnSend();
}

bool CRequestSocket::WriteScriptHeaders() {
    std::string text;
    ScriptHead head;
    char buf[16 * 1024];
    for (;;) {
        ssize_t n = ::read(m_file.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0)
            text.append(buf, static_cast<std::size_t>(n));
        head = ParseScriptHead(text);
        if (head.complete || n <= 0 || text.size() >= kMaxScriptHead)
            break;
    }
    if (head.complete)
        ::lseek(m_file.Get(), static_cast<off_t>(head.bodyOffset), SEEK_SET);
    else
        m_file.Reset(); // no empty line: everything was head, the body is empty
    if (head.status.empty())
        AppendStatus(200);
    else
        AppendStatus(head.status);
    AppendText(head.headers);
    AppendText("\r\n");
    return head.complete;
}

} // namespace kestrel
