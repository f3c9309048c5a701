#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

class QSocketNotifier;

namespace kestrel {

// A copy started with a display while another copy holds the same settings file asks that
// copy to bring its window to the front, through a local socket named after the settings
// file in $XDG_RUNTIME_DIR that only the user can reach.

// The socket's path; empty without $XDG_RUNTIME_DIR or when the path would be too long.
std::string RaiseSocketPath(const std::string& settingsFile);

// Held by the running copy with a window: every connection of the same user is a request
// to come to the front, answered once `raise` has run.
class RaiseListener : public QObject {
    Q_OBJECT
public:
    RaiseListener(const std::string& settingsFile, std::function<void()> raise);
    ~RaiseListener() override;
    RaiseListener(const RaiseListener&) = delete;
    RaiseListener& operator=(const RaiseListener&) = delete;
    bool Listening() const { return m_fd >= 0; }

private:
    void Accept();

    std::string m_path;
    int m_fd = -1;
    std::function<void()> m_raise;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// Asks the running copy to come to the front; true when it answered within `timeoutMs`.
bool AskRunningCopyToRaise(const std::string& settingsFile, int timeoutMs = 3000);

// What the second copy says when the holder did not answer (it runs without a display).
std::string HeldByAnotherCopyMessage(const std::string& settingsFile, pid_t holder);

} // namespace kestrel
