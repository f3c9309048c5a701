#pragma once

#include "acme/AcmeCrypto.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace kestrel {

// What one certificate order needs.
struct AcmeOrderInput {
    std::string directoryUrl;
    std::string email;  // contact, may be empty
    std::string caFile; // extra CAs trusted for the ACME server, may be empty
    std::vector<std::string> names;
    EcKey accountKey, certificateKey;
    // Puts up and takes down the answer to an HTTP-01 challenge (token → key authorization).
    std::function<void(const std::string& token, const std::string& keyAuthorization)> publish;
    std::function<void(const std::string& token)> withdraw;
    const std::atomic<bool>* cancel = nullptr;
};

struct AcmeOutcome {
    bool ok = false;
    std::string chainPem;       // the certificate and its chain, as the CA sent them
    std::string error;          // what went wrong, with the CA's explanation
    long long retryAfter = -1;  // seconds the CA asked to wait (rateLimited), else -1
    std::string termsOfService; // from the directory, when it was read
    int nonceRetries = 0;       // requests sent again after a refused nonce
};

// Obtains a certificate (RFC 8555, HTTP-01): the directory, a nonce, the account (made
// with the account key when there is none yet; setting the domains agrees to the CA's
// terms), a new order for the names, each authorization's HTTP-01 challenge answered
// and polled, the order finalized with a certificate request for all names made with the
// certificate key, polled until valid, and the chain downloaded. Orders, authorizations
// and the certificate are fetched with POST-as-GET; every request carries a fresh nonce
// and a request refused for its nonce (badNonce) is sent again with the one that came
// back; Retry-After is followed when polling. Blocking: run it off the event threads.
AcmeOutcome ObtainCertificate(const AcmeOrderInput& input);

} // namespace kestrel
