#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <string>

#include "model/OwnFileNames.h"

namespace kestrel {

// The local time a snapshot or hit log name stands for (a hit log: its day's midnight);
// -1 when the name is not one.
std::time_t SnapshotNameTime(const std::string& name);
std::time_t HitLogNameTime(const std::string& name);

// Keeps the snapshot folder within a size and an age. One scan when the folder is first
// seen (or changes), then a running total: each new snapshot is added with its size, and
// the oldest snapshots go while the total is over the limit or they are too old. Files the
// program did not name are neither counted nor touched.
class SnapshotRetention {
public:
    // `maxBytes` 0: no size limit; `keepDays` 0: no age limit.
    SnapshotRetention(uint64_t maxBytes, uint32_t keepDays) : m_maxBytes(maxBytes), m_keepDays(keepDays) {}

    // Scans `folder` (its own-named files and their sizes) and prunes it.
    void Scan(const std::string& folder, std::time_t now);
    // A snapshot was written: counted, then the folder is pruned. A snapshot in another
    // folder than the one scanned (the web root moved) scans that one first.
    void Added(const std::string& path, std::time_t now);

    uint64_t TotalBytes() const { return m_total; }
    size_t Count() const { return m_files.size(); }
    uint64_t Deleted() const { return m_deleted; }

private:
    struct File {
        std::string name;
        uint64_t bytes;
    };
    void Prune(std::time_t now);
    bool Enabled() const { return m_maxBytes != 0 || m_keepDays != 0; }

    uint64_t m_maxBytes;
    uint32_t m_keepDays;
    std::string m_folder;
    std::deque<File> m_files; // oldest first (the names sort by time)
    uint64_t m_total = 0;
    uint64_t m_deleted = 0;
};

// Deletes the hit logs in `folder` whose day ended more than `keepDays` days before `now`
// (0: keeps all). Returns how many were deleted.
int PruneHitLogs(const std::string& folder, uint32_t keepDays, std::time_t now);

} // namespace kestrel
