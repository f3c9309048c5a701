#include "server/PrivateFiles.h"

#include "model/OwnFileNames.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

namespace kestrel {

namespace {

bool SameFile(const std::string& path, const struct stat& st) {
    struct stat other {};
    return !path.empty() && ::stat(path.c_str(), &other) == 0 && other.st_dev == st.st_dev &&
           other.st_ino == st.st_ino;
}

} // namespace

bool PrivateFiles::Holds(const std::string& path, const struct stat& st) const {
    if (!S_ISREG(st.st_mode))
        return false;
    for (const std::string& file : files)
        if (SameFile(file, st))
            return true;
    if (logFolder.empty())
        return false;
    // A hit log reached through a link: its real name and folder decide.
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer))
        return false;
    const std::string real = buffer;
    const auto slash = real.rfind('/');
    if (!IsHitLogName(real.substr(slash + 1)))
        return false;
    struct stat folder {};
    return ::stat(slash == 0 ? "/" : real.substr(0, slash).c_str(), &folder) == 0 &&
           SameFile(logFolder, folder);
}

} // namespace kestrel
