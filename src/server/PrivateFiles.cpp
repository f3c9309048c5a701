#include "server/PrivateFiles.h"

#include "model/OwnFileNames.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

namespace kestrel {

namespace {

// How long looked-up identities are trusted, and how close to a look a change must be to
// count as possibly missed (file times come from a coarse clock).
constexpr time_t kTrustSeconds = 1;

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

timespec Minus(timespec t, time_t seconds) {
    t.tv_sec -= seconds;
    return t;
}

} // namespace

void PrivateFiles::Refresh(const timespec& now) const {
    m_known.clear();
    for (const std::string& file : files) {
        struct stat st {};
        if (!file.empty() && ::stat(file.c_str(), &st) == 0)
            m_known.emplace_back(st.st_dev, st.st_ino);
    }
    for (const std::string& privateFolder : folders) {
        if (DIR* dir = ::opendir(privateFolder.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                struct stat st {};
                if (::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode))
                    m_known.emplace_back(st.st_dev, st.st_ino);
            }
            ::closedir(dir);
        }
    }
    struct stat folder {};
    if (logFolder.empty() || ::stat(logFolder.c_str(), &folder) != 0) {
        m_hitLogs.clear();
    } else if (m_logFolderTime.tv_sec != folder.st_mtim.tv_sec ||
               m_logFolderTime.tv_nsec != folder.st_mtim.tv_nsec ||
               !Before(folder.st_mtim, Minus(now, kTrustSeconds))) {
        // Hit logs come and go by name in that folder, which changes its modification time; a
        // time close to now may hide a second change in the same clock tick, so look again.
        m_hitLogs.clear();
        m_logFolderTime = folder.st_mtim;
        if (DIR* dir = ::opendir(logFolder.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                struct stat st {};
                if (IsHitLogName(entry->d_name) && ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 &&
                    S_ISREG(st.st_mode))
                    m_hitLogs.emplace_back(st.st_dev, st.st_ino);
            }
            ::closedir(dir);
        }
    }
    m_lookedAt = now;
}

bool PrivateFiles::Holds(const struct stat& st) const {
    if (!S_ISREG(st.st_mode) || (files.empty() && logFolder.empty() && folders.empty()))
        return false;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const bool stale = m_lookedAt.tv_sec == 0 || Before(now, m_lookedAt) ||
                       !Before(now, {m_lookedAt.tv_sec + kTrustSeconds, m_lookedAt.tv_nsec});
    // Changed at or after (about) the last look: it may have taken a private file's place.
    const bool changedSince = !Before(st.st_ctim, Minus(m_lookedAt, kTrustSeconds));
    if (stale || changedSince)
        Refresh(now);
    const Identity id{st.st_dev, st.st_ino};
    return std::find(m_known.begin(), m_known.end(), id) != m_known.end() ||
           std::find(m_hitLogs.begin(), m_hitLogs.end(), id) != m_hitLogs.end();
}

} // namespace kestrel
