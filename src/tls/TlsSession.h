#pragma once

#include "tls/TlsContext.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct ssl_st;

namespace kestrel {

// What a step of a non-blocking TLS connection came to.
enum class TlsIo {
    Done,      // bytes moved (or the handshake is over)
    WantRead,  // wait until the socket is readable, then try the same step again
    WantWrite, // wait until the socket has room, then try the same step again
    Closed,    // the peer ended the session cleanly
    Failed,    // a protocol error or a broken connection: give the connection up
};

// The server side of one TLS connection over a non-blocking socket it does not own.
// Every step returns at once; the caller waits for the readiness it is told about.
class TlsSession {
public:
    // Null when the library cannot make a session.
    static std::unique_ptr<TlsSession> Create(const TlsContextPtr& context, int fd);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    bool HandshakeDone() const { return m_handshakeDone; }
    TlsIo Handshake();
    // Up to `size` decrypted bytes into `data`; `moved` is how many (Done only).
    TlsIo Read(char* data, std::size_t size, std::size_t& moved);
    // Writes from `data`; `moved` is how many bytes were taken (Done only). After
    // WantRead/WantWrite the next Write must offer at least the same bytes again.
    TlsIo Write(const char* data, std::size_t size, std::size_t& moved);
    // Decrypted bytes held that the socket no longer shows.
    bool Pending() const;
    // Bytes the session has written to the socket (records, not the text they carry).
    std::uint64_t SocketBytesWritten() const;
    // Sends the closing alert without waiting for the peer's.
    void Shutdown();

    // Handshakes completed in this process, and how many of them resumed a session.
    static long long HandshakesDone();
    static long long HandshakesResumed();

private:
    TlsSession(TlsContextPtr context, ssl_st* ssl) : m_context(std::move(context)), m_ssl(ssl) {}
    TlsIo Outcome(int rc);

    TlsContextPtr m_context;
    ssl_st* m_ssl;
    bool m_handshakeDone = false;
    bool m_failed = false;
};

} // namespace kestrel
