#include "platform/InstanceLock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace kestrel {

InstanceLock::~InstanceLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool InstanceLock::Acquire(const std::string& lockFilePath) {
    if (m_fd >= 0)
        return true;
    int fd = ::open(lockFilePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_error = errno;
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_error = errno;
        m_heldElsewhere = (errno == EWOULDBLOCK);
        ::close(fd);
        return false;
    }
    m_fd = fd;
    // Only the holder writes, and only while it holds the lock. A failed write leaves the
    // holder unnamed, nothing worse.
    const std::string pid = std::to_string(::getpid()) + "\n";
    const bool written = ::ftruncate(fd, 0) == 0 &&
                         ::pwrite(fd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
    static_cast<void>(written);
    return true;
}

pid_t InstanceLock::HolderPid(const std::string& lockFilePath) {
    int fd = ::open(lockFilePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return 0;
    char buf[32] = {};
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0)
        return 0;
    char* end = nullptr;
    const long pid = std::strtol(buf, &end, 10);
    if (end == buf || (*end != '\n' && *end != '\0') || pid <= 0 || pid > 0x3FFFFFFF)
        return 0;
    return static_cast<pid_t>(pid);
}

} // namespace kestrel
