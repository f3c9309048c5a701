// Mapping a request's path to a file below the web root, the picture password's reach
// over the camera files, and the head of a file answer.

#include "model/HostChecks.h"
#include "server/ClientAddress.h"
#include "server/Escaping.h"
#include "server/HttpSyntax.h"
#include "server/MediaTypes.h"
#include "server/RequestSocket.h"
#include "server/ServerPaths.h"
#include "server/UrlMapping.h"
#include "server/WebServer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

constexpr const char* kDefaultDocuments[] = {"default.html", "default.htm", "index.html", "index.htm",
                                             nullptr};
constexpr const char* kDefaultPrograms[] = {"default.exe", "default.bat", nullptr};

// The camera's files in the web root that the picture password covers.
constexpr const char* kPictureFile = "frame.jpg";
constexpr const char* kSmallPictureFile = "framei.jpg";
constexpr const char* kGrabFile = "capframe.bmp";
constexpr const char* kSnapshotFolder = "logpic";
constexpr const char* kRefusedPictureFile = "pass.jpg";

// The path with every link resolved; empty when it cannot be resolved.
std::string RealPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

bool SameFile(const struct stat& st, const std::string& path) {
    struct stat other {};
    return ::stat(path.c_str(), &other) == 0 && other.st_dev == st.st_dev && other.st_ino == st.st_ino;
}

} // namespace

const std::string& CRequestSocket::Root() const {
    if (!m_root.empty())
        return m_root;
    std::string root = m_owner.Settings().strRoot;
    if (root.empty() || root[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd))
            root = std::string(cwd) + "/" + root;
    }
    m_root = NormalizePath(root);
    return m_root;
}

// While a picture password is set, the grabbed frame, the motion snapshots and any other
// name of the composed picture are answered like a refused picture request: no request
// can carry the password to them. `candidate` is the mapped path, which may not exist.
bool CRequestSocket::IsProtectedPicture(const std::string& root, const std::string& candidate) const {
    if (!m_passwordSet)
        return false;
    const std::string snapshots = JoinPath(root, kSnapshotFolder);
    if (candidate == JoinPath(root, kGrabFile) ||
        (candidate != snapshots && IsAtOrBelow(candidate, snapshots)))
        return true;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) != 0)
        return false;
    // Hard or symbolic links to the pictures.
    if (S_ISREG(st.st_mode) &&
        (SameFile(st, JoinPath(root, kPictureFile)) || SameFile(st, JoinPath(root, kGrabFile))))
        return true;
    // A link into the snapshot folder from elsewhere.
    if (S_ISREG(st.st_mode)) {
        std::string real = RealPath(candidate), realSnapshots = RealPath(snapshots);
        if (!real.empty() && !realSnapshots.empty() && real != realSnapshots &&
            IsAtOrBelow(real, realSnapshots))
            return true;
    }
    return false;
}

// Whether a listed folder is the snapshot folder (under any name) while a picture
// password is set: its entries are not shown.
bool CRequestSocket::IsSnapshotFolder(const std::string& root, const std::string& folder) const {
    if (!m_passwordSet)
        return false;
    const std::string snapshots = JoinPath(root, kSnapshotFolder);
    if (IsAtOrBelow(folder, snapshots))
        return true;
    std::string real = RealPath(folder), realSnapshots = RealPath(snapshots);
    return !real.empty() && !realSnapshots.empty() && IsAtOrBelow(real, realSnapshots);
}

