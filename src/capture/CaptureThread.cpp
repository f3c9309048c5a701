#include "capture/CaptureThread.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kestrel {

struct CaptureThread::Shared {
    std::unique_ptr<IFrameStream> stream; // used by the capture thread only once started
    Reopen reopen;
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex.
    enum class OpenState { Pending, Opened, Failed } open = OpenState::Pending;
    int width = 0, height = 0;
    std::string error;
    DibBuffer newest;
    uint64_t newestNumber = 0;
    std::function<void()> notify;
    bool haveFrame = false;
    Clock::time_point newestAt{};
    Clock::time_point openedAt{};
    bool failed = false; // lost: reconnecting
    bool exited = false;
    uint64_t frames = 0;
    uint64_t connections = 0;
    bool stop = false;
};

namespace {

using Shared = CaptureThread::Shared;

// Frame numbers, unique across every capture thread of the process.
std::atomic<uint64_t> g_frameNumbers{0};

bool StopRequested(Shared& s) {
    std::lock_guard lock(s.mutex);
    return s.stop;
}

// The device was lost: closes it and opens it again every retry period, without holding
// the lock while the device is busy. False when the thread was stopped meanwhile.
bool Reconnect(Shared& s, const CaptureThread::Timing& timing) {
    {
        std::lock_guard lock(s.mutex);
        s.failed = true;
        s.haveFrame = false;
    }
    s.stream->Close();
    for (;;) {
        {
            std::unique_lock lock(s.mutex);
            if (s.changed.wait_for(lock, timing.retryEvery, [&] { return s.stop; }))
                return false;
        }
        std::unique_ptr<IFrameStream> fresh = s.reopen ? s.reopen() : nullptr;
        IFrameStream& stream = fresh ? *fresh : *s.stream;
        int width = 0, height = 0;
        std::string error;
        if (!stream.Open(width, height, error)) {
            stream.Close();
            continue;
        }
        if (fresh)
            s.stream = std::move(fresh);
        std::lock_guard lock(s.mutex);
        s.width = width, s.height = height;
        s.failed = false;
        s.openedAt = CaptureThread::Clock::now();
        ++s.connections;
        return true;
    }
}

void RunCapture(std::shared_ptr<Shared> s, CaptureThread::Timing timing) {
    int width = 0, height = 0;
    std::string error;
    const bool opened = s->stream->Open(width, height, error);
    {
        std::lock_guard lock(s->mutex);
        s->open = opened ? Shared::OpenState::Opened : Shared::OpenState::Failed;
        s->width = width, s->height = height, s->error = error;
        s->openedAt = CaptureThread::Clock::now();
        if (opened)
            ++s->connections;
    }
    s->changed.notify_all();
    DibBuffer frame;
    auto lastFrame = CaptureThread::Clock::now();
    while (opened && !StopRequested(*s)) {
        const int got = s->stream->ReadFrame(frame, timing.readTimeoutMs);
        const auto now = CaptureThread::Clock::now();
        if (got > 0) {
            lastFrame = now;
            frame.SetCapturedUs(WallClockUs());
            std::lock_guard lock(s->mutex);
            std::swap(s->newest, frame);
            s->newestNumber = ++g_frameNumbers;
            s->haveFrame = true;
            s->newestAt = now;
            ++s->frames;
            // Under the lock, so that clearing the notifier also waits for a call under way.
            if (s->notify)
                s->notify();
            continue;
        }
        // Failed, or present but silent for too long: open it again.
        if (got < 0 || now - lastFrame > timing.staleAfter) {
            if (!Reconnect(*s, timing))
                break;
            lastFrame = CaptureThread::Clock::now();
        }
    }
    s->stream->Close();
    {
        std::lock_guard lock(s->mutex);
        s->exited = true;
    }
    s->changed.notify_all();
}

} // namespace

CaptureThread::CaptureThread(std::unique_ptr<IFrameStream> stream)
    : CaptureThread(std::move(stream), Timing{}) {}

CaptureThread::CaptureThread(std::unique_ptr<IFrameStream> stream, Timing timing, Reopen reopen)
    : m_shared(std::make_shared<Shared>()), m_timing(timing) {
    m_shared->stream = std::move(stream);
    m_shared->reopen = std::move(reopen);
}

CaptureThread::~CaptureThread() {
    Stop();
}

bool CaptureThread::Start(int& width, int& height, std::string& error) {
    if (m_started || !m_shared->stream)
        return false;
    m_started = true;
    // The thread owns a share of the state, so it may outlive this object safely.
    std::thread(RunCapture, m_shared, m_timing).detach();
    std::unique_lock lock(m_shared->mutex);
    const bool decided = m_shared->changed.wait_for(
        lock, m_timing.connectWait, [&] { return m_shared->open != Shared::OpenState::Pending; });
    if (!decided) {
        error = "the device did not answer within " + std::to_string(m_timing.connectWait.count()) + " ms";
        m_shared->stop = true;
        return false;
    }
    if (m_shared->open != Shared::OpenState::Opened) {
        error = m_shared->error;
        return false;
    }
    width = m_shared->width;
    height = m_shared->height;
    return true;
}

bool CaptureThread::TakeNewest(DibBuffer& frame) const {
    std::lock_guard lock(m_shared->mutex);
    if (!m_shared->haveFrame || m_shared->failed || Clock::now() - m_shared->newestAt > m_timing.staleAfter)
        return false;
    const auto& src = m_shared->newest;
    if (!frame.CopyFrom(src.Header(), src.Pixels()))
        return false;
    frame.SetCapturedUs(src.CapturedUs());
    return true;
}

bool CaptureThread::TakeNewer(DibBuffer& frame, uint64_t& number) const {
    std::lock_guard lock(m_shared->mutex);
    if (!m_shared->haveFrame || m_shared->failed || m_shared->newestNumber == number ||
        Clock::now() - m_shared->newestAt > m_timing.staleAfter)
        return false;
    const auto& src = m_shared->newest;
    if (!frame.CopyFrom(src.Header(), src.Pixels()))
        return false;
    frame.SetCapturedUs(src.CapturedUs());
    number = m_shared->newestNumber;
    return true;
}

void CaptureThread::SetFrameNotifier(std::function<void()> notify) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->notify = std::move(notify);
}

bool CaptureThread::IsDelivering() const {
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->open != Shared::OpenState::Opened || m_shared->failed || m_shared->exited)
        return false;
    const auto last = m_shared->haveFrame ? m_shared->newestAt : m_shared->openedAt;
    return Clock::now() - last <= m_timing.staleAfter;
}

uint64_t CaptureThread::FramesDelivered() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->frames;
}

uint64_t CaptureThread::Connections() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->connections;
}

void CaptureThread::FrameSize(int& width, int& height) const {
    std::lock_guard lock(m_shared->mutex);
    width = m_shared->width;
    height = m_shared->height;
}

void CaptureThread::Stop() {
    if (!m_started)
        return;
    std::unique_lock lock(m_shared->mutex);
    m_shared->stop = true;
    m_shared->notify = nullptr;     // a thread that outlives its owner calls nobody
    m_shared->changed.notify_all(); // ends a wait between reconnection attempts
    if (m_shared->open == Shared::OpenState::Pending)
        return; // stuck opening: it sees the flag when the open returns
    // The loop checks the flag at least every read timeout; wait a little longer than that.
    m_shared->changed.wait_for(lock, std::chrono::milliseconds(m_timing.readTimeoutMs * 5 + 200),
                               [&] { return m_shared->exited; });
}

} // namespace kestrel
