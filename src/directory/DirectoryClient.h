#pragma once

#include <string>

namespace kestrel {

constexpr const char* kAddressLookupPath = "/system/kestrellink/kestrelipset.cgi?";
constexpr size_t kMaxReplyBytes = 64 * 1024;
constexpr long kConnectTimeoutSeconds = 10;
constexpr long kExchangeTimeoutSeconds = 30;

// The outcome of one exchange with the directory server.
struct DirectoryReply {
    enum class Status {
        Ok,             // a reply was read (whatever its HTTP status)
        NotCreated,     // no request could be made (no host configured, client unavailable)
        TransportFailed // unreachable, name not resolved, dropped, timed out
    };
    Status status = Status::NotCreated;
    std::string joined; // the reply's lines joined, CR and LF dropped, in UTF-8
    std::string error;  // the transport error's text
};

// Lines of the reply without CR and LF, joined with nothing between them.
std::string JoinReplyLines(const std::string& body);

// A form body value as the directory server expects it: bytes as typed, only "&"
// written "%26" so that a value cannot split into another field.
std::string FormValue(const std::string& value);

// The full URL for a path on the directory host ("host" or "host:port"; an IPv6 address
// goes in brackets).
std::string DirectoryUrl(const std::string& host, const std::string& path);

// One blocking exchange with the directory server: `method` ("POST" or "GET") on
// `path`, the UTF-8 body sent in code page 932 with the form headers, agent "Http",
// always direct (no proxy), connect bounded to 10 s and the whole exchange to 30 s, the
// reply read up to 64 KiB (reading stops there) and converted back to UTF-8.
DirectoryReply DirectoryExchange(const std::string& host, const std::string& method, const std::string& path,
                                 const std::string& bodyUtf8);

} // namespace kestrel
