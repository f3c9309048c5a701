#pragma once

// Byte-level text rules of the server's answers and logs: ASCII case helpers, HTML text,
// percent-encoded paths and control bytes.

#include <string>
#include <string_view>

namespace kestrel {

// Case-insensitive (ASCII) comparison; <0, 0, >0.
int CompareNoCase(std::string_view a, std::string_view b);
std::string ToLower(std::string_view s);
std::string ToUpper(std::string_view s);

// HTML text with &, <, >, " escaped.
std::string HtmlEscape(std::string_view s);
// A path made fit for an href or a Location header: every byte except the unreserved
// characters of URIs (letters, digits, "-", ".", "_", "~") and "/" is written "%XX", so
// "%", "?", "#", blanks and line breaks in file names stay part of the path.
std::string PercentEncodePath(std::string_view path);
// A request field made safe for one tab-separated log line: control bytes (below 0x20
// and 0x7F) are written "%XX"; everything else is kept.
std::string EscapeControlBytes(std::string_view field);
// EscapeControlBytes appended to `out`.
void AppendEscapedControlBytes(std::string& out, std::string_view field);

} // namespace kestrel
