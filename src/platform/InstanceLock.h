#pragma once

#include <string>
#include <sys/types.h>

namespace kestrel {

// The single-instance guard: an advisory lock on a file that is never deleted. The
// kernel drops the lock when the process dies, so a crash never blocks the next start.
// The holder writes its process id into the file, so a second copy can say who holds it.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True when this process now holds the lock; false when another process holds it
    // (or the lock file cannot be opened, with errno in Error()).
    bool Acquire(const std::string& lockFilePath);
    bool Held() const { return m_fd >= 0; }
    int Error() const { return m_error; }
    bool HeldElsewhere() const { return m_heldElsewhere; }

    // The process id the holder of the lock file wrote into it; 0 when none can be read
    // (an older holder, or one that has not written it yet).
    static pid_t HolderPid(const std::string& lockFilePath);

private:
    int m_fd = -1;
    int m_error = 0;
    bool m_heldElsewhere = false;
};

} // namespace kestrel
