#include "app/IdleScheduler.h"

#include <QTimer>

namespace kestrel {

namespace {
class QtIdleTimer final : public IIdleTimer {
public:
    QtIdleTimer() {
        m_timer.setSingleShot(true);
        // A viewer's leaving is due at a given second: a coarse timer could fire early.
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (m_callback)
                m_callback();
        });
    }
    void Start(int ms) override { m_timer.start(ms); }
    bool IsActive() const override { return m_timer.isActive(); }
    void SetCallback(std::function<void()> callback) override { m_callback = std::move(callback); }

private:
    QTimer m_timer;
    std::function<void()> m_callback;
};
} // namespace

std::unique_ptr<IIdleTimer> MakeQtIdleTimer() { return std::make_unique<QtIdleTimer>(); }

IdleScheduler::IdleScheduler(std::unique_ptr<IIdleTimer> timer, std::function<IdlePass()> pass)
    : m_timer(std::move(timer)), m_pass(std::move(pass)) {
    m_timer->SetCallback([this] { RunPass(); });
}

void IdleScheduler::Arm() {
    // A pending immediate pass covers this event; a delayed retry is brought forward.
    if (m_timer->IsActive() && !m_delayed)
        return;
    m_delayed = false;
    m_timer->Start(0);
}

void IdleScheduler::RunPass() {
    // Passes that get something done follow each other at once, as idle processing does while
    // no event is waiting, up to kPassesPerTurn; then the loop turns before the next batch.
    // Under load this is one turn of the event loop per batch of requests, not per request.
    IdlePass result = IdlePass::Done;
    for (int n = 0; n < kPassesPerTurn; ++n) {
        ++m_passes;
        result = m_pass();
        if (result != IdlePass::More)
            break;
    }
    switch (result) {
    case IdlePass::Done: m_delayed = false; break;
    case IdlePass::More:
        m_delayed = false;
        m_timer->Start(0);
        break;
    case IdlePass::MoreButStuck:
        m_delayed = true;
        m_timer->Start(kStuckRetryMs);
        break;
    }
}

} // namespace kestrel
