#pragma once

#include "model/Settings.h"
#include "platform/MessageBox.h"
#include "server/DirectoryListing.h"
#include "server/HttpSyntax.h"
#include "server/ListenSocket.h"
#include "server/MjpegStream.h"
#include "server/PasswordLockout.h"
#include "server/PrivateFiles.h"
#include "server/ProxyAddresses.h"
#include "server/Request.h"
#include "server/RequestSocket.h"
#include "tls/TlsCertificateWatch.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace kestrel {

// What the server needs from the rest of the program.
struct ServerHooks {
    // Writes "frame.jpg" and "framei.jpg" into the web root anew (may write nothing).
    std::function<void()> composeFrame;
    // The picture password ("" = none), read when a request line is handled.
    std::function<std::string()> picturePassword;
    // Every answered request, at the end of its StartResponse.
    std::function<void(const std::shared_ptr<CRequest>&)> recordHit;
    // One picture of the live stream, composed into memory (no file written); false when
    // there is none. `cameraOff`: the camera-off picture was used.
    std::function<bool(std::vector<std::uint8_t>& jpeg, bool& cameraOff, std::int64_t& capturedUs)>
        composeStreamFrame;
    // A stream client is still watching: its address's last-seen time is now.
    std::function<void(const std::string& address)> touchViewer;
    // A connection has gone (its request, if any, can now be logged).
    std::function<void()> connectionClosed;
    // The answer to a certificate authority's HTTP-01 challenge for `token`; false when
    // none is under way for it (the web root's files are tried then).
    std::function<bool(const std::string& token, std::string& answer)> acmeChallenge;
};

// How long a connection may take. A running script has no limit.
struct ServerTimeouts {
    std::chrono::milliseconds head{30000};         // the whole request head, from its first byte
    std::chrono::milliseconds request{60000};      // nothing received before the request is complete
    std::chrono::milliseconds send{60000};         // nothing of the waiting output taken
    std::chrono::milliseconds streamStall{20000};  // a stream client taking nothing off its socket
    std::chrono::milliseconds drain{2000};         // reading and dropping after an answer
    std::chrono::milliseconds bodyGrace{30000};    // a body may come slowly at first...
    long long bodyMinRate = 1024;                  // ...then it must average this many bytes a second
    std::chrono::milliseconds bodyLongest{600000}; // and be complete within this time
    std::chrono::milliseconds sweep{1000};         // how often the connections are looked at
    std::chrono::milliseconds tls{30000};          // how often the certificate files are looked at
};

// Request bodies held in memory at once, all connections together. A script's body
// that would pass it is answered 503 without being read.
inline constexpr long long kMaxBodiesHeld = 64LL * 1024 * 1024;
// Memory of all request heads being read at once. Past it the oldest unfinished head is
// closed, so that many slow heads cannot take the memory a fresh request needs.
inline constexpr long long kMaxHeadsHeld = 16LL * 1024 * 1024;
// Head memory let go of after which the allocator is asked to hand free memory back to the
// system (at the next sweep), so that a burst of hostile heads does not leave the process large.
inline constexpr long long kTrimAfterHeadBytes = 4LL * 1024 * 1024;
// When fewer descriptors than this are left, a new connection makes room by closing the
// oldest connection still reading its head, so that a fresh client is always answered.
inline constexpr long long kDescriptorReserve = 512;

// The web server of the main frame: the listening endpoint and every connection.
// Connections outlive StopServer and end on their own; the whole server ends with
// the main frame.
class CWebServer : public QObject {
    Q_OBJECT
public:
    CWebServer(CServerSettings& settings, IMessageBox& messageBox, ServerHooks hooks);
    ~CWebServer() override;

    // (Re)creates the listening endpoint; says why on failure. Sets timeStarted.
    bool StartServer();
    void StopServer();
    bool IsListening() const { return m_listen != nullptr; }
    unsigned BoundPort() const { return m_listen ? m_listen->BoundPort() : 0; }
    // HTTPS is served: the TLS port listens with a usable certificate.
    bool TlsServing() const {
        return m_tlsListen != nullptr && (m_keptContext || (m_tlsWatch && m_tlsWatch->Current()));
    }
    // Plain requests may be sent over to HTTPS: it is served with a real certificate.
    bool TlsRedirectable() const { return TlsServing() && (!m_keptContext || m_keptIsReal); }
    // HTTPS with a certificate the program keeps itself instead of TlsCertFile/TlsKeyFile:
    // used from the next start on, and at once for new connections when already serving.
    // `real` false (a stand-in) keeps plain requests from being redirected.
    void SetKeptTlsContext(TlsContextPtr context, bool real);
    unsigned TlsBoundPort() const { return m_tlsListen ? m_tlsListen->BoundPort() : 0; }
    // Looks at the certificate files now (the timer does so every `tls` timeout).
    void CheckTlsFiles();
    // What the TLS contexts offer from the next start on (the benchmarks turn tickets off).
    void SetTlsOptions(const TlsOptions& options) { m_tlsOptions = options; }
    std::size_t ConnectionCount() const { return m_connections.size(); }
    // Connections let go of but not yet deleted (they go at the end of the event being handled).
    std::size_t DiscardedCount() const { return m_discarded.size(); }
    // Bytes of request bodies being read or held for scripts.
    long long BodyBytesHeld() const { return m_bodyBytes; }
    std::uint32_t ScriptsRunning() const { return m_scriptsRunning; }
    // Memory of the request heads being read.
    long long HeadBytesHeld() const { return m_headBytes; }

