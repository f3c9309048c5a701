#include "platform/RegularFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

template <typename Bytes> int ReadInto(const std::string& path, Bytes& out, size_t maxBytes) {
    out.clear();
    // Opening a FIFO for reading waits for a writer unless O_NONBLOCK is given.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0)
        return errno;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        return errno;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (!S_ISREG(st.st_mode))
        return EINVAL;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxBytes)
        return EFBIG;
    // A regular file: reads block as usual from here on.
    if (const int flags = ::fcntl(fd.Get(), F_GETFL);
        flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return errno;
    out.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    for (;;) {
        if (got == out.size()) {
            // The file grew since fstat: read on, within the limit.
            if (out.size() >= maxBytes) {
                char probe;
                ssize_t n;
                do
                    n = ::read(fd.Get(), &probe, 1);
                while (n < 0 && errno == EINTR);
                if (n < 0)
                    return errno;
                if (n > 0) {
                    out.clear();
                    return EFBIG;
                }
                break;
            }
            out.resize(std::min(maxBytes, out.size() + 65536));
        }
        const ssize_t n = ::read(fd.Get(), out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            out.clear();
            return err;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    out.resize(got); // a file that shrank while read is read as far as it goes
    return 0;
}

} // namespace

int ReadRegularFile(const std::string& path, std::vector<uint8_t>& bytes, size_t maxBytes) {
    return ReadInto(path, bytes, maxBytes);
}

int ReadRegularFile(const std::string& path, std::string& text, size_t maxBytes) {
    return ReadInto(path, text, maxBytes);
}

} // namespace kestrel
