#include "server/RequestSocket.h"

#include "server/HttpSyntax.h"
#include "server/ScriptWorker.h"
#include "server/WebServer.h"

#include <algorithm>
#include <cerrno>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel {

namespace {

constexpr std::size_t kFilePiece = 32 * 1024;
std::uint64_t g_nextConnectionId = 1;

} // namespace

CRequestSocket::CRequestSocket(CWebServer& owner, UniqueFd fd, std::string peer, std::string addressKey,
                               std::unique_ptr<TlsSession> tls)
    : m_owner(owner), m_fd(std::move(fd)), m_tls(std::move(tls)), m_id(g_nextConnectionId++),
      m_peer(std::move(peer)), m_addressKey(std::move(addressKey)) {
    m_headStarted = m_lastReceive = m_lastSendProgress = Clock::now();
}

// The server deletes a connection only once it has let go of it (Release) or when the
// server itself ends.
CRequestSocket::~CRequestSocket() {
    if (m_job)
        m_job->Cancel();
    m_fd.Reset();
    if (m_request)
        m_request->done = true;
    SetScriptRunning(false);
    ReleaseBody();
    ChargeHead(0);
}

void CRequestSocket::Release() {
    if (--m_refCount > 0)
        return;
    // Let go of a running script: its worker ends the process on its own.
    if (m_job) {
        m_job->Cancel();
        m_job.reset();
    }
    SetScriptRunning(false);
    m_file.Reset();
    m_target.Reset();
    ReleaseBody();
    ChargeHead(0);
    if (m_request) {
        m_request->done = true;
        m_request.reset();
    }
    // Closing the socket also takes it out of the server's readiness set.
    m_tls.reset();
    m_fd.Reset();
    m_wantWrite = false;
    // The server deletes the connection once the events being handled are through.
    m_owner.Unregister(this);
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

// ---------------------------------------------------------------------------------------
// Reading the request

void CRequestSocket::OnReceive() {
    if (m_tls && !TlsHandshake())
        return;
    if (m_tlsWriteWantsRead) {
        m_tlsWriteWantsRead = false;
        OnSend();
    }
    // A TLS record's contents fit the buffer whole, so nothing stays held in the session
    // that the readiness set would not announce.
    char buf[16 * 1024];
    for (int round = 0; round < 16 && m_fd.Valid() && !m_closed; ++round) {
        ssize_t n = ReceiveSome(buf, sizeof buf);
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
        // A short read empties the socket; a TLS read ends at a record's end instead.
        if (!m_tls && static_cast<std::size_t>(n) < sizeof buf)
            return;
    }
}

bool CRequestSocket::TlsHandshake() {
    if (m_tls->HandshakeDone())
        return true;
    switch (m_tls->Handshake()) {
    case TlsIo::Done:
        WantWrite(false);
        return true;
    case TlsIo::WantRead:
        WantWrite(false);
        return false;
    case TlsIo::WantWrite:
        WantWrite(true);
        return false;
    default:
        // Plain HTTP, a scanner, a client that gave up: closed without an answer or a hit.
        Abort();
        return false;
    }
}

ssize_t CRequestSocket::ReceiveSome(char* data, std::size_t size) {
    if (!m_tls)
        return ::recv(m_fd.Get(), data, size, 0);
    std::size_t moved = 0;
    switch (m_tls->Read(data, size, moved)) {
    case TlsIo::Done:
        return static_cast<ssize_t>(moved);
    case TlsIo::Closed:
        return 0;
    case TlsIo::WantWrite:
        m_tlsReadWantsWrite = true;
        WantWrite(true);
        [[fallthrough]];
    case TlsIo::WantRead:
        errno = EAGAIN;
        return -1;
    default:
        errno = ECONNRESET;
        return -1;
    }
}

ssize_t CRequestSocket::SendSome(const char* data, std::size_t size) {
    if (!m_tls) {
        const ssize_t n = ::send(m_fd.Get(), data, size, MSG_NOSIGNAL);
        if (n > 0)
            m_plainBytesWritten += n;
        return n;
    }
    std::size_t moved = 0;
    switch (m_tls->Write(data, size, moved)) {
    case TlsIo::Done:
        return static_cast<ssize_t>(moved);
    case TlsIo::WantRead:
        m_tlsWriteWantsRead = true;
        [[fallthrough]];
    case TlsIo::WantWrite:
        errno = EAGAIN;
        return -1;
    default:
        errno = EPIPE;
        return -1;
    }
}

void CRequestSocket::OnWritable() {
    if (m_tls && (m_tlsReadWantsWrite || !m_tls->HandshakeDone())) {
        m_tlsReadWantsWrite = false;
        if (!m_sendBlocked)
            WantWrite(false);
        OnReceive();
        if (m_closed)
            return;
    }
    if (m_sendBlocked)
        OnSend();
}

void CRequestSocket::ProcessBytes(const char* data, std::size_t size) {
    if (!m_request) {
        m_request = std::make_shared<CRequest>();
        m_request->requestTime = std::time(nullptr);
        // The bytes were taken just now; on the TLS port the deadline runs from the accept.
        if (!m_tls)
            m_headStarted = m_lastReceive;
        if (m_owner.Hooks().picturePassword)
            m_parser.SetPicturePassword(m_owner.Hooks().picturePassword());
        m_parser.SetStreamEnabled(m_owner.Settings().StreamEnabled != 0);
    }
    if (ReadingHead()) {
        std::size_t used = m_parser.FeedHead(data, size, *m_request);
        ChargeHead(m_parser.HeadComplete() ? 0 : static_cast<long long>(m_parser.HeadMemory()));
        if (!m_parser.HeadComplete()) {
            m_state = ReadingHeaders;
            m_owner.KeepHeadsInBudget();
            return;
        }
        if (!OnHeadComplete())
            return;
        data += used;
        size -= used;
    }
    if (m_state == ReadingBody) {
        m_parser.FeedBody(data, size, *m_request);
        if (m_parser.Complete())
            OnBodyComplete();
    }
}

// The head is complete: the target is resolved and checked before any body is read, so
// a request that will be refused costs no memory however large its body. True when the
// body is to be read next.
bool CRequestSocket::OnHeadComplete() {
    CRequest& r = *m_request;
    FindClient();
    r.clientAddress = m_clientAddress;
    // A locked-out client's password is not compared: it is answered as a wrong one.
    if (m_parser.PasswordOffered()) {
        const std::string& key = ClientKey();
        const bool locked = m_owner.m_lockout.Locked(key, PasswordLockout::Clock::now());
        if (m_parser.SettlePassword(locked, r) == RequestParser::PasswordTry::Wrong)
            m_owner.OnWrongPassword(key, m_parser.OfferedPassword());
    }
    m_picturePassed = m_parser.PicturePassed();
    m_passwordSet = m_parser.PasswordSet();
    m_streamPassed = m_parser.StreamPassed();
    m_state = RequestComplete;
    const Handled handled = StartResponse(m_parser.Error());
    if (handled == Handled::BodyNeeded) {
        m_state = ReadingBody;
        return true;
    }
    if (r.contentLength > 0)
        m_bodyUnread = true; // answered without its body being read
    Respond(handled == Handled::ScriptStarted);
    return false;
}

void CRequestSocket::FindClient() {
    m_clientAddress = m_peer;
    m_clientKey = m_addressKey;
    if (!m_owner.IsTrustedProxy(m_peer))
        return;
    const auto peer = ParseIpAddress(m_peer);
    if (!peer)
        return;
    const CRequest& r = *m_request;
    m_viaProxy = true;
    const IpAddress client = ForwardedClient(*peer, r.GetHeader("X-Forwarded-For"), m_owner.TrustedProxies());
    m_clientAddress = FormatIpAddress(client);
    m_clientKey = ClientKeyOf(client);
    m_origin = ParseForwardedOrigin(r.GetHeader("X-Forwarded-Proto"), r.GetHeader("X-Forwarded-Host"));
}

void CRequestSocket::OnBodyComplete() {
    m_state = RequestComplete;
    bool started = LaunchScript();
    if (!started) {
        m_request->body = std::string(); // the request waits for the log: it keeps no body
        ReleaseBody();
    }
    Respond(started);
}

// Every request answered ends here: it is recorded, and unless a script is running
// its answer is sent.
void CRequestSocket::Respond(bool scriptStarted) {
    if (m_owner.Hooks().recordHit)
        m_owner.Hooks().recordHit(m_stream ? StreamLogEntry() : m_request);
    if (!scriptStarted)
        OnSend();
}

void CRequestSocket::ChargeHead(long long bytes) {
    m_owner.ChargeHeads(bytes - m_headCharged);
    m_headCharged = bytes;
}

void CRequestSocket::ReleaseBody() {
    if (m_bodyReserved > 0)
        m_owner.ReleaseBody(ClientKey(), m_bodyReserved);
    m_bodyReserved = 0;
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
    AppendHeader("Date", m_owner.m_dateNow.Format(std::time(nullptr)));
    if (m_tls && m_owner.Settings().TlsHsts > 0)
        AppendHeader("Strict-Transport-Security", "max-age=" + std::to_string(m_owner.Settings().TlsHsts));
}

void CRequestSocket::AppendHeader(const char* name, std::string_view value) {
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
    if (on == m_wantWrite || !m_fd.Valid())
        return;
    m_wantWrite = on;
    if (!m_owner.Watch(*this) && on)
        Abort(); // its answer could never be sent
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

// What is to be sent next: the rest of the output buffer, then the rest of the stream's
// picture or the file's next piece (read into the buffer). Empty when nothing is left.
std::string_view CRequestSocket::NextPiece() {
    if (m_outPos < m_out.size())
        return std::string_view(m_out).substr(m_outPos);
    m_out.clear();
    m_outPos = 0;
    if (m_stream) {
        if (!m_stream->Busy())
            return {};
        return std::string_view(*m_stream->part).substr(m_stream->sent);
    }
    if (!m_file.Valid())
        return {};
    FillFromFile();
    return m_out;
}

// The one send loop: sends until nothing is left (true), the socket is full (it is then
// watched for room) or the peer has gone (the connection ends silently).
bool CRequestSocket::SendWaiting() {
    m_sendBlocked = false;
    for (;;) {
        const std::string_view piece = NextPiece();
        if (piece.empty())
            return true;
        ssize_t n = SendSome(piece.data(), piece.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                m_sendBlocked = true;
                // A TLS write that waits for bytes to arrive goes on when they do.
                if (!m_tlsWriteWantsRead)
                    WantWrite(true);
                return false;
            }
            Abort();
            return false;
        }
        // The piece came from the output buffer while it holds unsent bytes, otherwise
        // from the stream's picture.
        if (m_outPos < m_out.size())
            m_outPos += static_cast<std::size_t>(n);
        else
            m_stream->sent += static_cast<std::size_t>(n);
        if (m_request)
            m_request->bytesSent += n;
        m_lastSendProgress = Clock::now();
    }
}

void CRequestSocket::OnSend() {
    if (m_closed || !m_fd.Valid() || m_scriptRunning)
        return;
    if (!SendWaiting())
        return;
    if (m_stream) {
        // Between pictures: nothing is held and nothing watched until the next one.
        m_stream->part.reset();
        WantWrite(false);
        return;
    }
    Finish();
}

void CRequestSocket::Finish() {
    WantWrite(false);
    m_finished = true;
    m_file.Reset();
    m_target.Reset();
    if (m_request) {
        m_request->done = true;
        m_request.reset();
    }
    // The session ends with its closing alert, so that the client can tell a whole answer
    // from a cut one.
    if (m_tls)
        m_tls->Shutdown();
    int pending = 0;
    ::ioctl(m_fd.Get(), FIONREAD, &pending);
    if (m_tls && m_tls->Pending())
        pending = 1;
    if (!m_errorAnswer && !m_bodyUnread && pending == 0) {
        m_closed = true;
        Release();
        return;
    }
    // Unread request bytes (a body refused unread, say) would turn close() into a reset
    // that loses the answer: stop sending, then read and drop what comes for a while.
    ::shutdown(m_fd.Get(), SHUT_WR);
    m_state = RequestComplete;
    m_lastSendProgress = Clock::now();
}

} // namespace kestrel