// Whether the mapped target exists, its attributes in `st`. A file that a plain request
// will be answered with is opened right away and kept for WriteFileHeaders: one open and
// one fstat instead of a stat by name, an open and an fstat.
bool CRequestSocket::StatTarget(const std::string& root, const std::string& candidate, struct stat& st) {
    m_target.Reset();
    if (m_request->execKind == ExecNone && !IsHiddenTarget(root, candidate)) {
        UniqueFd fd(::open(candidate.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (fd.Valid()) {
            if (::fstat(fd.Get(), &st) == 0) {
                if (S_ISREG(st.st_mode)) {
                    m_target = std::move(fd);
                    m_targetStat = st;
                }
                return true;
            }
        } else if (errno == ENOENT || errno == ENOTDIR) {
            return false;
        }
        // Present but not readable, say: its attributes by name, as for any other target.
    }
    return ::stat(candidate.c_str(), &st) == 0;
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
    // The password guards every spelling and every other name of the pictures; the one
    // request that passed it is the composed picture itself.
    const bool passedPicture = m_picturePassed && candidate == JoinPath(root, kPictureFile);
    bool refusedPicture = !passedPicture && IsProtectedPicture(root, candidate);
    if (!refusedPicture && !StatTarget(root, candidate, st)) {
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
        // The file found ahead of the path info.
        refusedPicture = IsProtectedPicture(root, candidate);
    }
    m_livePicture = refusedPicture || m_streamRefused || m_parser.PasswordRefused() ||
                    candidate == JoinPath(root, kPictureFile) ||
                    candidate == JoinPath(root, kSmallPictureFile);
    if (refusedPicture) {
        candidate = JoinPath(root, kRefusedPictureFile);
        r.url = std::string("/") + kRefusedPictureFile;
        extra.clear();
        if (::stat(candidate.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
            AppendError(404);
            return;
        }
    }
    if (m_owner.Private().Holds(st)) {
        m_target.Reset();
        AppendError(404);
        return;
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
        // A reference without scheme and host: it never repeats an unchecked Host header,
        // and stays right behind a proxy and over HTTPS.
        std::string location = PercentEncodePath(path);
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

std::string CRequestSocket::Scheme() const {
    if (!m_origin.scheme.empty())
        return m_origin.scheme;
    return m_tls ? "https" : "http";
}

unsigned CRequestSocket::SchemePort() const {
    if (m_origin.scheme.empty() && m_origin.host.empty())
        return m_tls ? m_owner.Settings().TlsPort : m_owner.Settings().uPort;
    // Behind a proxy: the port the client wrote (in the forwarded host, or in the Host
    // header the proxy passed on), else the usual one of its scheme.
    std::string host = m_origin.host;
    if (host.empty()) {
        host = m_request->GetHeader("Host");
        if (!IsValidHostHeader(host))
            host.clear();
    }
    const auto colon = host.rfind(':');
    const auto bracket = host.rfind(']');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        const unsigned long port = std::strtoul(host.c_str() + colon + 1, nullptr, 10);
        if (port > 0 && port <= 65535)
            return static_cast<unsigned>(port);
    }
    return Scheme() == "https" ? 443 : 80;
}

std::string CRequestSocket::ServerName() const {
    if (!m_origin.host.empty())
        return HostWithoutPort(m_origin.host);
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

// Writes the refusal and answers true when the target is hidden (file or folder).
bool CRequestSocket::IsHiddenTarget(const std::string& root, const std::string& path) const {
    if (!IsHiddenBelowRoot(root, path))
        return false;
    // A certificate tool proves the site through plain files there: those alone are served
    // (no folder, no listing, no script).
    struct stat st {};
    return !(m_request->execKind == ExecNone && IsAcmeChallengePath(root, path) &&
             ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode));
}

bool CRequestSocket::RefuseHiddenTarget() {
    if (!IsHiddenTarget(Root(), m_request->filePath))
        return false;
    AppendError(403);
    return true;
}

CRequestSocket::Handled CRequestSocket::AnswerFile(Method method) {
    const bool body = WriteFileHeaders();
    if (method == kHead)
        m_file.Reset();
    else if (body)
        FillFromFile();
    return Handled::Answered;
}

// The live pictures change every moment: a browser asks again each time, a shared cache
// (a proxy or CDN in front of many viewers) may answer from one copy for a second. With a
// password nothing is kept anywhere, nor is the refusal (the next try may carry it).
void CRequestSocket::AppendCacheControl() {
    if (m_livePicture)
        AppendHeader("Cache-Control", m_passwordSet ? "no-store, private" : "max-age=0, s-maxage=1");
}

// The head of a file answer; true when the file's bytes follow.
bool CRequestSocket::WriteFileHeaders() {
    CRequest& r = *m_request;
    if (RefuseHiddenTarget())
        return false;
    UniqueFd file;
    struct stat st {};
    if (m_target.Valid()) { // opened while the target was resolved
        file = std::move(m_target);
        st = m_targetStat;
    } else {
        file.Reset(::open(r.filePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    }
    if (!file.Valid() || (st.st_mode == 0 && ::fstat(file.Get(), &st) != 0) || !S_ISREG(st.st_mode)) {
        AppendError(503);
        return false;
    }
    std::string since = r.GetHeader("If-Modified-Since");
    if (!since.empty()) {
        auto date = ParseHttpDate(since);
        if (date && st.st_mtime <= *date) {
            AppendStatus(304);
            AppendCacheControl();
            AppendText("\r\n");
            return false;
        }
    }
    // Room for the head and the file's first piece at once, not grown a header at a time.
    m_out.reserve(m_out.size() + 512 + static_cast<std::size_t>(std::min<long long>(st.st_size, 32 * 1024)));
    AppendStatus(200);
    std::string type = MediaTypes::Shared().ForPath(r.filePath);
    if (!type.empty())
        AppendHeader("Content-type", type);
    AppendHeader("Content-length", std::to_string(static_cast<long long>(st.st_size)));
    AppendHeader("Last-Modified", m_owner.m_dateModified.Format(st.st_mtime));
    AppendCacheControl();
    AppendText("\r\n");
    m_file = std::move(file);
    m_fileLeft = st.st_size;
    return true;
}

} // namespace kestrel
