#include "tls/TlsSession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace kestrel {

namespace {

long long g_handshakes = 0;
long long g_resumed = 0;

} // namespace

std::unique_ptr<TlsSession> TlsSession::Create(const TlsContextPtr& context, int fd) {
    if (!context)
        return nullptr;
    ERR_clear_error();
    SSL* ssl = SSL_new(context.get());
    if (!ssl)
        return nullptr;
    if (SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_accept_state(ssl);
    return std::unique_ptr<TlsSession>(new TlsSession(context, ssl));
}

TlsSession::~TlsSession() {
    SSL_free(m_ssl);
}

// Errors stay with the connection that caused them: the library's error queue is
// emptied after every step, so no other connection ever reads a stale one.
TlsIo TlsSession::Outcome(int rc) {
    const int err = SSL_get_error(m_ssl, rc);
    ERR_clear_error();
    switch (err) {
    case SSL_ERROR_WANT_READ:
        return TlsIo::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return TlsIo::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return TlsIo::Closed;
    default: // SSL_ERROR_SSL, SSL_ERROR_SYSCALL (the peer reset or left mid-record)
        m_failed = true;
        return TlsIo::Failed;
    }
}

TlsIo TlsSession::Handshake() {
    if (m_handshakeDone)
        return TlsIo::Done;
    ERR_clear_error();
    const int rc = SSL_do_handshake(m_ssl);
    if (rc == 1) {
        m_handshakeDone = true;
        ++g_handshakes;
        if (SSL_session_reused(m_ssl))
            ++g_resumed;
        return TlsIo::Done;
    }
    return Outcome(rc);
}

TlsIo TlsSession::Read(char* data, std::size_t size, std::size_t& moved) {
    moved = 0;
    ERR_clear_error();
    const int rc = SSL_read_ex(m_ssl, data, size, &moved);
    if (rc == 1)
        return TlsIo::Done;
    return Outcome(rc);
}

TlsIo TlsSession::Write(const char* data, std::size_t size, std::size_t& moved) {
    moved = 0;
    if (size == 0)
        return TlsIo::Done;
    ERR_clear_error();
    const int rc = SSL_write_ex(m_ssl, data, size, &moved);
    if (rc == 1)
        return TlsIo::Done;
    return Outcome(rc);
}

bool TlsSession::Pending() const {
    return SSL_pending(m_ssl) > 0;
}

std::uint64_t TlsSession::SocketBytesWritten() const {
    BIO* out = SSL_get_wbio(m_ssl);
    return out ? BIO_number_written(out) : 0;
}

void TlsSession::Shutdown() {
    // Never after a fatal error (the library forbids it), and only once the session is up.
    if (m_failed || !m_handshakeDone)
        return;
    ERR_clear_error();
    SSL_shutdown(m_ssl);
    ERR_clear_error();
}

long long TlsSession::HandshakesDone() {
    return g_handshakes;
}

long long TlsSession::HandshakesResumed() {
    return g_resumed;
}

} // namespace kestrel