    CServerSettings& Settings() { return m_settings; }
    MjpegStreamHub& Streams() { return *m_streams; }
    const ServerHooks& Hooks() const { return m_hooks; }

    void SetTimeouts(const ServerTimeouts& timeouts);
    // Files refused with 404 whatever path reaches them.
    void SetPrivateFiles(PrivateFiles files) { m_privateFiles = std::move(files); }
    const PrivateFiles& Private() const { return m_privateFiles; }

    // The picture password's lockout table (tests shorten its limits).
    PasswordLockout& Lockout() { return m_lockout; }

    // Raises the open-file limit to its hard limit (once per process).
    static void RaiseFileLimit();

    // The proxies whose forwarded headers are believed (TrustedProxies, read at StartServer).
    const std::vector<AddressRange>& TrustedProxies() const { return m_trustedProxies; }
    // Whether a peer address (as FormatAddress writes it) is one of them.
    bool IsTrustedProxy(const std::string& peer) const;

private:
    friend class CRequestSocket;
    // While one is alive, connections let go of are kept; the last one to end deletes them.
    class DispatchScope {
    public:
        explicit DispatchScope(CWebServer& server) : m_server(server) { ++m_server.m_dispatchDepth; }
        ~DispatchScope();
        DispatchScope(const DispatchScope&) = delete;
        DispatchScope& operator=(const DispatchScope&) = delete;

    private:
        CWebServer& m_server;
    };
    // Takes waiting connections of the plain or the TLS port.
    void OnAccept(bool tls);
    // Listens on TlsPort when it is set and its certificate and key load; says why not.
    void StartTls();
    void StopTls();
    // Reads TrustedProxies; a list that cannot be read or parsed trusts no one, and says so.
    void LoadTrustedProxies();
    // A certificate problem found while running: standard error, and a box with a display.
    void ReportTlsProblem(const std::string& text);
    // The sockets of the readiness set that have something to do.
    void OnConnectionEvents();
    // Adds the connection's socket to the readiness set or updates what is watched for;
    // false when the set refuses it.
    bool Watch(CRequestSocket& connection);
    void DeleteDiscarded();
    // Whether a connection from `key` may be taken (MaxConnPerAddress).
    bool AdmitAddress(const std::string& key) const;
    // Descriptors still free once `newest` has been handed out.
    long long DescriptorsLeft(int newest) const;
    // Closes the oldest connection still reading its head; false when there is none.
    // `holdingBytes`: only one whose head has begun to arrive.
    bool CloseOldestHeadReader(bool holdingBytes = false);
    void ChargeHeads(long long delta);
    // Closes the oldest unfinished heads while the heads held pass their budget.
    void KeepHeadsInBudget();
    void Register(std::unique_ptr<CRequestSocket> connection);
    void Unregister(CRequestSocket* connection);
    // Takes `bytes` of the body budget for the client `clientKey`, which may hold a quarter of it.
    bool ReserveBody(const std::string& clientKey, long long bytes);
    void ReleaseBody(const std::string& clientKey, long long bytes);
    void OnScriptDone(std::uint64_t id, bool started);
    // A wrong picture password from a client that was not locked out; a lockout it starts
    // is written on standard error for log watchers (fail2ban).
    void OnWrongPassword(const std::string& clientKey, std::string_view value);
    void Sweep();
    bool BodyTooSlow(const CRequestSocket& connection, std::chrono::steady_clock::time_point now) const;

    CServerSettings& m_settings;
    IMessageBox& m_messageBox;
    ServerHooks m_hooks;
    PrivateFiles m_privateFiles;
    std::unique_ptr<CListenSocket> m_listen;
    std::unique_ptr<QSocketNotifier> m_acceptNotifier;
    std::unique_ptr<CListenSocket> m_tlsListen;
    std::unique_ptr<QSocketNotifier> m_tlsAcceptNotifier;
    std::unique_ptr<TlsCertificateWatch> m_tlsWatch;
    TlsContextPtr m_keptContext;
    bool m_keptIsReal = false;
    QTimer* m_tlsCheckTimer = nullptr;
    TlsOptions m_tlsOptions;
    // Every connection's socket is in one epoll set; the event loop watches only that set.
    UniqueFd m_epoll;
    std::unique_ptr<QSocketNotifier> m_epollNotifier;
    // By id, which grows with every connection: the first entries are the oldest.
    std::map<std::uint64_t, std::unique_ptr<CRequestSocket>> m_connections;
    // Connections let go of, deleted once no event of theirs is being handled.
    std::vector<std::unique_ptr<CRequestSocket>> m_discarded;
    int m_dispatchDepth = 0;
    // The answers' Date and Last-Modified values (the same second, the same file, mostly).
    HttpDateCache m_dateNow, m_dateModified;
    bool m_deletePosted = false;
    std::unordered_map<std::string, std::uint32_t> m_perAddress;
    std::vector<AddressRange> m_trustedProxies;
    long long m_bodyBytes = 0;
    std::unordered_map<std::string, long long> m_bodyBytesByClient;
    std::uint32_t m_scriptsRunning = 0;
    long long m_headBytes = 0;
    long long m_headBytesFreed = 0; // since the allocator last handed memory back
    PasswordLockout m_lockout;
    ListingCache m_listings;
    long long m_baseDescriptors = 0; // held by the rest of the program (and the listening socket)
    QTimer* m_sweepTimer = nullptr;
    ServerTimeouts m_timeouts;
    std::unique_ptr<MjpegStreamHub> m_streams;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};

} // namespace kestrel
