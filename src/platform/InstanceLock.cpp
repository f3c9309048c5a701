#include "platform/InstanceLock.h"

#include <cerrno>
#include <fcntl.h>
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
    return true;
}

} // namespace kestrel
