#pragma once

#include "app/MainView.h"
#include "app/Settings.h"
#include "server/Request.h"

#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace kestrel {

// One entry of the viewer list.
struct CIPAccess {
    std::string address;
    std::time_t lastAccess = 0;
};

// The request list, the viewer list, the daily hit log and the status displays. User
// interface thread only.
class CHitTracker {
public:
    static constexpr int kViewerTimeout = 15;
    // Answered requests beyond this many are logged at once, without waiting for idle time.
    static constexpr std::size_t kMaxWaiting = 256;

    // `logFolder` empty: the working folder at the moment of writing.
    CHitTracker(IMainView& view, const CServerSettings& settings, std::function<std::time_t()> clock = {},
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
    // Writes one request's line (and a new day's header) when logging is on.
    void WriteHitLog(const CRequest& request);
    // The uptime display.
    void UpdateUptimeDisplay(bool listening, std::time_t timeStarted);
    // Releases every waiting request without logging it and forgets the viewers.
    void ReleaseAll();

    int ViewerCount() const { return m_viewerCount; }
    bool ActivityLamp() const { return m_activityLamp; }
    bool LastIdleLogged() const { return m_lastIdleLogged; }
    std::size_t Waiting() const { return m_requests.size(); }
    const std::deque<CIPAccess>& Viewers() const { return m_viewers; }

private:
    std::time_t Now() const { return m_clock ? m_clock() : std::time(nullptr); }

    IMainView& m_view;
    const CServerSettings& m_settings;
    std::function<std::time_t()> m_clock;
    std::string m_logFolder;
    std::deque<std::shared_ptr<CRequest>> m_requests;
    std::deque<CIPAccess> m_viewers;
    int m_viewerCount = 0;
    bool m_activityLamp = false;
    bool m_lastIdleLogged = false;
    bool m_logFailureSaid = false;
};

} // namespace kestrel
