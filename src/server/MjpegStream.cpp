// The live motion-JPEG stream: the shared clock that composes one picture per tick, and
// the connection's side of it (the answer's head, taking or skipping parts).

#include "server/MjpegStream.h"

#include "model/Settings.h"
#include "server/RequestSocket.h"
#include "server/ServerPaths.h"
#include "server/UrlMapping.h"
#include "server/WebServer.h"

#include <algorithm>
#include <cstdio>
#include <linux/sockios.h>
#include <random>
#include <sys/ioctl.h>
#include <utility>

namespace kestrel {

namespace {

constexpr int kCameraOffIntervalMs = 1000;

} // namespace

std::string MakeStreamBoundary() {
    std::random_device device;
    std::mt19937_64 generator((static_cast<std::uint64_t>(device()) << 32) ^ device());
    char token[40];
    std::snprintf(token, sizeof token, "kestrel%016llx", static_cast<unsigned long long>(generator()));
    return token;
}

std::string MjpegFraming::HeadLines() const {
    return "Content-type: multipart/x-mixed-replace;boundary=" + boundary +
           "\r\nCache-Control: no-store\r\n\r\n";
}

std::string MjpegFraming::Part(const std::vector<std::uint8_t>& jpeg, std::int64_t capturedUs) const {
    char stamp[48];
    const std::int64_t us = std::max<std::int64_t>(capturedUs, 0);
    std::snprintf(stamp, sizeof stamp, "\r\nX-Timestamp: %lld.%06lld\r\n\r\n",
                  static_cast<long long>(us / 1000000), static_cast<long long>(us % 1000000));
    std::string part = "Content-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) + stamp;
    part.reserve(part.size() + jpeg.size() + boundary.size() + 6);
    part.append(reinterpret_cast<const char*>(jpeg.data()), jpeg.size());
    part += "\r\n--" + boundary + "\r\n";
    return part;
}

// ---------------------------------------------------------------------------------------
// The shared clock

TickSchedule::Clock::time_point TickSchedule::Next(Clock::time_point began, Clock::time_point now,
                                                   Clock::duration period) {
    if (period <= Clock::duration::zero())
        period = Clock::duration(1);
    m_deadline += period;
    if (m_deadline > now)
        return m_deadline;
    // Grid points at or before the end of this tick.
    const auto passed = (now - m_deadline) / period + 1;
    if (now - began >= period) {
        // The tick's own work overran: they are skipped, the next tick is on the grid ahead.
        m_skipped += static_cast<std::uint64_t>(passed);
        m_deadline += passed * period;
    } else {
        // It started late: the latest of them runs at once, the older ones are dropped.
        m_skipped += static_cast<std::uint64_t>(passed - 1);
        m_deadline += (passed - 1) * period;
    }
    return m_deadline;
}

MjpegStreamHub::MjpegStreamHub(const CServerSettings& settings, Composer composer, QObject* parent,
                               Clock clock)
    : QObject(parent), m_settings(settings), m_composer(std::move(composer)), m_clock(std::move(clock)) {
    m_framing.boundary = MakeStreamBoundary();
    // Each tick sets the timer for the next deadline afresh: a repeating timer would count
    // its period from the end of a late tick, which slows the stream by the tick's own cost.
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { Tick(); });
}

TickSchedule::Clock::time_point MjpegStreamHub::Now() const {
    return m_clock ? m_clock() : TickSchedule::Clock::now();
}

bool MjpegStreamHub::Full() const {
    return m_clients.size() >= std::clamp<std::uint32_t>(m_settings.StreamMaxClients, 1, 256);
}

bool MjpegStreamHub::FullFor(const std::string& clientKey) const {
    const auto cap = std::clamp<std::uint32_t>(m_settings.StreamMaxPerAddress, 1, 256);
    std::uint32_t count = 0;
    for (const CRequestSocket* client : m_clients)
        count += client->ClientKey() == clientKey;
    return count >= cap;
}

void MjpegStreamHub::Add(CRequestSocket* client) {
    if (std::find(m_clients.begin(), m_clients.end(), client) == m_clients.end())
        m_clients.push_back(client);
    if (!m_timer.isActive()) {
        m_schedule.Start(Now());
        m_timer.start(0); // the first picture at once
    }
}

void MjpegStreamHub::Remove(CRequestSocket* client) {
    std::erase(m_clients, client);
    if (m_offering)
        std::replace(m_offering->begin(), m_offering->end(), client, static_cast<CRequestSocket*>(nullptr));
    if (m_clients.empty())
        m_timer.stop();
}

