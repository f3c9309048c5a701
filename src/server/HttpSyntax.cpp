// The HTTP/1.0 wire syntax the server reads and writes: status lines, the request line,
// header lines, Content-Length and dates.

#include "server/HttpSyntax.h"

#include "server/Escaping.h"

#include <climits>
#include <cstdio>

namespace kestrel {

namespace {

constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    return s;
}

// A date field: `len` characters at `pos`, leading blanks removed, then digits only.
bool DateNumber(std::string_view text, std::size_t pos, std::size_t len, int& out) {
    if (pos + len > text.size())
        return false;
    std::string_view f = text.substr(pos, len);
    while (!f.empty() && f.front() == ' ')
        f.remove_prefix(1);
    if (f.empty())
        return false;
    int v = 0;
    for (char c : f) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

bool DateMonth(std::string_view text, std::size_t pos, int& out) {
    if (pos + 3 > text.size())
        return false;
    std::string m = ToLower(text.substr(pos, 3));
    static constexpr const char* names[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                              "jul", "aug", "sep", "oct", "nov", "dec"};
    out = 13; // an unknown name carries into January of the next year
    for (int i = 0; i < 12; ++i)
        if (m == names[i])
            out = i + 1;
    return true;
}

} // namespace

std::string StatusLine(unsigned code) {
    switch (code) {
    case 200:
        return "200 OK";
    case 302:
        return "302 Redirection";
    case 304:
        return "304 Not Modified";
    case 400:
        return "400 Bad Request";
    case 403:
        return "403 Forbidden";
    case 404:
        return "404 Not Found";
    case 500:
        return "500 Internal Server Error";
    case 501:
        return "501 Not Implemented";
    case 503:
        return "503 Service Unavailable";
    default:
        return {};
    }
}

RequestLine SplitRequestLine(std::string_view line) {
    RequestLine r;
    auto blank = line.find(' ');
    if (blank == std::string_view::npos)
        return r;
    r.ok = true;
    r.method = std::string(line.substr(0, blank));
    std::string_view rest = line.substr(blank + 1);
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    auto second = rest.find(' ');
    if (second == std::string_view::npos) {
        while (!rest.empty() && IsSpace(rest.back()))
            rest.remove_suffix(1);
        r.url = std::string(rest);
        return r;
    }
    r.url = std::string(rest.substr(0, second));
    std::string_view version = rest.substr(second + 1);
    while (!version.empty() && version.front() == ' ')
        version.remove_prefix(1);
    r.version = std::string(version);
    return r;
}

bool ParseHeaderLine(std::string_view line, std::string& name, std::string& value) {
    auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    name = ToLower(line.substr(0, colon));
    value = std::string(TrimLeft(line.substr(colon + 1)));
    return true;
}

long long ParseContentLength(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    const std::size_t digits = i;
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        v = v > (LLONG_MAX - 9) / 10 ? LLONG_MAX : v * 10 + (text[i] - '0');
    if (i == digits)
        return -1;
    for (; i < text.size(); ++i)
        if (text[i] != ' ' && text[i] != '\t')
            return -1;
    return v;
}

std::string FormatHttpDate(std::time_t t) {
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[tm.tm_wday % 7],
                  tm.tm_mday, kMonthNames[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buf;
}

std::optional<std::time_t> ParseHttpDate(std::string_view text) {
    if (text.size() < 4)
        return std::nullopt;
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    bool ok = false;
    if (text[3] == ' ') { // Sun Nov  6 08:49:37 1994
        ok = DateNumber(text, 8, 2, day) && DateMonth(text, 4, month) && DateNumber(text, 20, 4, year) &&
             DateNumber(text, 11, 2, hour) && DateNumber(text, 14, 2, minute) &&
             DateNumber(text, 17, 2, second);
    } else if (text[3] == ',') { // Sun, 06 Nov 1994 08:49:37 GMT
        ok = DateNumber(text, 5, 2, day) && DateMonth(text, 8, month) && DateNumber(text, 12, 4, year) &&
             DateNumber(text, 17, 2, hour) && DateNumber(text, 20, 2, minute) &&
             DateNumber(text, 23, 2, second);
    } else { // Sunday, 06-Nov-94 08:49:37 GMT
        auto p = text.find(", ");
        if (p == std::string_view::npos)
            return std::nullopt;
        ok = DateNumber(text, p + 2, 2, day) && DateMonth(text, p + 5, month) &&
             DateNumber(text, p + 9, 2, year) && DateNumber(text, p + 12, 2, hour) &&
             DateNumber(text, p + 15, 2, minute) && DateNumber(text, p + 18, 2, second);
        if (ok)
            year += year <= 50 ? 2000 : 1900;
    }
    if (!ok || year == 0)
        return std::nullopt;
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    std::time_t t = timegm(&tm);
    if (t == static_cast<std::time_t>(-1))
        return std::nullopt;
    struct tm check {};
    if (!gmtime_r(&t, &check) || check.tm_min != minute)
        return std::nullopt;
    return t;
}

} // namespace kestrel
