// The texts a script is given and gives back: its environment, its arguments and the
// head of its output.

#include "server/ScriptEnvironment.h"

#include "platform/Text.h"
#include "server/Escaping.h"
#include "server/HttpSyntax.h"
#include "server/UrlMapping.h"

namespace kestrel {

void ScriptEnvironment::Add(const std::string& name, const std::string& value) {
    std::string entry = name + "=" + value;
    auto it = m_entries.begin();
    while (it != m_entries.end() && CompareNoCase(*it, entry) <= 0)
        ++it;
    m_total += entry.size() + 1;
    m_entries.insert(it, std::move(entry));
}

std::string ScriptHeaderVariable(std::string_view headerName) {
    std::string_view name = Trim(headerName, kAsciiWhiteSpace);
    if (name.empty() || name.find('=') != std::string_view::npos || name.find('\0') != std::string_view::npos)
        return {};
    std::string v = "HTTP_" + ToUpper(name);
    for (char& c : v)
        if (c == '-')
            c = '_';
    if (v == "HTTP_PROXY")
        return {}; // many programs would take it for their proxy
    return v;
}

std::vector<std::string> ScriptArguments(const std::string& query) {
    std::vector<std::string> args;
    std::string decoded = DecodeUrl(query, true);
    std::size_t i = 0;
    while (i < decoded.size()) {
        while (i < decoded.size() && decoded[i] == ' ')
            ++i;
        std::size_t j = i;
        while (j < decoded.size() && decoded[j] != ' ')
            ++j;
        if (j > i)
            args.push_back(decoded.substr(i, j - i));
        i = j;
    }
    return args;
}

ScriptHead ParseScriptHead(std::string_view output) {
    ScriptHead head;
    // "Status" sets the status line and is not passed on; "Location" makes it a redirect.
    auto takeHeaderLine = [&head](const std::string& line) {
        auto colon = line.find(':');
        bool copy = true;
        if (colon != std::string::npos) {
            std::string_view name = Trim(std::string_view(line).substr(0, colon), kAsciiWhiteSpace);
            std::string_view value = Trim(std::string_view(line).substr(colon + 1), kAsciiWhiteSpace);
            if (CompareNoCase(name, "Status") == 0) {
                head.status = std::string(value);
                copy = false;
            } else if (CompareNoCase(name, "Location") == 0) {
                head.status = StatusLine(302);
            }
        }
        if (copy)
            head.headers += line + "\r\n";
    };
    std::string line;
    std::size_t i = 0;
    while (i < output.size()) {
        char c = output[i++];
        if (c == '\r')
            continue;
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.empty()) {
            head.complete = true;
            head.bodyOffset = i;
            return head;
        }
        takeHeaderLine(line);
        line.clear();
    }
    // Output ended without an empty line: every line is a header line, the body is empty.
    if (!line.empty())
        takeHeaderLine(line);
    head.bodyOffset = output.size();
    return head;
}

} // namespace kestrel
