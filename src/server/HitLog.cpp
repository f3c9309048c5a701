#include "server/HitLog.h"

#include "server/HttpParse.h"
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

CHitTracker::CHitTracker(IMainView& view, const CServerSettings& settings, std::function<std::time_t()> clock,
                         std::string logFolder)
    : m_view(view), m_settings(settings), m_clock(std::move(clock)), m_logFolder(std::move(logFolder)) {}

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
    bool seen = false;
    for (CIPAccess& viewer : m_viewers) {
        if (viewer.address == address) {
            viewer.lastAccess = when;
            seen = true;
        }
    }
    if (!seen) {
        if (m_view.HasControl(IDC_VIEWER_LIST))
            m_view.ViewerListAdd(address);
        m_viewers.push_back({address, when});
    }
}

int CHitTracker::ServiceIdle() {
    m_lastIdleLogged = false;
    // 1. Viewer expiry, one entry per call.
    if (!m_viewers.empty()) {
        CIPAccess first = std::move(m_viewers.front());
        m_viewers.pop_front();
        if (Now() > first.lastAccess + kViewerTimeout) {
            if (m_view.HasControl(IDC_VIEWER_LIST))
                m_view.ViewerListRemove(first.address);
        } else {
            m_viewers.push_back(std::move(first));
        }
    }
    // 2. Viewer count.
    m_viewerCount = static_cast<int>(m_viewers.size());
    if (m_view.HasControl(IDC_VIEWER_COUNT)) {
        char text[16];
        std::snprintf(text, sizeof text, "%3d", m_viewerCount);
        m_view.SetControlText(IDC_VIEWER_COUNT, text);
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
    if (!m_settings.bLoggingOn)
        return;
    std::string name = HitLogFileName(request.requestTime);
    std::string path = m_logFolder.empty() ? name : m_logFolder + "/" + name;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    auto fail = [&](const char* what) {
        if (!m_logFailureSaid)
            std::fprintf(stderr,
                         "kestrel: the hit log \"%s\" cannot be %s: %s (requests go unlogged meanwhile)\n",
                         path.c_str(), what, std::strerror(errno));
        m_logFailureSaid = true;
    };
    if (!fd.Valid()) {
        fail("opened");
        return;
    }
    // Another program may hold the file: wait briefly, then write without the lock.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::string text;
    struct stat st {};
    if (::fstat(fd.Get(), &st) == 0 && st.st_size == 0)
        text = HitLogHeader(request.requestTime);
    text +=
        HitLogLine(request.status, request.clientAddress, request.requestTime, request.url, request.query);
    text += "\r\n";
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t w = ::write(fd.Get(), text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            fail("written");
            return;
        }
        done += static_cast<std::size_t>(w);
    }
    m_logFailureSaid = false;
}

void CHitTracker::UpdateUptimeDisplay(bool listening, std::time_t timeStarted) {
    std::string text = FormatUptime(listening, static_cast<long long>(Now() - timeStarted));
    if (m_view.HasControl(IDC_UPTIME))
        m_view.SetControlText(IDC_UPTIME, text);
}

void CHitTracker::ReleaseAll() {
    m_requests.clear();
    m_viewers.clear();
}

} // namespace kestrel
