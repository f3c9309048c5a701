#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct evp_pkey_st;

namespace kestrel {

// An ECDSA P-256 key pair of the TLS library (the account key and certificate keys).
using EcKey = std::shared_ptr<evp_pkey_st>;

// Base64 with the URL alphabet and no padding (RFC 7515 §2).
std::string Base64Url(std::string_view bytes);

// A new P-256 key; null when the library cannot make one.
EcKey MakeEcKey();
// The private key as unencrypted PKCS #8 PEM.
std::string EcKeyToPem(const EcKey& key);
// A P-256 private key from PEM; null for anything else (another curve, RSA, damage).
EcKey EcKeyFromPem(const std::string& pem);

// The public key as a JWK with its members in the order the thumbprint needs:
// {"crv":"P-256","kty":"EC","x":"…","y":"…"} (RFC 7638).
std::string PublicJwk(const EcKey& key);
// Base64Url of the SHA-256 of PublicJwk: the account's part of every key authorization.
std::string JwkThumbprint(const EcKey& key);

// The 64-byte ES256 signature of `data`: r and s as 32-byte big-endian numbers, one after
// the other (RFC 7518 §3.4), not the DER form the library makes. Empty on failure.
std::string SignEs256(const EcKey& key, std::string_view data);
// A DER ECDSA signature in that raw form, each number left-padded to `half` bytes; empty
// when the bytes are not a signature or a number is too long.
std::string DerSignatureToRaw(std::string_view der, std::size_t half = 32);

// A JWS in the flattened JSON form: the protected header and payload (both as given, here
// encoded) and the ES256 signature over them. An empty payload is POST-as-GET. Empty
// when signing fails.
std::string MakeJws(const EcKey& key, std::string_view protectedHeader, std::string_view payload);

// A certificate request (DER) for `names`, the first one also the subject's common name,
// signed with `key`. Empty on failure.
std::string MakeCsrDer(const EcKey& key, const std::vector<std::string>& names);

// A self-signed certificate (PEM) for `names` with the given validity, for serving the TLS
// port until a real certificate arrives. Empty on failure.
std::string MakeSelfSignedPem(const EcKey& key, const std::vector<std::string>& names, std::time_t notBefore,
                              std::time_t notAfter);

// What the first certificate of a PEM chain says about itself.
struct CertificateFacts {
    bool ok = false;
    std::time_t notBefore = 0, notAfter = 0;
    std::vector<std::string> names; // its DNS names (subjectAltName), lower case
    std::string issuer;             // the issuer's common name (or the whole name)
    std::string error;              // why `ok` is false
};
CertificateFacts ReadCertificateFacts(const std::string& pem);

// Whether the private key in `keyPem` belongs to the first certificate of `chainPem`.
bool KeyMatchesCertificate(const std::string& keyPem, const std::string& chainPem);

} // namespace kestrel
