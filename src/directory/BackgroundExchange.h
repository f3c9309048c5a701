#pragma once

#include "directory/DirectoryClient.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class QObject;

namespace kestrel {

// One exchange with the directory server, done on a thread of its own so that the thread
// that serves the web site never waits for the directory server.
using DirectoryWork = std::function<DirectoryReply(const std::atomic<bool>& cancel)>;

// Starts `work` on its own thread at once; `done` runs later on the starting thread, from
// its event loop, with the reply. Destroying the object gives the exchange up (the work
// sees `cancel` set, the thread is joined) and `done` is never called after that.
class BackgroundExchange {
public:
    using Done = std::function<void(DirectoryReply)>;

    BackgroundExchange(DirectoryWork work, Done done);
    ~BackgroundExchange();
    BackgroundExchange(const BackgroundExchange&) = delete;
    BackgroundExchange& operator=(const BackgroundExchange&) = delete;

    // True until `done` has been called.
    bool Pending() const { return !m_delivery->delivered; }

private:
    std::atomic<bool> m_cancel{false};
    std::unique_ptr<QObject> m_receiver; // lives on the starting thread; `done` is posted to it
    Done m_done;
    struct Delivery {
        bool delivered = false;
        bool delivering = false; // inside `done`
    };
    std::shared_ptr<Delivery> m_delivery;
    std::thread m_thread;
};

// Runs `work` on its own thread and returns its reply, turning the calling thread's event
// loop meanwhile so that the web server keeps answering. The user's input waits (a dialog
// cannot be used twice at once); a quit requested meanwhile gives the exchange up. Without
// an application event loop on this thread the work simply runs here.
DirectoryReply ExchangeWhileServing(const DirectoryWork& work);

} // namespace kestrel
