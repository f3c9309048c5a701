#include "server/HttpParse.h"

#include "platform/Text.h"

#include <arpa/inet.h>
#include <climits>
#include <cstdio>
#include <cstring>

namespace kestrel {

namespace {

constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kDayLongNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kMonthLongNames[12] = {"January",   "February", "March",    "April",
                                             "May",       "June",     "July",     "August",
                                             "September", "October",  "November", "December"};

char LowerChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char UpperChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    return s;
}
std::string_view Trim(std::string_view s) {
    return kestrel::Trim(s, kAsciiWhiteSpace);
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

struct tm LocalTm(std::time_t t) {
    struct tm tm {};
    localtime_r(&t, &tm);
    return tm;
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

std::string DecodeUrl(std::string_view text, bool plusToBlank) {
    std::string s(text);
    if (plusToBlank)
        for (char& c : s)
            if (c == '+')
                c = ' ';
    if (s.find('%') == std::string::npos)
        return s;
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 1 < s.size() && s[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        if (i + 2 < s.size()) {
            int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
            // Lenient: a character that is not a hex digit counts as 0, as the
            // original arithmetic did for anything outside its ranges.
            out += static_cast<char>(16 * (hi < 0 ? 0 : hi) + (lo < 0 ? 0 : lo));
            i += 2;
            continue;
        }
        out += s[i]; // "%" with fewer than two characters after it stays
    }
    return out;
}

bool DecodeUrlStrict(std::string_view text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 1 < text.size() && text[i + 1] == '%') {
                c = '%';
                ++i;
            } else {
                if (i + 2 >= text.size())
                    return false;
                int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
                if (hi < 0 || lo < 0)
                    return false;
                c = static_cast<char>(16 * hi + lo);
                i += 2;
            }
        }
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
        out += c;
    }
    return true;
}

long long ParseContentLength(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (v > (LLONG_MAX - 9) / 10) {
            v = LLONG_MAX;
            break;
        }
        v = v * 10 + (text[i] - '0');
    }
    return negative ? -v : v;
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

namespace {

// Whether NormalizePath would give the path back unchanged: it begins with "/", and has no
// empty, "." or ".." part, no backslash and no "/" at its end.
bool IsNormalPath(std::string_view path) {
    if (path.empty() || path[0] != '/')
        return false;
    if (path.size() == 1)
        return true;
    if (path.back() == '/')
        return false;
    std::size_t i = 1;
    while (i <= path.size()) {
        std::size_t j = i;
        while (j < path.size() && path[j] != '/') {
            if (path[j] == '\\')
                return false;
            ++j;
        }
        std::string_view comp = path.substr(i, j - i);
        if (comp.empty() || comp == "." || comp == "..")
            return false;
        i = j + 1;
    }
    return true;
}

} // namespace

std::string NormalizePath(std::string_view path) {
    if (IsNormalPath(path))
        return std::string(path);
    std::vector<std::string_view> parts;
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t j = i;
        while (j < path.size() && path[j] != '/' && path[j] != '\\')
            ++j;
        std::string_view comp = path.substr(i, j - i);
        if (comp.empty() || comp == ".") {
            // nothing
        } else if (comp == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else {
            parts.push_back(comp);
        }
        i = j + 1;
    }
    if (parts.empty())
        return "/";
    std::string out;
    for (auto p : parts) {
        out += '/';
        out += p;
    }
    return out;
}

bool MapUrlToPath(const std::string& root, std::string_view url, std::string& out) {
    std::string joined = root;
    joined += url;
    if (joined.size() >= PATH_MAX)
        return false;
    std::string full = NormalizePath(joined);
    if (full.size() >= PATH_MAX)
        return false;
    if (root == "/") {
        out = full;
        return true;
    }
    if (full == root ||
        (full.size() > root.size() && full.compare(0, root.size(), root) == 0 && full[root.size()] == '/')) {
        out = full;
        return true;
    }
    return false;
}

