#pragma once

// The HTTP/1.0 wire syntax: status lines, the request line, header lines, Content-Length
// and the three forms of dates. Pure functions over bytes.

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// Fixed texts of the server.
inline constexpr const char* kServerSoftware = "Velmora-Kestrel/1.0";
inline constexpr std::size_t kMaxRequestHead = 64 * 1024;
inline constexpr long long kMaxContentLength = 16LL * 1024 * 1024;

// The status line text for a code ("404 Not Found"); empty for an unknown code.
std::string StatusLine(unsigned code);

// A request line split at blanks: method before the first blank, the URL, then the
// version (leading blanks removed). `ok` is false when the line holds no blank at all.
struct RequestLine {
    bool ok = false;
    std::string method, url, version;
};
RequestLine SplitRequestLine(std::string_view line);

// "Name: value": the name before the first ":" in lower case (not trimmed), the value
// after it with leading white space removed. False for a line without ":".
bool ParseHeaderLine(std::string_view line, std::string& name, std::string& value);

// Content-Length: one or more digits, blanks allowed before and after; -1 for anything
// else (a sign, a list, trailing text, no digits). Values beyond long long are clamped.
long long ParseContentLength(std::string_view text);

// At most this many header lines in one request head.
inline constexpr std::size_t kMaxHeaderLines = 100;

// Dates on the wire: "Sun, 06 Nov 1994 08:49:37 GMT"; English names in every locale.
std::string FormatHttpDate(std::time_t t);
// FormatHttpDate of the time last asked for, made again only when the time differs.
class HttpDateCache {
public:
    const std::string& Format(std::time_t t) {
        if (t != m_time || m_text.empty()) {
            m_time = t;
            m_text = FormatHttpDate(t);
        }
        return m_text;
    }

private:
    std::time_t m_time = 0;
    std::string m_text;
};
// The three forms of HTTP dates (RFC 1123, RFC 850, asctime); nullopt when not a date.
std::optional<std::time_t> ParseHttpDate(std::string_view text);

} // namespace kestrel
