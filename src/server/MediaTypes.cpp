#include "server/MediaTypes.h"

#include "server/Escaping.h"

#include <fstream>
#include <sstream>

namespace kestrel {

MediaTypes::MediaTypes(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    while (in && std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string type, ext;
        if (!(words >> type))
            continue;
        while (words >> ext)
            m_types.emplace(ToLower(ext), type); // the first mention of an extension wins
        m_fromFile = true;
    }
    if (m_fromFile)
        return;
    static constexpr const char* builtIn[][2] = {
        {"html", "text/html"},
        {"htm", "text/html"},
        {"txt", "text/plain"},
        {"css", "text/css"},
        {"js", "text/javascript"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"png", "image/png"},
        {"bmp", "image/bmp"},
        {"ico", "image/vnd.microsoft.icon"},
        {"svg", "image/svg+xml"},
        {"xml", "application/xml"},
        {"json", "application/json"},
        {"pdf", "application/pdf"},
        {"zip", "application/zip"},
        {"class", "application/java-vm"},
        {"jar", "application/java-archive"},
        {"wav", "audio/x-wav"},
        {"mp3", "audio/mpeg"},
        {"avi", "video/x-msvideo"},
        {"mp4", "video/mp4"},
        {"csv", "text/csv"},
    };
    for (const auto& row : builtIn)
        m_types.emplace(row[0], row[1]);
}

std::string MediaTypes::ForPath(std::string_view path) const {
    auto dot = path.rfind('.');
    auto slash = path.rfind('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return {};
    auto it = m_types.find(ToLower(path.substr(dot + 1)));
    return it == m_types.end() ? std::string() : it->second;
}

const MediaTypes& MediaTypes::Shared() {
    static const MediaTypes types;
    return types;
}

} // namespace kestrel
