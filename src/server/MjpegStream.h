#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

class CRequestSocket;
class CServerSettings;

// The path of the live stream below the web root.
inline constexpr const char* kStreamPath = "/stream.mjpg";

// One part of the stream, shared by every client: its header lines, the JPEG picture and
// the boundary that ends it.
using StreamPart = std::shared_ptr<const std::string>;

// What one stream client holds: the part being sent (at most one) and how far it got.
struct StreamClient {
    StreamPart part;
    std::size_t sent = 0;
    std::uint64_t partsTaken = 0, partsSkipped = 0;
    bool Busy() const { return part && sent < part->size(); }
};

// The "multipart/x-mixed-replace" framing of the stream.
struct MjpegFraming {
    std::string boundary;
    // The header lines after the status line and the Server and Date lines, the empty line
    // included. A GET is followed by FirstBoundary().
    std::string HeadLines() const;
    std::string FirstBoundary() const { return "--" + boundary + "\r\n"; }
    // Part headers, the picture, and the next boundary line, so that a browser shows each
    // picture as soon as it has arrived. `capturedUs` (microseconds since the epoch) is when
    // the camera took the frame, sent as X-Timestamp so that a viewer can tell its age.
    std::string Part(const std::vector<std::uint8_t>& jpeg, std::int64_t capturedUs) const;
};

// A boundary token that differs between runs.
std::string MakeStreamBoundary();

// The stream's fixed cadence: ticks fall on a grid of whole periods from the first one,
// whatever each tick costs, so a late or slow tick never pushes the grid back. When a tick
// ends after the next grid point: if its own work took a period or more, the points it
// overran are skipped (the next tick is the first point still ahead); if it only started
// late (the loop was busy), the point it missed runs at once, and only older ones are
// dropped, so no burst of ticks follows. A new period starts its grid at the last deadline.
class TickSchedule {
public:
    using Clock = std::chrono::steady_clock;
    // The first tick is due at `now`.
    void Start(Clock::time_point now) { m_deadline = now; }
    // Called when a tick that began at `began` has ended at `now`: the deadline of the
    // next one (at or before `now` when it is due at once).
    Clock::time_point Next(Clock::time_point began, Clock::time_point now, Clock::duration period);
    Clock::time_point Deadline() const { return m_deadline; }
    // Grid points passed over without a tick.
    std::uint64_t Skipped() const { return m_skipped; }

private:
    Clock::time_point m_deadline{};
    std::uint64_t m_skipped = 0;
};

// The stream's clock: while at least one client is connected it composes one picture per
// tick (StreamMaxFps a second; one a second while the camera is off) and offers the same
// bytes to every client. A client still sending an earlier part skips the new one, so no
// client ever queues pictures. No tick runs while no client is connected.
class MjpegStreamHub : public QObject {
    Q_OBJECT
public:
    // Composes one picture into memory; false when there is none. `cameraOff` is set when
    // the camera-off picture was used.
    using Composer =
        std::function<bool(std::vector<std::uint8_t>& jpeg, bool& cameraOff, std::int64_t& capturedUs)>;

    using Clock = std::function<TickSchedule::Clock::time_point()>;

    // `clock` (tests) stands in for the steady clock.
    MjpegStreamHub(const CServerSettings& settings, Composer composer, QObject* parent = nullptr,
                   Clock clock = {});

    const MjpegFraming& Framing() const { return m_framing; }
    bool Full() const;
    // Whether the client address `clientKey` has all the streams one address may have.
    bool FullFor(const std::string& clientKey) const;
    void Add(CRequestSocket* client);
    void Remove(CRequestSocket* client);
    std::size_t ClientCount() const { return m_clients.size(); }
    // Pictures composed since the start (every one offered to every client).
    std::uint64_t PartsComposed() const { return m_composed; }
    bool Ticking() const { return m_timer.isActive(); }
    const TickSchedule& Schedule() const { return m_schedule; }

private:
    void Tick();
    TickSchedule::Clock::time_point Now() const;

    const CServerSettings& m_settings;
    Composer m_composer;
    MjpegFraming m_framing;
    std::vector<CRequestSocket*> m_clients; // in the order they came
    // While a part is offered: the clients still to be offered it; one that leaves meanwhile
    // is blanked there.
    std::vector<CRequestSocket*>* m_offering = nullptr;
    QTimer m_timer; // single shot, set for each deadline
    Clock m_clock;
    TickSchedule m_schedule;
    std::uint64_t m_composed = 0;
    std::vector<std::uint8_t> m_jpeg;
};

} // namespace kestrel
