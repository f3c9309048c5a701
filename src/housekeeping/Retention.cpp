#include "housekeeping/Retention.h"

#include "model/OwnFileNames.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrel {

namespace {

constexpr std::time_t kDay = 24 * 60 * 60;

int Number(const std::string& s, size_t from, size_t count) {
    return std::stoi(s.substr(from, count));
}

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// The regular files of `folder` for which `wanted` holds, with their sizes.
template <typename Pred>
std::vector<std::pair<std::string, uint64_t>> OwnFiles(const std::string& folder, Pred wanted) {
    std::vector<std::pair<std::string, uint64_t>> files;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return files;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (!wanted(name))
            continue;
        struct stat st {};
        // A link or folder wearing such a name is not one of ours.
        if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            files.emplace_back(name, static_cast<uint64_t>(st.st_size));
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

std::time_t SnapshotNameTime(const std::string& name) {
    if (!IsSnapshotName(name))
        return -1;
    return LocalTime(Number(name, 0, 4), Number(name, 5, 2), Number(name, 8, 2), Number(name, 11, 2),
                     Number(name, 14, 2), Number(name, 17, 2));
}

std::time_t HitLogNameTime(const std::string& name) {
    if (!IsHitLogName(name))
        return -1;
    return LocalTime(Number(name, 5, 4), Number(name, 9, 2), Number(name, 11, 2), 0, 0, 0);
}

void SnapshotRetention::Scan(const std::string& folder, std::time_t now) {
    m_folder = folder;
    m_files.clear();
    m_total = 0;
    if (!Enabled())
        return;
    for (auto& [name, bytes] : OwnFiles(folder, IsSnapshotName)) {
        m_files.push_back({name, bytes});
        m_total += bytes;
    }
    Prune(now);
}

void SnapshotRetention::Added(const std::string& path, std::time_t now) {
    if (!Enabled())
        return;
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (folder != m_folder) {
        Scan(folder, now); // finds the new one too
        return;
    }
    struct stat st {};
    if (!IsSnapshotName(name) || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    // Two snapshots in one second share a name: the later replaced the earlier.
    if (!m_files.empty() && m_files.back().name == name) {
        m_total -= m_files.back().bytes;
        m_files.pop_back();
    }
    m_files.push_back({name, static_cast<uint64_t>(st.st_size)});
    m_total += static_cast<uint64_t>(st.st_size);
    Prune(now);
}

void SnapshotRetention::Prune(std::time_t now) {
    const std::time_t oldest = m_keepDays ? now - static_cast<std::time_t>(m_keepDays) * kDay : 0;
    // Under the size limit the newest snapshot always stays: a limit below one picture must
    // not take the picture just taken.
    while (!m_files.empty()) {
        const File& front = m_files.front();
        const bool tooOld = m_keepDays && SnapshotNameTime(front.name) < oldest;
        const bool tooMuch = m_maxBytes && m_total > m_maxBytes && m_files.size() > 1;
        if (!tooOld && !tooMuch)
            break;
        const std::string path = m_folder + "/" + front.name;
        if (::unlink(path.c_str()) == 0 || errno == ENOENT)
            ++m_deleted;
        m_total -= front.bytes;
        m_files.pop_front();
    }
}

int PruneHitLogs(const std::string& folder, uint32_t keepDays, std::time_t now) {
    if (keepDays == 0)
        return 0;
    int deleted = 0;
    for (auto& [name, bytes] : OwnFiles(folder, IsHitLogName)) {
        // The log of day D is complete at D + 1 day; it stays keepDays days after that.
        const std::time_t ends = HitLogNameTime(name) + kDay;
        if (ends + static_cast<std::time_t>(keepDays) * kDay < now &&
            ::unlink((folder + "/" + name).c_str()) == 0)
            ++deleted;
    }
    return deleted;
}

} // namespace kestrel
