#pragma once

// The texts a script is given and gives back: its environment, its arguments and the head
// of its output. Pure functions over bytes.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// Script environment: NAME=value entries kept sorted case-insensitively, each new entry
// placed before the first one that compares greater.
class ScriptEnvironment {
public:
    void Add(const std::string& name, const std::string& value);
    const std::vector<std::string>& Entries() const { return m_entries; }
    std::size_t ByteTotal() const { return m_total; }

private:
    std::vector<std::string> m_entries;
    std::size_t m_total = 2;
};
// The environment variable name of a request header ("user-agent" -> "HTTP_USER_AGENT"),
// or empty when that header must not reach a script.
std::string ScriptHeaderVariable(std::string_view headerName);

// Arguments of a script: the query decoded with "+" as blank, split at blanks.
std::vector<std::string> ScriptArguments(const std::string& query);

// The head a script printed. `status` empty means "200 OK".
struct ScriptHead {
    std::string status;
    std::string headers;        // copied lines, each ending "\r\n"
    bool complete = false;      // an empty line ended the head
    std::size_t bodyOffset = 0; // where the body starts in the parsed bytes
};
ScriptHead ParseScriptHead(std::string_view output);

} // namespace kestrel
