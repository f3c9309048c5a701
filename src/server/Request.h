#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace kestrel {

enum ExecKind { ExecNone = 0, ExecQuery = 1, ExecProgram = 2, ExecLibrary = 4 };
inline constexpr std::uint32_t kNoAttributes = 0xFFFFFFFFu;
// File attributes as the server keeps them (the other bits are never used).
inline constexpr std::uint32_t kAttrFolder = 0x10;

// One HTTP request. Shared (counted) by its connection and the request list; it
// outlives the connection until it has been written to the hit log.
struct CRequest {
    std::string pathTranslated;
    std::string pathInfo;
    std::string clientAddress;
    std::string method;
    std::string url;
    std::string version;
    std::map<std::string, std::string, std::less<>> headers; // by lower-case name
    std::string body;
    long long contentLength = 0;
    std::string filePath;
    std::uint32_t fileAttributes = kNoAttributes;
    int execKind = ExecNone;
    std::string query;
    unsigned status = 0;
    bool done = false;
    long long bytesSent = 0;
    std::time_t requestTime = 0;

    // The stored value of a header, or "" ("Content-Length" finds "content-length").
    std::string GetHeader(std::string_view name) const;
};

} // namespace kestrel
