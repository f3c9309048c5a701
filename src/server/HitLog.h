#pragma once

#include "model/Settings.h"
#include "model/StatusView.h"
#include "server/Request.h"
#include "server/UniqueFd.h"

#include <QTimer>

#include <chrono>
#include <ctime>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

namespace kestrel {

// One entry of the viewer list.
struct CIPAccess {
    std::string address;
    std::time_t lastAccess = 0;
};

// The request list, the viewer list, the daily hit log and the status displays. User
// interface thread only.
//
// Logged lines are gathered and written to the day's file in batches: the file stays open
// while requests keep coming, a batch is written at the latest kLogFlushDelayMs after its
// first line (or once it reaches kLogBatchBytes), and the file is closed once no line has
// come for kLogCloseAfterMs, when a line of another day comes, when logging is turned off
// and when the tracker ends (lines gathered so far are written first).
class CHitTracker {
public:
    static constexpr int kViewerTimeout = 15;
    // Answered requests beyond this many are logged at once, without waiting for idle time.
    static constexpr std::size_t kMaxWaiting = 256;
    static constexpr std::size_t kLogBatchBytes = 16 * 1024;
    static constexpr int kLogFlushDelayMs = 250;
    static constexpr int kLogCloseAfterMs = 1000;

    // `logFolder` empty: the working folder at the moment of writing.
    CHitTracker(IStatusView& view, const CServerSettings& settings, std::function<std::time_t()> clock = {},
                std::string logFolder = {});
    ~CHitTracker();

    // Every answered request comes here.
    void RecordHit(const std::shared_ptr<CRequest>& request);
    // The address is still watching (a stream client): its viewer entry's time is `when`;
    // an address not listed is added.
    void TouchViewer(const std::string& address, std::time_t when);
    // One idle step: viewer expiry, viewer count, one request logged. Nonzero when more
    // idle work is pending.
    int ServiceIdle();
    // Adds one request's line to the day's batch when logging is on (a new day's header is
    // written ahead of the first line of an empty file).
    void WriteHitLog(const CRequest& request);
    // Writes the gathered lines now; the file stays open.
    void FlushHitLog();
    // Writes the gathered lines and closes the file.
    void CloseHitLog();
    bool HitLogOpen() const { return m_logFd.Valid(); }
    // The uptime display.
    void UpdateUptimeDisplay(bool listening, std::time_t timeStarted);
    // Releases every waiting request without logging it and forgets the viewers; lines
    // already gathered are written and the file is closed.
    void ReleaseAll();

    int ViewerCount() const { return m_viewerCount; }
    bool ActivityLamp() const { return m_activityLamp; }
    bool LastIdleLogged() const { return m_lastIdleLogged; }
    std::size_t Waiting() const { return m_requests.size(); }
    const std::list<CIPAccess>& Viewers() const { return m_viewers; }

private:
    using SteadyClock = std::chrono::steady_clock;
    std::time_t Now() const { return m_clock ? m_clock() : std::time(nullptr); }
    void OnLogTimer();
    void LogFailure(const std::string& path, const char* what);

    IStatusView& m_view;
    const CServerSettings& m_settings;
    std::function<std::time_t()> m_clock;
    std::string m_logFolder;
    std::deque<std::shared_ptr<CRequest>> m_requests;
    std::list<CIPAccess> m_viewers; // in expiry order: the front is looked at next
    std::unordered_map<std::string, std::list<CIPAccess>::iterator> m_viewerIndex; // by address
    int m_viewerCount = 0;
    int m_countOfText = 0; // the count m_countText shows
    std::string m_countText;
    bool m_activityLamp = false;
    bool m_lastIdleLogged = false;
    bool m_logFailureSaid = false;
    // The batch: lines of one day's file not yet written.
    std::string m_batch;
    std::string m_batchName;     // that file's name
    std::time_t m_batchTime = 0; // request time of the batch's first line (for the header)
    std::time_t m_nameTime = -1; // the request time m_nameOfTime was made for
    std::string m_nameOfTime;
    std::string m_whenOfTime;
    UniqueFd m_logFd; // the day's file while it is kept open
    std::string m_logPath;
    SteadyClock::time_point m_lastWrite{};
    QTimer m_logTimer;
};

} // namespace kestrel
