#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace kestrel {

// Extension -> media type, read once from /etc/mime.types, with a small built-in table
// for when that file is missing. Extensions are matched case-insensitively.
class MediaTypes {
public:
    // Reads `file`; when it cannot be read the built-in table is used.
    explicit MediaTypes(const std::string& file = "/etc/mime.types");
    // The type for a path ("/x/a.JPG" -> "image/jpeg"); empty when none is known.
    std::string ForPath(std::string_view path) const;
    bool FromFile() const { return m_fromFile; }

    // The table shared by every server in the process, built on first use.
    static const MediaTypes& Shared();

private:
    std::unordered_map<std::string, std::string> m_types;
    bool m_fromFile = false;
};

} // namespace kestrel
