#include "platform/AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {
// Makes a rename in the file's folder durable; failures change nothing for the caller.
void SyncFolderOf(const std::string& path) {
    auto slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string(".")
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
} // namespace

AtomicFile::AtomicFile(std::string target, int mode) : m_target(std::move(target)), m_mode(mode) {}

AtomicFile::~AtomicFile() {
    Discard();
}

bool AtomicFile::Open() {
    Discard();
    std::string pattern = m_target + ".tmpXXXXXX";
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        m_error = errno;
        return false;
    }
    m_stream = ::fdopen(fd, "wb");
    if (!m_stream) {
        m_error = errno;
        ::close(fd);
        ::unlink(pattern.c_str());
        return false;
    }
    m_tempPath = pattern;
    return true;
}

bool AtomicFile::Write(const void* data, size_t size) {
    if (!m_stream)
        return false;
    if (size && std::fwrite(data, 1, size, m_stream) != size) {
        m_error = errno ? errno : EIO;
        return false;
    }
    return true;
}

bool AtomicFile::Commit() {
    if (!m_stream)
        return false;
    bool ok = std::fflush(m_stream) == 0 && !std::ferror(m_stream);
    if (!ok)
        m_error = errno ? errno : EIO;
    if (ok && ::fchmod(::fileno(m_stream), static_cast<mode_t>(m_mode)) != 0) {
        m_error = errno;
        ok = false;
    }
    if (ok && m_durable && ::fsync(::fileno(m_stream)) != 0) {
        m_error = errno;
        ok = false;
    }
    if (std::fclose(m_stream) != 0 && ok) {
        m_error = errno;
        ok = false;
    }
    m_stream = nullptr;
    if (ok && ::rename(m_tempPath.c_str(), m_target.c_str()) != 0) {
        m_error = errno;
        ok = false;
    }
    if (!ok)
        ::unlink(m_tempPath.c_str());
    else if (m_durable)
        SyncFolderOf(m_target);
    m_tempPath.clear();
    return ok;
}

void AtomicFile::Discard() {
    if (m_stream) {
        std::fclose(m_stream);
        m_stream = nullptr;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}

int WriteFileAtomically(const std::string& target, const std::string& content, int mode) {
    AtomicFile file(target, mode);
    if (!file.Open() || !file.Write(content.data(), content.size()) || !file.Commit())
        return file.Error() ? file.Error() : EIO;
    return 0;
}

} // namespace kestrel