bool IsHiddenBelowRoot(const std::string& root, const std::string& path) {
    std::string_view below = path;
    if (below.compare(0, root.size(), root) == 0)
        below.remove_prefix(root.size());
    std::size_t i = 0;
    while (i < below.size()) {
        while (i < below.size() && below[i] == '/')
            ++i;
        if (i < below.size() && below[i] == '.')
            return true;
        while (i < below.size() && below[i] != '/')
            ++i;
    }
    return false;
}

std::string HostWithoutPort(std::string_view host) {
    if (!host.empty() && host[0] == '[') {
        auto close = host.find(']');
        return std::string(host.substr(0, close == std::string_view::npos ? host.size() : close + 1));
    }
    return std::string(host.substr(0, host.find(':')));
}

std::string BracketIfIpv6(const std::string& host) {
    // Only a real IPv6 literal: "cam.example:8080" is a host with a port, not an address.
    in6_addr address{};
    std::string bare = host.substr(0, host.find('%')); // a zone id ("fe80::1%eth0") is kept as written
    if (inet_pton(AF_INET6, bare.c_str(), &address) == 1)
        return "[" + host + "]";
    return host;
}

std::string ApplyPicturePassword(const std::string& rawPath, const std::string& password, bool* passed) {
    return ApplyPasswordRule(rawPath, "/frame.jpg", password, passed);
}

std::string ApplyPasswordRule(const std::string& rawPath, const std::string& name,
                              const std::string& password, bool* passed) {
    if (passed)
        *passed = false;
    const std::string withQuery = name + "?";
    if (rawPath.compare(0, withQuery.size(), withQuery) == 0 && rawPath.size() >= withQuery.size()) {
        if (password.empty())
            return name;
        if (rawPath.size() == withQuery.size())
            return "/pass.jpg";
        std::string afterQuery = rawPath.substr(rawPath.find('?') + 1);
        auto key = afterQuery.find("&picid=");
        if (key == std::string::npos)
            return "/pass.jpg";
        std::string offered = afterQuery.substr(key + 7);
        // Browsers form-encode blanks and non-ASCII characters of the query.
        if (offered == password || DecodeUrl(offered, true) == password) {
            if (passed)
                *passed = true;
            return name;
        }
        return "/pass.jpg";
    }
    if (!password.empty() && rawPath.compare(0, name.size(), name) == 0 && rawPath.size() >= name.size())
        return "/pass.jpg";
    return rawPath;
}

int CompareNoCase(std::string_view a, std::string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(LowerChar(a[i]));
        unsigned char y = static_cast<unsigned char>(LowerChar(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string ToLower(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = LowerChar(c);
    return r;
}

std::string ToUpper(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = UpperChar(c);
    return r;
}

std::string HtmlEscape(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&':
            r += "&amp;";
            break;
        case '<':
            r += "&lt;";
            break;
        case '>':
            r += "&gt;";
            break;
        case '"':
            r += "&quot;";
            break;
        default:
            r += c;
        }
    }
    return r;
}

namespace {
void AppendPercentByte(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
}
} // namespace

std::string PercentEncodePath(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char ch : path) {
        auto c = static_cast<unsigned char>(ch);
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '_' || c == '~' || c == '/';
        if (keep)
            out += ch;
        else
            AppendPercentByte(out, c);
    }
    return out;
}

namespace {

// Appends `field` with its control bytes percent-encoded.
void AppendEscapedControlBytes(std::string& out, std::string_view field) {
    for (char ch : field) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            AppendPercentByte(out, c);
        else
            out += ch;
    }
}

} // namespace

std::string EscapeControlBytes(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    AppendEscapedControlBytes(out, field);
    return out;
}

std::string ListingSizeText(bool folder, std::uint64_t size) {
    if (folder)
        return "  Folder";
    if (size >= 4ULL * 1024 * 1024 * 1024)
        return "   &gt; 4GB";
    if (size >= 1024) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%7lluK", static_cast<unsigned long long>(size / 1024));
        return buf;
    }
    return "    &lt; 1K";
}

