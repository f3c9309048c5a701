#pragma once

#include <functional>
#include <memory>

namespace kestrel {

// A single-shot timer; the real one is a QTimer, tests inject their own to count passes.
class IIdleTimer {
public:
    virtual ~IIdleTimer() = default;
    virtual void Start(int milliseconds) = 0;
    virtual bool IsActive() const = 0;
    virtual void SetCallback(std::function<void()> callback) = 0;
};

std::unique_ptr<IIdleTimer> MakeQtIdleTimer();

// What one idle pass found.
enum class IdlePass {
    Done,          // nothing more to do until the next event
    More,          // work remains: run again as soon as the queue is empty
    MoreButStuck,  // work remains but this pass achieved nothing (waiting on open connections)
};

// Runs the idle housekeeping when the event queue is empty, armed by the events that
// create idle work rather than by every turn of the loop, so an idle program sleeps.
class IdleScheduler {
public:
    static constexpr int kStuckRetryMs = 20;
    // Passes run back to back in one turn of the event loop while each achieves something.
    static constexpr int kPassesPerTurn = 32;

    IdleScheduler(std::unique_ptr<IIdleTimer> timer, std::function<IdlePass()> pass);
    // Something happened that may leave idle work: run a pass once the queue is empty.
    void Arm();
    int Passes() const { return m_passes; }

private:
    void RunPass();
    std::unique_ptr<IIdleTimer> m_timer;
    std::function<IdlePass()> m_pass;
    int m_passes = 0;
    bool m_delayed = false;
};

} // namespace kestrel
