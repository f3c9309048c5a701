#pragma once

#include <string>
#include <vector>

struct stat;

namespace kestrel {

// Files the web server never serves, password or not, wherever they sit and by whatever
// name or link they are reached: the settings file, its lock and its damaged copy, and the
// hit logs written beside them. They are told by identity (device and inode, looked up
// at each request, since a save replaces the settings file by a new one), so a web root
// that holds them, a link to them or a hard link gives nothing away.
struct PrivateFiles {
    std::vector<std::string> files;
    // The folder whose hit logs (" Log YYYYMMDD.hsl") are private too; empty: none.
    std::string logFolder;

    // Whether the file at `path`, whose attributes are `st`, is one of them.
    bool Holds(const std::string& path, const struct stat& st) const;
};

} // namespace kestrel