void ScriptEnvironment::Add(const std::string& name, const std::string& value) {
    std::string entry = name + "=" + value;
    auto it = m_entries.begin();
    while (it != m_entries.end() && CompareNoCase(*it, entry) <= 0)
        ++it;
    m_total += entry.size() + 1;
    m_entries.insert(it, std::move(entry));
}

std::string ScriptHeaderVariable(std::string_view headerName) {
    std::string_view name = Trim(headerName);
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
            std::string_view name = Trim(std::string_view(line).substr(0, colon));
            std::string_view value = Trim(std::string_view(line).substr(colon + 1));
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

std::string HitLogFileName(std::time_t requestTime) {
    struct tm tm = LocalTm(requestTime);
    char buf[64];
    std::snprintf(buf, sizeof buf, " Log %04d%02d%02d.hsl", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

std::string HitLogHeader(std::time_t requestTime) {
    struct tm tm = LocalTm(requestTime);
    char buf[128];
    std::snprintf(buf, sizeof buf, "Hit Log for %s, %s %02d, %04d\r\n\r\n", kDayLongNames[tm.tm_wday % 7],
                  kMonthLongNames[tm.tm_mon % 12], tm.tm_mday, tm.tm_year + 1900);
    return buf;
}

std::string HitLogTime(std::time_t requestTime) {
    struct tm tm = LocalTm(requestTime);
    char when[] = "00/00/00 00:00:00";
    auto two = [&when](int at, int value) {
        value = (value % 100 + 100) % 100;
        when[at] = static_cast<char>('0' + value / 10);
        when[at + 1] = static_cast<char>('0' + value % 10);
    };
    two(0, tm.tm_mon + 1);
    two(3, tm.tm_mday);
    two(6, tm.tm_year % 100);
    two(9, tm.tm_hour);
    two(12, tm.tm_min);
    two(15, tm.tm_sec);
    return std::string(when, 17);
}

void AppendHitLogLine(std::string& out, unsigned status, std::string_view clientAddress,
                      std::string_view when, std::string_view url, std::string_view query) {
    char head[] = " 000  \t";
    unsigned s = status;
    if (s <= 999) {
        head[1] = static_cast<char>('0' + s / 100);
        head[2] = static_cast<char>('0' + s / 10 % 10);
        head[3] = static_cast<char>('0' + s % 10);
        out += head;
    } else {
        out += ' ';
        out += std::to_string(s);
        out += "  \t";
    }
    // Request data never breaks the line or its tab-separated fields.
    auto escaped = [&out](std::string_view field) { AppendEscapedControlBytes(out, field); };
    out += clientAddress;
    out += '\t';
    out += when;
    out += '\t';
    escaped(url);
    out += '\t';
    out += clientAddress;
    out += ' ';
    if (!query.empty()) {
        out += "? ";
        escaped(query);
    }
}

std::string HitLogLine(unsigned status, const std::string& clientAddress, std::time_t requestTime,
                       const std::string& url, const std::string& query) {
    std::string line;
    AppendHitLogLine(line, status, clientAddress, HitLogTime(requestTime), url, query);
    return line;
}

std::string FormatUptime(bool listening, long long seconds) {
    if (!listening)
        return " 00h 00m";
    if (seconds < 0)
        seconds = 0;
    long long days = seconds / 86400, hours = seconds % 86400 / 3600, minutes = seconds % 3600 / 60;
    char buf[64];
    if (days == 0)
        std::snprintf(buf, sizeof buf, " %02lldh %02lldm", hours, minutes);
    else
        std::snprintf(buf, sizeof buf, " %lldd %02lldh %02lldm", days, hours, minutes);
    return buf;
}

std::string ListingDate(std::time_t t) {
    struct tm tm = LocalTm(t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year % 100,
                  tm.tm_hour, tm.tm_min);
    return buf;
}

} // namespace kestrel
