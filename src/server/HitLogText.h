#pragma once

// The fixed-layout texts of the hit log and the uptime display.

#include <ctime>
#include <string>
#include <string_view>

namespace kestrel {

// The hit log: file name and header for the day of `requestTime` (local time), and one
// line (without its CR LF). Everything after the first "picid=" of the query is written as '*'.
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

} // namespace kestrel
