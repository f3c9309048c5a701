#pragma once

#include <QObject>

#include <memory>
#include <vector>

class QSocketNotifier;

namespace kestrel {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the main thread. The handler
// only writes the signal number into a pipe; the work happens in the event loop. SIGHUP
// and SIGINT that were ignored when the process started stay ignored. Also ignores
// SIGPIPE process-wide. One instance per process.
class SignalPipe : public QObject {
    Q_OBJECT
public:
    explicit SignalPipe(QObject* parent = nullptr);
    ~SignalPipe() override;
    bool Installed() const { return m_installed; }
    // The signals this object catches.
    const std::vector<int>& Caught() const { return m_caught; }

signals:
    void terminationRequested(int signalNumber);

private:
    void OnReadable();
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::vector<int> m_caught;
    bool m_installed = false;
};

} // namespace kestrel
