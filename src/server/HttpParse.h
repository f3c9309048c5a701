#pragma once

#include "model/HostChecks.h"

// Pure functions over bytes used by the web server: request-line and header parsing,
// URL decoding, dates, path mapping, the picture password and the small formatting
// rules of listings, scripts, the hit log and the uptime display. No I/O here except
// where a function says it queries the file system.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Percent-decoding. "%%" becomes "%", "%XY" the byte XY; the lenient form keeps
// whatever else it meets. With plusToBlank, every "+" first becomes a blank.
std::string DecodeUrl(std::string_view text, bool plusToBlank);
// The form used for request paths: a "%" not followed by two hexadecimal digits (other
// than "%%"), or a decoded byte below 0x20, makes it fail.
bool DecodeUrlStrict(std::string_view text, std::string& out);

// Content-Length as read by the body rule: leading blanks, an optional sign, then
// digits (no digits = 0). Values beyond the range of long long are clamped.
long long ParseContentLength(std::string_view text);

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

// Lexical normalisation of an absolute path: "/" and "\" are separators, repeated
// separators collapse, "." and ".." are resolved; no trailing "/" except for "/" itself.
std::string NormalizePath(std::string_view path);
// Root + url made into a full path; accepted only when it is the root or lies below it
// and fits PATH_MAX. `root` must already be normalised.
bool MapUrlToPath(const std::string& root, std::string_view url, std::string& out);
// True when any component of `path` below `root` begins with ".".
bool IsHiddenBelowRoot(const std::string& root, const std::string& path);

// The host of a valid Host header without its port ("[::1]:8080" -> "[::1]").
std::string HostWithoutPort(std::string_view host);
// An IPv6 literal written in brackets; any other host unchanged.
std::string BracketIfIpv6(const std::string& host);

// The picture password rule on the raw request path. `passed` says whether the path was
// let through as "/frame.jpg" while a password is set.
std::string ApplyPicturePassword(const std::string& rawPath, const std::string& password,
                                 bool* passed = nullptr);
// The same rule for another protected path `name` ("/stream.mjpg"): a path beginning with
// `name` + "?" is `name` when the password is empty or offered after "&picid=", otherwise
// "/pass.jpg"; while a password is set any other path beginning with `name` is "/pass.jpg".
std::string ApplyPasswordRule(const std::string& rawPath, const std::string& name,
                              const std::string& password, bool* passed = nullptr);

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
// Size column of a listing row.
std::string ListingSizeText(bool folder, std::uint64_t size);

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

// The hit log: file name and header for the day of `requestTime` (local time), and one
// line (without its CR LF).
std::string HitLogFileName(std::time_t requestTime);
std::string HitLogHeader(std::time_t requestTime);
std::string HitLogLine(unsigned status, const std::string& clientAddress, std::time_t requestTime,
                       const std::string& url, const std::string& query);
// The line's time field, "%m/%d/%y %H:%M:%S" in local time.
std::string HitLogTime(std::time_t requestTime);
// HitLogLine appended to `out`, with its time field already made by HitLogTime.
void AppendHitLogLine(std::string& out, unsigned status, std::string_view clientAddress,
                      std::string_view when, std::string_view url, std::string_view query);

// The uptime display: " 00h 00m" while stopped, " %Hh %Mm" below one day, " %Dd %Hh %Mm".
std::string FormatUptime(bool listening, long long seconds);

// Date of a listing row, local time "%m/%d/%y %H:%M".
std::string ListingDate(std::time_t t);

} // namespace kestrel
