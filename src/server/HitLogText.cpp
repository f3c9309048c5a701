// The fixed-layout texts of the hit log and the uptime display.

#include "server/HitLogText.h"

#include "server/Escaping.h"

#include <cstdio>

namespace kestrel {

namespace {

constexpr const char* kDayLongNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
constexpr const char* kMonthLongNames[12] = {"January",   "February", "March",    "April",
                                             "May",       "June",     "July",     "August",
                                             "September", "October",  "November", "December"};

struct tm LocalTm(std::time_t t) {
    struct tm tm {};
    localtime_r(&t, &tm);
    return tm;
}

} // namespace

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
        // A picture password never reaches the log, whatever spelling of the target carried it:
        // everything after the first "picid=" is written as one '*'.
        const auto key = query.find("picid=");
        if (key == std::string_view::npos) {
            escaped(query);
        } else {
            escaped(query.substr(0, key + 6));
            out += '*';
        }
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

} // namespace kestrel
