#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <utility>
#include <vector>

struct stat;

namespace kestrel {

// Files the web server never serves, password or not, wherever they sit and by whatever
// name or link they are reached: the settings file, its lock and its damaged copy, the hit
// logs written beside them, and every file of the private folders (the certificate folder). They are told by identity (device and inode), so a web root
// that holds them, a symbolic link or a hard link to them gives nothing away.
//
// The identities are looked up again at least once a second and whenever the file asked
// for changed since the last look (its status-change time is recent): a save replaces the
// settings file by a new file, and renaming or linking a file into place changes that
// file's status-change time. A file unchanged since the last look was not private then and
// cannot have become private since, so the common request costs no extra system call.
struct PrivateFiles {
    PrivateFiles() = default;
    PrivateFiles(std::vector<std::string> privateFiles, std::string hitLogFolder)
        : files(std::move(privateFiles)), logFolder(std::move(hitLogFolder)) {}

    std::vector<std::string> files;
    // The folder whose hit logs (" Log YYYYMMDD.hsl") are private too; empty: none.
    std::string logFolder;
    // Folders all of whose files are private (looked up with the files above).
    std::vector<std::string> folders;

    // Whether the file whose attributes are `st` is one of them.
    bool Holds(const struct stat& st) const;

private:
    void Refresh(const timespec& now) const;

    using Identity = std::pair<dev_t, ino_t>;
    mutable std::vector<Identity> m_known;
    mutable std::vector<Identity> m_hitLogs;
    mutable timespec m_lookedAt{};      // when the identities were last looked up; 0: never
    mutable timespec m_logFolderTime{}; // the log folder's modification time at its last scan
};

} // namespace kestrel
