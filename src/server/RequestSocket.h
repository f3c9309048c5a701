#pragma once

#include "server/MjpegStream.h"
#include "server/ProxyAddresses.h"
#include "server/Request.h"
#include "server/RequestParser.h"
#include "server/UniqueFd.h"
#include "tls/TlsSession.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace kestrel {

class CWebServer;
struct ScriptJob;

// One connection and its one request. The connection's life: the head is read; once it
// is complete the target is resolved and checked, and a request that will be refused is
// answered at once without reading its body; a script's body is read within the
// server's budget; the answer is sent; the connection closes. The server owns every
// connection and tells it when its socket is ready (one readiness set for them all).
class CRequestSocket {
public:
    enum State { ReadingRequestLine = 0, ReadingHeaders = 1, ReadingBody = 2, RequestComplete = 4 };

    // `addressKey` is the client's key of the per-address count (ClientAddressKey); `tls`
    // is the TLS session of a connection to the TLS port (null on the plain port).
    CRequestSocket(CWebServer& owner, UniqueFd fd, std::string peer, std::string addressKey,
                   std::unique_ptr<TlsSession> tls = nullptr);
    ~CRequestSocket();
    CRequestSocket(const CRequestSocket&) = delete;
    CRequestSocket& operator=(const CRequestSocket&) = delete;

    void AddRef() { ++m_refCount; }
    void Release();
    std::uint64_t Id() const { return m_id; }
    const std::string& AddressKey() const { return m_addressKey; }
    bool ReadingHead() const { return m_state == ReadingRequestLine || m_state == ReadingHeaders; }
    int Fd() const { return m_fd.Get(); }
    bool IsTls() const { return m_tls != nullptr; }
    // The request's client address, known once its head is complete: the peer, or behind a
    // trusted proxy the address that proxy forwards (X-Forwarded-For). The viewer list, the
    // hit log, scripts' REMOTE_ADDR and every per-client rule go by it.
    const std::string& ClientAddress() const { return m_clientAddress; }
    // The key of that address, by which the per-client limits count (the password lockout,
    // streams per address): the address, or an IPv6 client's /64.
    const std::string& ClientKey() const { return m_clientKey; }
    // The address the connection came from (the proxy's own, behind one).
    const std::string& PeerAddress() const { return m_peer; }
    // The request came through a trusted proxy.
    bool ViaProxy() const { return m_viaProxy; }

private:
    friend class CWebServer;
    friend class MjpegStreamHub;
    using Clock = std::chrono::steady_clock;

    // Connection I/O (RequestSocket.cpp).
    void OnReceive();
    void OnSend();
    // The socket has room: a TLS step that waited for it goes on, then the answer.
    void OnWritable();
    void OnClose();
    void Abort();
    void ProcessBytes(const char* data, std::size_t size);
    bool OnHeadComplete();
    void OnBodyComplete();
    void Respond(bool scriptStarted);
    void ReleaseBody();
    // Counts `bytes` as this connection's share of the server's memory for heads being read.
    void ChargeHead(long long bytes);
    void AppendText(std::string_view text) { m_out.append(text); }
    void AppendStatus(unsigned code);
    void AppendStatus(const std::string& text);
    void AppendHeader(const char* name, std::string_view value);
    void AppendError(unsigned code);
    void WantWrite(bool on);
    void FillFromFile();
    std::string_view NextPiece();
    bool SendWaiting();
    void Finish();
    // The socket's bytes, through TLS on the TLS port: >0 bytes moved, 0 the peer has
    // ended, -1 with errno EAGAIN (wait for the readiness asked for) or another error.
    ssize_t ReceiveSome(char* data, std::size_t size);
    ssize_t SendSome(const char* data, std::size_t size);
    // Runs the TLS handshake on; false while it is not through (or the connection ended).
    bool TlsHandshake();

    // Choosing the answer (ResponseTable.cpp). The methods a request may use; 0 for any
    // other (answered 501).
    enum Method : unsigned { kGet = 1, kHead = 2, kPost = 4 };
    // What a handler did: not answered (the next rule is tried), answered (the answer is
    // in the output buffer), a script started, or the body to be read first.
    enum class Handled { No, Answered, ScriptStarted, BodyNeeded };
    // One rule of the response table: the methods it takes, whether it looks at the
    // resolved target, its predicate (none: always) and its handler.
    struct ResponseRule {
        unsigned methods;
        bool needsTarget;
        bool (CRequestSocket::*applies)() const;
        Handled (CRequestSocket::*answer)(Method method);
    };
    static const ResponseRule kResponseRules[];
    static Method MethodOf(const CRequest& request);
    Handled StartResponse(unsigned parseError);
    bool IsPictureRequest() const;
    Handled ComposePicture(Method method);
    // Plain requests while HTTPS is served and TlsRedirect is on: 302 to the same address
    // over HTTPS (certificate challenges excepted).
    bool IsRedirectedToTls() const;
    Handled AnswerTlsRedirect(Method method);
    // A certificate authority's HTTP-01 challenge the program answers itself (the answer
    // is kept for AnswerAcmeChallenge).
    bool IsAcmeChallengeAnswered() const;
    Handled AnswerAcmeChallenge(Method method);

