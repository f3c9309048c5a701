#include "tls/TlsContext.h"

#include "platform/RegularFile.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>

namespace kestrel {

namespace {

// Certificate and key files are small; anything larger is not one.
constexpr std::size_t kMaxPemFile = 1024 * 1024;

// The "intermediate" choice of current server guides: forward secrecy and AEAD only.
constexpr const char* kTls12Ciphers = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                      "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                      "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
                                      "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:"
                                      "DHE-RSA-CHACHA20-POLY1305";
constexpr const char* kTls13Suites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kGroups = "X25519:P-256:P-384";
constexpr unsigned char kSessionContext[] = "kestrel";

// The library's last error as text (and its queue emptied).
std::string LibraryError() {
    unsigned long e = ERR_peek_last_error();
    std::string text;
    if (e != 0) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        text = buf;
    }
    ERR_clear_error();
    return text;
}

std::string ReadReason(int err) {
    switch (err) {
    case EISDIR:
        return "is a folder, not a file";
    case EINVAL:
        return "is not a regular file";
    case EFBIG:
        return "is larger than 1 MiB: not a PEM file";
    default:
        return std::string("cannot be read (") + std::strerror(err) + ")";
    }
}

// Offers "http/1.1" when the client lists it; otherwise the handshake goes on without ALPN.
int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
               unsigned inLength, void*) {
    static const unsigned char kOurs[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    unsigned char* selected = nullptr;
    if (SSL_select_next_proto(&selected, outLength, kOurs, sizeof kOurs, in, inLength) !=
        OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK;
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
}

// Asked for a passphrase: the key is encrypted. Answers with none and notes it.
int RefusePassphrase(char*, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return -1;
}

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

} // namespace

TlsContextResult LoadTlsContext(const std::string& certFile, const std::string& keyFile,
                                const TlsOptions& options) {
    TlsContextResult result;
    ERR_clear_error();
    if (certFile.empty() || keyFile.empty()) {
        result.error =
            certFile.empty() ? "no certificate file is set (TlsCertFile)" : "no key file is set (TlsKeyFile)";
        return result;
    }
    std::string certPem, keyPem;
    if (int err = ReadRegularFile(certFile, certPem, kMaxPemFile)) {
        result.error = "the certificate file " + certFile + " " + ReadReason(err);
        return result;
    }
    int keyErr = ReadRegularFile(keyFile, keyPem, kMaxPemFile);
    // The key never lingers in memory once the context holds it.
    struct Wipe {
        std::string& s;
        ~Wipe() { OPENSSL_cleanse(s.data(), s.size()); }
    } wipe{keyPem};
    if (keyErr) {
        result.error = "the key file " + keyFile + " " + ReadReason(keyErr);
        return result;
    }

    TlsContextPtr ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx) {
        result.error = "the TLS library could not make a context: " + LibraryError();
        return result;
    }
    SSL_CTX* c = ctx.get();
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION);
    SSL_CTX_set_options(c, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    // The server's order of the list below decides (AES-GCM first, ChaCha20 first for a
    // client that prefers it), so that no client talks a server down to a weaker cipher.
    SSL_CTX_set_options(c, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_PRIORITIZE_CHACHA);
    if (SSL_CTX_set_cipher_list(c, kTls12Ciphers) != 1 || SSL_CTX_set_ciphersuites(c, kTls13Suites) != 1 ||
        SSL_CTX_set1_groups_list(c, kGroups) != 1) {
        result.error = "the TLS library refused the cipher choice: " + LibraryError();
        return result;
    }
    SSL_CTX_set_dh_auto(c, 1);
    // Partial writes into a buffer that may move between tries (the output buffer grows);
    // idle connections give their buffers back.
    SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_alpn_select_cb(c, SelectAlpn, nullptr);
    SSL_CTX_set_session_id_context(c, kSessionContext, sizeof kSessionContext - 1);
    if (!options.sessionTickets) {
        SSL_CTX_set_options(c, SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(c, 0);
        SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    }

    // The certificate and its chain.
    std::unique_ptr<BIO, BioFree> certBio(BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size())));
    X509* leaf = certBio ? PEM_read_bio_X509_AUX(certBio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (!leaf) {
        ERR_clear_error();
        result.error = "the certificate file " + certFile + " holds no PEM certificate";
        return result;
    }
    const int used = SSL_CTX_use_certificate(c, leaf);
    X509_free(leaf);
    if (used != 1) {
        result.error = "the certificate in " + certFile + " cannot be used: " + LibraryError();
        return result;
    }
    SSL_CTX_clear_chain_certs(c);
    while (X509* ca = PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr)) {
        if (SSL_CTX_add0_chain_cert(c, ca) != 1) {
            X509_free(ca);
            result.error = "a chain certificate in " + certFile + " cannot be used: " + LibraryError();
            return result;
        }
    }
    ERR_clear_error(); // the end of the file reads as "no start line"

    // The key: never with a passphrase (a service has nobody to type it).
    std::unique_ptr<BIO, BioFree> keyBio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
    bool askedPassphrase = false;
    std::unique_ptr<EVP_PKEY, KeyFree> key(
        keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, RefusePassphrase, &askedPassphrase)
               : nullptr);
    if (!key) {
        ERR_clear_error();
        if (askedPassphrase || keyPem.find("ENCRYPTED") != std::string::npos)
            result.error = "the key file " + keyFile +
                           " is protected by a passphrase; give Kestrel the key without one "
                           "(openssl pkey -in KEY -out PLAIN-KEY, kept readable by Kestrel's user only)";
        else
            result.error = "the key file " + keyFile + " holds no PEM private key";
        return result;
    }
    if (SSL_CTX_use_PrivateKey(c, key.get()) != 1 || SSL_CTX_check_private_key(c) != 1) {
        ERR_clear_error();
        result.error = "the key in " + keyFile + " does not belong to the certificate in " + certFile;
        return result;
    }
    result.context = std::move(ctx);
    return result;
}

} // namespace kestrel
