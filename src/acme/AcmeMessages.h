#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace kestrel {

// The documents a certificate authority's ACME server sends (RFC 8555), read from their
// JSON bytes. Each parser is a pure function: false (with `error` saying what is missing)
// for bytes that are not the document.

// The directory: where each resource is, and the terms of service the account agrees to.
struct AcmeDirectory {
    std::string newNonce, newAccount, newOrder;
    std::string termsOfService; // may be empty
};
bool ParseAcmeDirectory(const std::string& body, AcmeDirectory& out, std::string& error);

// A problem document (RFC 7807) as the CA explains a refusal.
struct AcmeProblem {
    std::string type;                     // "urn:ietf:params:acme:error:badNonce", …
    std::string detail;                   // the CA's text
    std::vector<std::string> subproblems; // "<identifier>: <detail>" each
    // Whether the type is the ACME error `name` ("badNonce", "rateLimited", …).
    bool Is(const char* name) const;
    // The CA's explanation as one line: detail, then the subproblems.
    std::string Text() const;
};
// The problem in `body`; a body that is no problem document gives a problem whose detail
// names the HTTP status and the start of the body.
AcmeProblem ParseAcmeProblem(const std::string& body, int httpStatus);

struct AcmeOrder {
    std::string status; // pending, ready, processing, valid, invalid
    std::vector<std::string> authorizations;
    std::string finalize, certificate;
    bool hasError = false;
    AcmeProblem error;
};
bool ParseAcmeOrder(const std::string& body, AcmeOrder& out, std::string& error);

struct AcmeChallenge {
    std::string type, url, token, status;
    bool hasError = false;
    AcmeProblem error;
};
struct AcmeAuthorization {
    std::string status; // pending, valid, invalid, deactivated, expired, revoked
    std::string identifier;
    std::vector<AcmeChallenge> challenges;
    // The http-01 challenge; null when the CA offers none.
    const AcmeChallenge* Http01() const;
};
bool ParseAcmeAuthorization(const std::string& body, AcmeAuthorization& out, std::string& error);

// A Retry-After value (seconds, or an HTTP date) as seconds from `now`: 0 for a date
// already past, -1 when the value is neither.
long long ParseRetryAfter(const std::string& value, std::time_t now);

} // namespace kestrel