    // Target resolution and file answers (TargetResolution.cpp).
    // The web root as a full path, made once per connection.
    const std::string& Root() const;
    void ResolveTarget();
    bool StatTarget(const std::string& root, const std::string& candidate, struct stat& st);
    bool IsProtectedPicture(const std::string& root, const std::string& candidate) const;
    bool IsSnapshotFolder(const std::string& root, const std::string& folder) const;
    bool TryDefaultDocuments(const char* const* names, bool withQuery);
    bool ClassifyExecutable();
    // "http" or "https", and the port absolute addresses of this connection name: what the
    // client used, as a trusted proxy reports it, else this connection's own.
    std::string Scheme() const;
    unsigned SchemePort() const;
    // The client address and origin of a complete head (a trusted proxy's word for them).
    void FindClient();
    // Whether the target is hidden from requests: a dot-name below the web root, except the
    // regular files of the certificate challenge folder.
    bool IsHiddenTarget(const std::string& root, const std::string& path) const;
    std::string ServerName() const;
    bool RefuseHiddenTarget();
    Handled AnswerFile(Method method);
    bool WriteFileHeaders();
    void AppendCacheControl();

    // Folder listings (DirectoryListing.cpp).
    bool IsFolderTarget() const;
    Handled AnswerListing(Method method);
    void WriteDirectoryListing();

    // The live stream (MjpegStream.cpp). AnswerStream answers a request for the stream; a
    // refused one is turned into the "pass.jpg" request and left to the rules after it.
    bool IsStreamRequest() const;
    Handled AnswerStream(Method method);
    void OfferStreamPart(const StreamPart& part);
    std::shared_ptr<CRequest> StreamLogEntry() const;
    // Whether the stream client has taken no bytes off its socket for longer than `limit`.
    bool StreamStalled(Clock::time_point now, Clock::duration limit);

    // Scripts (ScriptGlue.cpp).
    bool IsScriptTarget() const;
    Handled AnswerScript(Method method);
    bool RefuseScriptTarget();
    bool StartScript();
    bool LaunchScript();
    void FinishScript(bool started);
    bool WriteScriptHeaders();
    void SetScriptRunning(bool on);
    bool RefuseBusyScripts();

    CWebServer& m_owner;
    UniqueFd m_fd;
    std::unique_ptr<TlsSession> m_tls;
    bool m_tlsReadWantsWrite = false; // a TLS read waits for room to send
    bool m_tlsWriteWantsRead = false; // a TLS write waits for bytes to arrive
    bool m_sendBlocked = false;       // the answer waits for room in the socket
    std::uint64_t m_id;
    std::shared_ptr<CRequest> m_request;
    std::string m_out;
    std::size_t m_outPos = 0;
    RequestParser m_parser;
    State m_state = ReadingRequestLine;
    UniqueFd m_file;
    UniqueFd m_target; // the resolved target file, opened while it was resolved
    struct stat m_targetStat {};
    long long m_fileLeft = -1; // bytes of the file still to send; -1: to its end
    int m_refCount = 1;
    bool m_closed = false;
    bool m_finished = false;
    bool m_errorAnswer = false;
    bool m_bodyUnread = false; // the answer was given without reading the body
    bool m_scriptRunning = false;
    bool m_treatAsHead = false;
    bool m_picturePassed = false;
    bool m_passwordSet = false;
    long long m_bodyReserved = 0; // bytes of the server's body budget held
    long long m_headCharged = 0;  // bytes of the server's head budget held
    bool m_streamPassed = true;
    std::unique_ptr<StreamClient> m_stream; // set while the connection streams
    long long m_plainBytesWritten = 0;      // into the socket, on the plain port
    long long m_streamTaken = 0;            // of those, taken by the stream client
    Clock::time_point m_lastTaken = Clock::now();
    std::shared_ptr<ScriptJob> m_job;
    std::string m_peer, m_addressKey;
    std::string m_clientAddress, m_clientKey;
    bool m_viaProxy = false;
    ForwardedOrigin m_origin; // what a trusted proxy says the client asked for
    // The answer is the live picture, or the picture refused for want of its password:
    // caches are told how long they may keep it.
    bool m_livePicture = false;
    bool m_streamRefused = false;
    mutable std::string m_root;
    mutable std::string m_acmeAnswer; // the challenge answer IsAcmeChallengeAnswered found
    bool m_wantWrite = false;         // the server watches the socket for room to send
    bool m_watched = false;           // the socket is in the server's readiness set
    Clock::time_point m_headStarted, m_lastReceive, m_lastSendProgress;
    Clock::time_point m_bodyStarted; // when reading the body began
};

} // namespace kestrel
