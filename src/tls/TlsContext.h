#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;

namespace kestrel {

// A server context of the TLS library, shared: every connection made with it keeps it
// alive, so a context replaced by a renewed one lives on until its last connection ends.
using TlsContextPtr = std::shared_ptr<ssl_ctx_st>;

struct TlsContextResult {
    TlsContextPtr context; // null when the pair cannot be used
    std::string error;     // why, naming the file; empty on success
};

// What the context offers: TLS 1.2 and 1.3 only, forward-secret AEAD ciphers (ECDHE,
// and DHE with RSA), no compression, no renegotiation, session tickets, ALPN "http/1.1".
struct TlsOptions {
    bool sessionTickets = true; // tickets and the server's session cache
};

// Builds a server context from a PEM certificate file (the server's certificate first,
// then any chain) and a PEM private key file (RSA or EC). Refused with a reason: a file
// that cannot be read or is not a regular file, no certificate, no key, a key protected
// by a passphrase, a key that does not belong to the certificate. The key's bytes are
// read into memory only and wiped there after use.
TlsContextResult LoadTlsContext(const std::string& certFile, const std::string& keyFile,
                                const TlsOptions& options = {});

} // namespace kestrel
