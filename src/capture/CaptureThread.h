#pragma once

#include "capture/Dib.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace kestrel {

// One opened device as its capture thread sees it. Every call runs on that thread.
class IFrameStream {
public:
    virtual ~IFrameStream() = default;
    // Opens the device and sets its format; reports the frame size or an error text.
    virtual bool Open(int& width, int& height, std::string& error) = 0;
    // Waits up to `timeoutMs` for the next frame: 1 = a frame in `frame`, 0 = none yet,
    // -1 = the device failed (unplugged, I/O error) and delivers no more.
    virtual int ReadFrame(DibBuffer& frame, int timeoutMs) = 0;
    virtual void Close() = 0;
};

// Runs one device on a thread of its own: opening and setting the format while the caller
// waits a bounded time, then dequeuing and converting frames and keeping the newest one.
// A device that fails or stops delivering is closed and opened again on the same thread,
// every retry period, until it delivers again (perhaps at another frame size) or the
// thread is stopped. The caller's thread never blocks on the device for longer than the
// connect wait, and never at all while the thread reconnects.
class CaptureThread {
public:
    using Clock = std::chrono::steady_clock;
    struct Timing {
        std::chrono::milliseconds connectWait{2000}; // how long Start waits for the open
        std::chrono::milliseconds staleAfter{2000};  // no frame this long: not delivering
        std::chrono::milliseconds retryEvery{2000};  // between attempts to open a lost device
        int readTimeoutMs = 100;                     // granularity of the stop check
    };
    // Makes the stream for an attempt to reopen a lost device (run on the capture
    // thread; it may look for the device anew). Null: the same stream is opened again.
    using Reopen = std::function<std::unique_ptr<IFrameStream>()>;

    explicit CaptureThread(std::unique_ptr<IFrameStream> stream);
    CaptureThread(std::unique_ptr<IFrameStream> stream, Timing timing, Reopen reopen = {});
    ~CaptureThread();
    CaptureThread(const CaptureThread&) = delete;
    CaptureThread& operator=(const CaptureThread&) = delete;

    // Starts the thread and waits for the open: true with the frame size when it
    // succeeded within the connect wait.
    bool Start(int& width, int& height, std::string& error);
    // Copies the newest frame; false when there is none or it is older than staleAfter.
    bool TakeNewest(DibBuffer& frame) const;
    // The same, only when the newest frame is not the one numbered `number` (the one taken
    // last): nothing is copied twice. `number` becomes the number of the frame taken.
    // Frame numbers are unique in the process, across threads and reconnections.
    bool TakeNewer(DibBuffer& frame, uint64_t& number) const;
    // `notify` is called on the capture thread after each new frame; an empty function
    // stops the calls. Once this returns no call of the old function is under way or to
    // come (Stop clears it as well).
    void SetFrameNotifier(std::function<void()> notify);
    // A frame arrived within staleAfter (or the device was opened less than that ago).
    bool IsDelivering() const;
    // Frames converted since the start (tests, statistics).
    uint64_t FramesDelivered() const;
    // Successful opens: 1 after Start, one more for every reconnection.
    uint64_t Connections() const;
    // The frame size of the last successful open.
    void FrameSize(int& width, int& height) const;
    // Asks the thread to end and waits for it a short while; a thread stuck in the device
    // is left to end by itself and cleans up after itself.
    void Stop();

    // State shared with the thread, which may outlive this object.
    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
    Timing m_timing;
    bool m_started = false;
};

} // namespace kestrel
