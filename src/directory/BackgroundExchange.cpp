#include "directory/BackgroundExchange.h"

#include "model/QuitState.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <QTimer>

namespace kestrel {

BackgroundExchange::BackgroundExchange(DirectoryWork work, Done done)
    : m_receiver(std::make_unique<QObject>()), m_done(std::move(done)),
      m_delivery(std::make_shared<Delivery>()) {
    QObject* receiver = m_receiver.get();
    m_thread = std::thread([this, receiver, work = std::move(work)] {
        DirectoryReply reply = work(m_cancel);
        if (m_cancel.load())
            return;
        // The receiver outlives this thread (the destructor joins before deleting it); a
        // call still queued when it is deleted is dropped with it.
        QMetaObject::invokeMethod(
            receiver,
            [this, reply = std::move(reply)]() mutable {
                // `done` may open a dialog, and the object may be destroyed before it
                // returns: nothing of the object is touched after the call then.
                std::shared_ptr<Delivery> delivery = m_delivery;
                delivery->delivered = delivery->delivering = true;
                Done done = m_done;
                done(std::move(reply));
                delivery->delivering = false;
            },
            Qt::QueuedConnection);
    });
}

BackgroundExchange::~BackgroundExchange() {
    m_cancel.store(true);
    if (m_thread.joinable())
        m_thread.join();
    // Destroyed from inside `done`: the receiver is still delivering, so it goes later.
    if (m_delivery->delivering)
        m_receiver.release()->deleteLater();
    else
        m_receiver.reset();
}

DirectoryReply ExchangeWhileServing(const DirectoryWork& work) {
    std::atomic<bool> cancel{false};
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread())
        return work(cancel);

    QEventLoop loop;
    std::atomic<bool> finished{false};
    DirectoryReply reply;
    std::thread worker([&] {
        reply = work(cancel);
        finished.store(true);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    QTimer quitWatch;
    quitWatch.setInterval(100);
    QObject::connect(&quitWatch, &QTimer::timeout, [&] {
        if (IsQuitPending())
            cancel.store(true);
    });
    quitWatch.start();
    if (!finished.load())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    return reply;
}

} // namespace kestrel
