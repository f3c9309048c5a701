// Directory exchanges off the thread that serves the web site.

#include "directory/BackgroundExchange.h"
#include "model/QuitState.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace kestrel;

namespace {

// Waits up to `seconds` for `flag`; true when it was seen.
bool WaitFor(const std::atomic<bool>& flag, int seconds) {
    for (QDeadlineTimer end(seconds * 1000); !flag.load() && !end.hasExpired();)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return flag.load();
}

TEST(ExchangeWhileServing, TheCallingThreadsEventLoopTurnsMeanwhileAndAQuitGivesItUp) {
    // A timer of this thread must fire while the exchange waits: that is how the web server,
    // which lives on this thread, keeps answering during a registration.
    std::atomic<bool> timerFired{false};
    QTimer::singleShot(0, [&] { timerFired = true; });
    DirectoryReply reply = ExchangeWhileServing([&](const std::atomic<bool>&) {
        DirectoryReply r;
        r.status =
            WaitFor(timerFired, 10) ? DirectoryReply::Status::Ok : DirectoryReply::Status::TransportFailed;
        return r;
    });
    EXPECT_EQ(reply.status, DirectoryReply::Status::Ok);

    // A quit requested meanwhile gives the exchange up.
    QTimer::singleShot(50, [] { SetQuitPending(true); });
    bool sawCancel = false;
    ExchangeWhileServing([&](const std::atomic<bool>& cancel) {
        sawCancel = WaitFor(cancel, 10);
        return DirectoryReply{};
    });
    SetQuitPending(false);
    EXPECT_TRUE(sawCancel);
}

TEST(BackgroundExchange, ReplyComesOnTheStartingThreadAndNeverAfterDestruction) {
    std::thread::id doneOn;
    int calls = 0;
    {
        BackgroundExchange exchange([](const std::atomic<bool>&) { return DirectoryReply{}; },
                                    [&](DirectoryReply) { doneOn = std::this_thread::get_id(), ++calls; });
        for (QDeadlineTimer end(10000); exchange.Pending() && !end.hasExpired();)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_FALSE(exchange.Pending());
    }
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(doneOn, std::this_thread::get_id());

    // Destroyed while the work waits: the work is told to stop, and its reply never arrives.
    std::atomic<bool> cancelled{false};
    {
        BackgroundExchange exchange(
            [&](const std::atomic<bool>& cancel) {
                cancelled = WaitFor(cancel, 10);
                return DirectoryReply{};
            },
            [&](DirectoryReply) { ++calls; });
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(calls, 1);
}

} // namespace