void MjpegStreamHub::Tick() {
    if (m_clients.empty()) {
        m_timer.stop();
        return;
    }
    const auto began = Now();
    bool cameraOff = false;
    std::int64_t capturedUs = 0;
    StreamPart part;
    if (m_composer && m_composer(m_jpeg, cameraOff, capturedUs) && !m_jpeg.empty()) {
        part = std::make_shared<const std::string>(m_framing.Part(m_jpeg, capturedUs));
        ++m_composed;
    }
    // A client that closes while it is offered the part leaves the list: walk a copy, in
    // which Remove blanks it.
    std::vector<CRequestSocket*> offering(m_clients);
    std::vector<CRequestSocket*>* const outer = std::exchange(m_offering, &offering);
    for (CRequestSocket* client : offering)
        if (client)
            client->OfferStreamPart(part);
    m_offering = outer;
    if (m_clients.empty())
        return; // the last client left while it was offered the part
    const auto fps = std::clamp<std::uint32_t>(m_settings.StreamMaxFps, 1, 30);
    const auto period =
        cameraOff ? std::chrono::duration_cast<TickSchedule::Clock::duration>(
                        std::chrono::milliseconds(kCameraOffIntervalMs))
                  : std::chrono::duration_cast<TickSchedule::Clock::duration>(std::chrono::seconds(1)) / fps;
    const auto now = Now();
    const auto wait =
        std::max(m_schedule.Next(began, now, period) - now, TickSchedule::Clock::duration::zero());
    // Whole milliseconds, rounded up: a timer that fires early would find the deadline
    // still ahead.
    m_timer.start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
}

// ---------------------------------------------------------------------------------------
// The connection's side

// Only a path whose last part is the stream's name can map to it (mapping keeps every
// part's spelling): any other request is not looked at further.
bool CRequestSocket::IsStreamRequest() const {
    return m_owner.Settings().StreamEnabled && m_request->url.find(kStreamPath + 1) != std::string::npos;
}

CRequestSocket::Handled CRequestSocket::AnswerStream(Method method) {
    CRequest& r = *m_request;
    const std::string root = Root();
    std::string candidate;
    if (!MapUrlToPath(root, r.url, candidate) || candidate != JoinPath(root, kStreamPath + 1))
        return Handled::No;
    if (!m_streamPassed) {
        // Any other spelling of the path while a password is set: the refused picture,
        // once, like any file; the query (which may hold a password) is not kept.
        r.url = "/pass.jpg";
        m_streamRefused = true;
        r.query.clear();
        r.execKind = ExecNone;
        return Handled::No;
    }
    MjpegStreamHub& hub = m_owner.Streams();
    if (hub.Full() || hub.FullFor(ClientKey())) {
        AppendError(503);
        return Handled::Answered;
    }
    r.execKind = ExecNone;
    AppendStatus(200);
    AppendText(hub.Framing().HeadLines());
    if (method == kHead)
        return Handled::Answered;
    AppendText(hub.Framing().FirstBoundary());
    m_stream = std::make_unique<StreamClient>();
    hub.Add(this);
    return Handled::Answered;
}

bool CRequestSocket::StreamStalled(Clock::time_point now, Clock::duration limit) {
    // What the client has taken: what went into the socket less what still waits in it.
    int queued = 0;
    if (::ioctl(m_fd.Get(), SIOCOUTQ, &queued) != 0)
        queued = 0;
    const long long written =
        m_tls ? static_cast<long long>(m_tls->SocketBytesWritten()) : m_plainBytesWritten;
    const long long taken = written - queued;
    // An empty socket is a client waiting for the next picture, not a stall.
    if (taken != m_streamTaken || queued == 0) {
        m_streamTaken = taken;
        m_lastTaken = now;
        return false;
    }
    return now - m_lastTaken > limit;
}

std::shared_ptr<CRequest> CRequestSocket::StreamLogEntry() const {
    // The stream is logged when it starts: the list gets a finished copy of the request.
    auto entry = std::make_shared<CRequest>(*m_request);
    entry->done = true;
    return entry;
}

void CRequestSocket::OfferStreamPart(const StreamPart& part) {
    if (!m_stream || m_closed)
        return;
    if (m_owner.Hooks().touchViewer)
        m_owner.Hooks().touchViewer(m_clientAddress);
    const bool idle = m_outPos >= m_out.size() && !m_stream->Busy();
    if (!idle) {
        if (part)
            ++m_stream->partsSkipped; // still sending an earlier one: this one is skipped
        return;
    }
    // Waiting for a picture is not a stall.
    m_lastSendProgress = Clock::now();
    if (!part)
        return;
    m_stream->part = part;
    m_stream->sent = 0;
    ++m_stream->partsTaken;
    OnSend();
}

} // namespace kestrel
