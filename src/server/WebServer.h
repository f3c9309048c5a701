#pragma once

#include "app/Settings.h"
#include "platform/MessageBox.h"
#include "server/Request.h"
#include "server/RequestParser.h"
#include "server/UniqueFd.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

class QSocketNotifier;
class QTimer;

namespace kestrel {

class CRequestSocket;
struct ScriptJob;

// What the server needs from the rest of the program.
struct ServerHooks {
    // Writes "frame.jpg" and "framei.jpg" into the web root anew (may write nothing).
    std::function<void()> composeFrame;
    // The picture password ("" = none), read when a request line is handled.
    std::function<std::string()> picturePassword;
    // Every answered request, at the end of its StartResponse.
    std::function<void(const std::shared_ptr<CRequest>&)> recordHit;
};

// How long a connection may stall. A running script has no limit.
struct ServerTimeouts {
    std::chrono::milliseconds request{60000}; // nothing received before the request is complete
    std::chrono::milliseconds send{60000};    // nothing of the waiting output taken
    std::chrono::milliseconds drain{2000};    // reading and dropping after an answer
    std::chrono::milliseconds sweep{1000};    // how often the connections are looked at
};

// Message texts of the server control.
inline constexpr const char* kServerStartFailed =
    "\xE3\x82\xB5\xE3\x83\xBC\xE3\x83\x90\xE3\x83\xBC\xE6\xA9\x9F\xE8\x83\xBD\xE3\x81\x8C\xE9\x96\x8B\xE5\xA7"
    "\x8B"
    "\xE3\x81\xA7\xE3\x81\x8D\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93!"; // 1000
std::string PortInUseMessage(unsigned port);                         // 1002
std::string PortNotOpenMessage(unsigned port);                       // 1003

// The listening endpoint: a non-blocking socket on all interfaces.
class CListenSocket {
public:
    CListenSocket() = default;
    // Creates, binds and listens. 0 on success, else the socket error (10048 for an
    // address in use, or an errno value).
    int Create(unsigned port);
    int Fd() const { return m_fd.Get(); }
    unsigned BoundPort() const;

private:
    UniqueFd m_fd;
};

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
    std::size_t ConnectionCount() const { return m_connections.size(); }

    CServerSettings& Settings() { return m_settings; }
    const ServerHooks& Hooks() const { return m_hooks; }

    void SetTimeouts(const ServerTimeouts& timeouts);

    // Raises the open-file limit to its hard limit (once per process).
    static void RaiseFileLimit();

private:
    friend class CRequestSocket;
    void OnAccept();
    void Register(CRequestSocket* connection);
    void Unregister(CRequestSocket* connection);
    void OnScriptDone(std::uint64_t id, bool started);
    // Keeps a finished connection's descriptor until the peer has read the answer.
    void DrainAndClose(UniqueFd fd);
    void Sweep();

    CServerSettings& m_settings;
    IMessageBox& m_messageBox;
    ServerHooks m_hooks;
    std::unique_ptr<CListenSocket> m_listen;
    std::unique_ptr<QSocketNotifier> m_acceptNotifier;
    std::unordered_map<std::uint64_t, CRequestSocket*> m_connections;
    struct Drain {
        UniqueFd fd;
        std::unique_ptr<QSocketNotifier> notifier;
        std::chrono::steady_clock::time_point deadline;
    };
    std::unordered_map<int, std::unique_ptr<Drain>> m_drains;
    QTimer* m_sweepTimer = nullptr;
    ServerTimeouts m_timeouts;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};

// One connection and its one request.
class CRequestSocket : public QObject {
    Q_OBJECT
public:
    enum State { ReadingRequestLine = 0, ReadingHeaders = 1, ReadingBody = 2, RequestComplete = 4 };

    CRequestSocket(CWebServer& owner, UniqueFd fd, std::string peer, std::string local);
    ~CRequestSocket() override;

    void AddRef() { ++m_refCount; }
    void Release();
    std::uint64_t Id() const { return m_id; }

private:
    friend class CWebServer;
    void OnReceive();
    void OnSend();
    void OnClose();
    void Abort();
    void ProcessBytes(const char* data, std::size_t size);
    void Complete();

    // Response.
    bool StartResponse();
    void ResolveTarget();
    bool TryDefaultDocuments(const char* const* names, bool withQuery);
    bool ClassifyExecutable();
    std::string AbsoluteUrl(const std::string& path) const;
    std::string ServerName() const;
    bool WriteFileHeaders();
    void StartBody();
    void WriteDirectoryListing();
    bool StartScript();
    void FinishScript(bool started);
    bool WriteScriptHeaders();
    bool RefuseScriptTarget();

    void AppendText(std::string_view text) { m_out.append(text); }
    void AppendStatus(unsigned code);
    void AppendStatus(const std::string& text);
    void AppendHeader(const char* name, const std::string& value);
    void AppendError(unsigned code);
    void WantWrite(bool on);
    void FillFromFile();
    void Finish();
    std::string Root() const;

    CWebServer& m_owner;
    UniqueFd m_fd;
    std::uint64_t m_id;
    std::shared_ptr<CRequest> m_request;
    std::string m_out;
    std::size_t m_outPos = 0;
    RequestParser m_parser;
    State m_state = ReadingRequestLine;
    UniqueFd m_file;
    long long m_fileLeft = -1; // bytes of the file still to send; -1: to its end
    int m_refCount = 1;
    bool m_closed = false;
    bool m_finished = false;
    bool m_errorAnswer = false;
    bool m_scriptRunning = false;
    bool m_treatAsHead = false;
    bool m_picturePassed = false;
    unsigned m_pendingError = 0;
    std::shared_ptr<ScriptJob> m_job;
    std::string m_peer, m_local;
    std::unique_ptr<QSocketNotifier> m_readNotifier, m_writeNotifier;
    std::chrono::steady_clock::time_point m_lastReceive, m_lastSendProgress;
};

} // namespace kestrel
