#pragma once

#include <atomic>
#include <string>

namespace kestrel {

// One HTTPS exchange with an ACME server.
struct AcmeHttpReply {
    bool sent = false; // a reply was read (whatever its status)
    int status = 0;
    std::string body;                                           // up to 1 MiB
    std::string contentType, location, replayNonce, retryAfter; // those headers
    std::string error;                                          // the transport's error when nothing was read
};

// HTTPS only, the server verified against the system's CA store and, when `extraCaFile`
// is set, the CAs of that PEM file as well (a private CA or a test server's). Never
// through a proxy of the environment, no redirects followed. Bounded: 10 s to connect,
// 60 s for the whole exchange; `cancel` set ends it early.
class AcmeHttp {
public:
    AcmeHttp(std::string extraCaFile, const std::atomic<bool>* cancel)
        : m_extraCaFile(std::move(extraCaFile)), m_cancel(cancel) {}

    AcmeHttpReply Get(const std::string& url) { return Exchange("GET", url, {}, {}); }
    AcmeHttpReply Head(const std::string& url) { return Exchange("HEAD", url, {}, {}); }
    // A JWS body ("application/jose+json"); `accept` is the Accept header when set.
    AcmeHttpReply PostJose(const std::string& url, const std::string& jws, const std::string& accept = {}) {
        return Exchange("POST", url, jws, accept);
    }

private:
    AcmeHttpReply Exchange(const char* method, const std::string& url, const std::string& body,
                           const std::string& accept);
    std::string m_extraCaFile;
    const std::atomic<bool>* m_cancel;
};

} // namespace kestrel
