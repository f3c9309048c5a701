#pragma once

#include <atomic>
#include <string>
#include <vector>

namespace kestrel {

constexpr const char* kAddressLookupPath = "/system/kestrellink/kestrelipset.cgi?";
constexpr size_t kMaxReplyBytes = 64 * 1024;
constexpr long kConnectTimeoutSeconds = 10;
constexpr long kExchangeTimeoutSeconds = 30;

// The outcome of one exchange with the directory server.
struct DirectoryReply {
    enum class Status {
        Ok,              // a reply was read (whatever its HTTP status)
        NotCreated,      // no request could be made (no host configured, client unavailable)
        TransportFailed, // unreachable, name not resolved, dropped, timed out
        Cancelled        // given up by its owner (the program is quitting); nothing is said
    };
    Status status = Status::NotCreated;
    int httpStatus = 0;             // the reply's HTTP status (0 when none was read)
    std::string body;               // the reply body in UTF-8 (up to the cap)
    std::vector<std::string> lines; // the body's lines, every CR and the line feeds dropped
    std::string joined;             // the lines joined with nothing between them
    bool capped = false;            // the body was longer than the cap; the rest was dropped
    std::string error; // the transport failure told (TransportFailureText), or why nothing was sent
};

// Lines of the reply without CR and LF, joined with nothing between them.
std::string JoinReplyLines(const std::string& body);
// The reply's lines: split at each LF, every CR dropped; a final line without LF counts.
std::vector<std::string> ReplyLines(const std::string& body);

// A form body value as the directory server expects it: bytes as typed, only "&"
// written "%26" so that a value cannot split into another field.
std::string FormValue(const std::string& value);

// The full URL for a path on the directory host ("host" or "host:port"; an IPv6 address
// goes in brackets).
std::string DirectoryUrl(const std::string& host, const std::string& path);

// What the owner is told when an exchange failed on the way: a short Japanese sentence by
// the kind of failure (name not found, no connection, timed out, TLS, other), then
// libcurl's own text in brackets for the curious.
std::string TransportFailureText(int curlCode, const std::string& detail);

// One blocking exchange with the directory server: `method` ("POST" or "GET") on
// `path`, the UTF-8 body sent in code page 932 with the form headers, agent "Http",
// always direct (no proxy), connect bounded to 10 s and the whole exchange to 30 s, the
// reply read up to `cap` bytes (reading stops there) and converted back to UTF-8. The request line carries
// `path` exactly as given (a final "?" included). An empty host sends nothing; a host
// that is not one sends nothing and says so once on standard error. Setting `*cancel`
// ends the exchange within about a second with the status Cancelled.
DirectoryReply DirectoryExchange(const std::string& host, const std::string& method, const std::string& path,
                                 const std::string& bodyUtf8, size_t cap = kMaxReplyBytes,
                                 const std::atomic<bool>* cancel = nullptr);

} // namespace kestrel
