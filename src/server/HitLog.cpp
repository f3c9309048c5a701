#include "server/HitLog.h"

#include "server/HitLogText.h"
#include "server/UniqueFd.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrel {

CHitTracker::CHitTracker(IStatusView& view, const CServerSettings& settings,
                         std::function<std::time_t()> clock, std::string logFolder)
    : m_view(view), m_settings(settings), m_clock(std::move(clock)), m_logFolder(std::move(logFolder)) {
    m_logTimer.setSingleShot(true);
    QObject::connect(&m_logTimer, &QTimer::timeout, [this] { OnLogTimer(); });
}

CHitTracker::~CHitTracker() {
    ReleaseAll();
}

void CHitTracker::RecordHit(const std::shared_ptr<CRequest>& request) {
    m_requests.push_back(request);
    TouchViewer(request->clientAddress, request->requestTime);
    // Under sustained load idle time may never come: keep the list short.
    if (m_requests.size() > kMaxWaiting) {
        std::deque<std::shared_ptr<CRequest>> waiting;
        for (auto& r : m_requests) {
            if (r->done)
                WriteHitLog(*r);
            else
                waiting.push_back(std::move(r));
        }
        m_requests.swap(waiting);
    }
}

void CHitTracker::TouchViewer(const std::string& address, std::time_t when) {
    // Every picture of every stream part comes here: the index keeps it one lookup however
    // many viewers there are.
    if (auto it = m_viewerIndex.find(address); it != m_viewerIndex.end()) {
        it->second->lastAccess = when;
        return;
    }
    if (m_view.HasControl(IDC_VIEWER_LIST))
        m_view.ViewerListAdd(address);
    m_viewers.push_back({address, when});
    m_viewerIndex.emplace(address, std::prev(m_viewers.end()));
}

int CHitTracker::ServiceIdle() {
    m_lastIdleLogged = false;
    // 1. Viewer expiry, one entry per call.
    if (!m_viewers.empty()) {
        const CIPAccess& first = m_viewers.front();
        if (Now() > first.lastAccess + kViewerTimeout) {
            if (m_view.HasControl(IDC_VIEWER_LIST))
                m_view.ViewerListRemove(first.address);
            m_viewerIndex.erase(first.address);
            m_viewers.pop_front();
        } else {
            // To the back; the index's positions stay valid.
            m_viewers.splice(m_viewers.end(), m_viewers, m_viewers.begin());
        }
    }
    // 2. Viewer count.
    m_viewerCount = static_cast<int>(m_viewers.size());
    if (m_view.HasControl(IDC_VIEWER_COUNT)) {
        if (m_viewerCount != m_countOfText || m_countText.empty()) {
            char text[16];
            std::snprintf(text, sizeof text, "%3d", m_viewerCount);
            m_countText = text;
            m_countOfText = m_viewerCount;
        }
        m_view.SetControlText(IDC_VIEWER_COUNT, m_countText);
    }
    // 3. Logging, one request per call.
    int result = 0;
    bool found = !m_requests.empty();
    if (found) {
        std::shared_ptr<CRequest> request = std::move(m_requests.front());
        m_requests.pop_front();
        if (request->done) {
            WriteHitLog(*request);
            m_lastIdleLogged = true;
            result = static_cast<int>(m_requests.size());
        } else {
            m_requests.push_back(std::move(request));
            result = 1;
        }
    }
    // 4. Activity lamp.
    m_activityLamp = found;
    return result;
}

void CHitTracker::WriteHitLog(const CRequest& request) {
    if (!m_settings.bLoggingOn) {
        CloseHitLog();
        return;
    }
    // Requests of one second share their file name and time field.
    if (request.requestTime != m_nameTime) {
        m_nameTime = request.requestTime;
        m_nameOfTime = HitLogFileName(request.requestTime);
        m_whenOfTime = HitLogTime(request.requestTime);
    }
    // Every line goes to the file of its own request's day.
    if (m_nameOfTime != m_batchName) {
        FlushHitLog();
        m_batchName = m_nameOfTime;
    }
    if (m_batch.empty()) {
        m_batchTime = request.requestTime;
        // The batch reaches the file within kLogFlushDelayMs.
        if (!m_logTimer.isActive() || m_logTimer.remainingTime() > kLogFlushDelayMs)
            m_logTimer.start(kLogFlushDelayMs);
    }
    AppendHitLogLine(m_batch, request.status, request.clientAddress, m_whenOfTime, request.url,
                     request.query);
    m_batch += "\r\n";
    if (m_batch.size() >= kLogBatchBytes)
        FlushHitLog();
}

void CHitTracker::LogFailure(const std::string& path, const char* what) {
    if (!m_logFailureSaid)
        std::fprintf(stderr,
                     "kestrel: the hit log \"%s\" cannot be %s: %s (requests go unlogged meanwhile)\n",
                     path.c_str(), what, std::strerror(errno));
    m_logFailureSaid = true;
}

void CHitTracker::FlushHitLog() {
    if (m_batch.empty())
        return;
    std::string path = m_logFolder.empty() ? m_batchName : m_logFolder + "/" + m_batchName;
    if (m_logFd.Valid() && path != m_logPath)
        m_logFd.Reset(); // the day has changed
    if (!m_logFd.Valid()) {
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (!fd.Valid()) {
            LogFailure(path, "opened");
            m_batch.clear();
            return;
        }
        // Another program may hold the file: wait briefly, then write without the lock.
        auto deadline = SteadyClock::now() + std::chrono::milliseconds(100);
        while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR) &&
               SteadyClock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        m_logFd = std::move(fd);
        m_logPath = path;
    }
    // A new or emptied file starts with the day's header.
    struct stat st {};
    if (::fstat(m_logFd.Get(), &st) == 0 && st.st_size == 0)
        m_batch.insert(0, HitLogHeader(m_batchTime));
    std::size_t done = 0;
    while (done < m_batch.size()) {
        ssize_t w = ::write(m_logFd.Get(), m_batch.data() + done, m_batch.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            LogFailure(path, "written");
            m_logFd.Reset(); // opened anew for the next batch
            m_batch.clear();
            return;
        }
        done += static_cast<std::size_t>(w);
    }
    m_batch.clear();
    m_lastWrite = SteadyClock::now();
    m_logFailureSaid = false;
    if (!m_logTimer.isActive())
        m_logTimer.start(kLogCloseAfterMs);
}

void CHitTracker::CloseHitLog() {
    FlushHitLog();
    m_logFd.Reset();
    m_logTimer.stop();
}

void CHitTracker::OnLogTimer() {
    if (!m_settings.bLoggingOn) {
        CloseHitLog();
        return;
    }
    FlushHitLog();
    if (!m_logFd.Valid())
        return;
    auto quiet = SteadyClock::now() - m_lastWrite;
    auto closeAfter = std::chrono::milliseconds(kLogCloseAfterMs);
    if (quiet >= closeAfter)
        m_logFd.Reset();
    else
        m_logTimer.start(static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(closeAfter - quiet).count() + 1));
}

void CHitTracker::UpdateUptimeDisplay(bool listening, std::time_t timeStarted) {
    std::string text = FormatUptime(listening, static_cast<long long>(Now() - timeStarted));
    if (m_view.HasControl(IDC_UPTIME))
        m_view.SetControlText(IDC_UPTIME, text);
}

void CHitTracker::ReleaseAll() {
    m_requests.clear();
    m_viewers.clear();
    m_viewerIndex.clear();
    CloseHitLog();
}

} // namespace kestrel
