#pragma once

#include <string>

namespace kestrel {

// Folder + "/" + name, without doubling the "/" of the root folder.
inline std::string JoinPath(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// Whether `path` is `folder` or lies below it (lexically).
inline bool IsAtOrBelow(const std::string& path, const std::string& folder) {
    if (folder == "/")
        return !path.empty() && path[0] == '/';
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

} // namespace kestrel
