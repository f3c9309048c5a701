#include "acme/AcmeCrypto.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>

namespace kestrel {

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct ReqFree {
    void operator()(X509_REQ* r) const { X509_REQ_free(r); }
};
struct SigFree {
    void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};
struct ExtsFree {
    void operator()(STACK_OF(X509_EXTENSION) * s) const {
        sk_X509_EXTENSION_pop_free(s, X509_EXTENSION_free);
    }
};
struct GeneralNamesFree {
    void operator()(GENERAL_NAMES* g) const { GENERAL_NAMES_free(g); }
};

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::unique_ptr<BIO, BioFree> ReadBio(const std::string& text) {
    return std::unique_ptr<BIO, BioFree>(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// The key's public point as x and y, 32 bytes each.
bool PublicPoint(const EcKey& key, std::string& x, std::string& y) {
    unsigned char point[65];
    std::size_t length = 0;
    if (!key ||
        EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &length) !=
            1 ||
        length != 65 || point[0] != 0x04)
        return false;
    x.assign(reinterpret_cast<const char*>(point + 1), 32);
    y.assign(reinterpret_cast<const char*>(point + 33), 32);
    return true;
}

bool IsP256(EVP_PKEY* key) {
    char curve[64] = {};
    std::size_t length = 0;
    return key && EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, curve, sizeof curve, &length) ==
               1 &&
           std::string(curve) == "prime256v1";
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// "DNS:a,DNS:b" for the subjectAltName extension.
std::string AltNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "DNS:" : ",DNS:") + name;
    return text;
}

std::time_t ToTime(const ASN1_TIME* t) {
    struct tm parts {};
    if (!t || ASN1_TIME_to_tm(t, &parts) != 1)
        return 0;
    return timegm(&parts);
}

} // namespace

std::string Base64Url(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (const std::size_t rest = bytes.size() - i) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        if (rest == 2)
            out += kAlphabet[(v >> 6) & 63];
    }
    return out;
}

EcKey MakeEcKey() {
    return EcKey(EVP_EC_gen("P-256"), EVP_PKEY_free);
}

std::string EcKeyToPem(const EcKey& key) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!key || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    return BioText(bio.get());
}

EcKey EcKeyFromPem(const std::string& pem) {
    auto bio = ReadBio(pem);
    EcKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
    ERR_clear_error();
    return IsP256(key.get()) ? key : EcKey();
}

std::string PublicJwk(const EcKey& key) {
    std::string x, y;
    if (!PublicPoint(key, x, y))
        return {};
    return R"({"crv":"P-256","kty":"EC","x":")" + Base64Url(x) + R"(","y":")" + Base64Url(y) + R"("})";
}

std::string JwkThumbprint(const EcKey& key) {
    const std::string jwk = PublicJwk(key);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (jwk.empty() || EVP_Digest(jwk.data(), jwk.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    return Base64Url(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string DerSignatureToRaw(std::string_view der, std::size_t half) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    if (!sig || p != reinterpret_cast<const unsigned char*>(der.data() + der.size()))
        return {};
    const BIGNUM* r = ECDSA_SIG_get0_r(sig.get());
    const BIGNUM* s = ECDSA_SIG_get0_s(sig.get());
    std::string raw(2 * half, '\0');
    auto* out = reinterpret_cast<unsigned char*>(raw.data());
    if (BN_bn2binpad(r, out, static_cast<int>(half)) < 0 ||
        BN_bn2binpad(s, out + half, static_cast<int>(half)) < 0)
        return {};
    return raw;
}

std::string SignEs256(const EcKey& key, std::string_view data) {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
        return {};
    std::size_t length = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (EVP_DigestSign(ctx.get(), nullptr, &length, bytes, data.size()) != 1)
        return {};
    std::string der(length, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(der.data()), &length, bytes,
                       data.size()) != 1)
        return {};
    der.resize(length);
    return DerSignatureToRaw(der);
}

std::string MakeJws(const EcKey& key, std::string_view protectedHeader, std::string_view payload) {
    const std::string head = Base64Url(protectedHeader);
    const std::string body = Base64Url(payload);
    const std::string signature = SignEs256(key, head + "." + body);
    if (signature.empty())
        return {};
    return R"({"protected":")" + head + R"(","payload":")" + body + R"(","signature":")" +
           Base64Url(signature) + R"("})";
}

std::string MakeCsrDer(const EcKey& key, const std::vector<std::string>& names) {
    std::unique_ptr<X509_REQ, ReqFree> req(X509_REQ_new());
    if (!key || names.empty() || !req)
        return {};
    X509_REQ_set_version(req.get(), 0);
    X509_NAME* subject = X509_REQ_get_subject_name(req.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(names[0].c_str()), -1, -1, 0);
    std::unique_ptr<STACK_OF(X509_EXTENSION), ExtsFree> extensions(sk_X509_EXTENSION_new_null());
    X509_EXTENSION* san =
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, AltNames(names).c_str());
    if (!extensions || !san) {
        X509_EXTENSION_free(san);
        ERR_clear_error();
        return {};
    }
    sk_X509_EXTENSION_push(extensions.get(), san);
    if (X509_REQ_add_extensions(req.get(), extensions.get()) != 1 ||
        X509_REQ_set_pubkey(req.get(), key.get()) != 1 ||
        X509_REQ_sign(req.get(), key.get(), EVP_sha256()) <= 0) {
        ERR_clear_error();
        return {};
    }
    unsigned char* der = nullptr;
    const int length = i2d_X509_REQ(req.get(), &der);
    if (length <= 0)
        return {};
    std::string out(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return out;
}

std::string MakeSelfSignedPem(const EcKey& key, const std::vector<std::string>& names, std::time_t notBefore,
                              std::time_t notAfter) {
    std::unique_ptr<X509, X509Free> cert(X509_new());
    if (!key || names.empty() || !cert)
        return {};
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(BN_new(), BN_free);
    if (!number || BN_rand(number.get(), 8 * sizeof serial - 1, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert.get())))
        return {};
    X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, 0, &notBefore);
    X509_time_adj_ex(X509_getm_notAfter(cert.get()), 0, 0, &notAfter);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(names[0].c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    const std::pair<int, std::string> extensions[] = {{NID_subject_alt_name, AltNames(names)},
                                                      {NID_basic_constraints, "critical,CA:FALSE"},
                                                      {NID_ext_key_usage, "serverAuth"}};
    for (const auto& [nid, value] : extensions) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
        const bool added = ext && X509_add_ext(cert.get(), ext, -1) == 1;
        X509_EXTENSION_free(ext);
        if (!added) {
            ERR_clear_error();
            return {};
        }
    }
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (X509_set_pubkey(cert.get(), key.get()) != 1 || X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0 ||
        !bio || PEM_write_bio_X509(bio.get(), cert.get()) != 1) {
        ERR_clear_error();
        return {};
    }
    return BioText(bio.get());
}

CertificateFacts ReadCertificateFacts(const std::string& pem) {
    CertificateFacts facts;
    auto bio = ReadBio(pem);
    std::unique_ptr<X509, X509Free> cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                                             : nullptr);
    ERR_clear_error();
    if (!cert) {
        facts.error = "holds no PEM certificate";
        return facts;
    }
    facts.notBefore = ToTime(X509_get0_notBefore(cert.get()));
    facts.notAfter = ToTime(X509_get0_notAfter(cert.get()));
    std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> alt(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; alt && i < sk_GENERAL_NAME_num(alt.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alt.get(), i);
        if (name->type != GEN_DNS)
            continue;
        const ASN1_IA5STRING* text = name->d.dNSName;
        facts.names.push_back(Lower(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                                                static_cast<std::size_t>(ASN1_STRING_length(text)))));
    }
    const X509_NAME* issuer = X509_get_issuer_name(cert.get());
    char buffer[256] = {};
    if (X509_NAME_get_text_by_NID(const_cast<X509_NAME*>(issuer), NID_commonName, buffer, sizeof buffer) > 0)
        facts.issuer = buffer;
    else if (X509_NAME_oneline(issuer, buffer, sizeof buffer))
        facts.issuer = buffer;
    ERR_clear_error();
    if (facts.notBefore == 0 || facts.notAfter <= facts.notBefore) {
        facts.error = "has no usable validity period";
        return facts;
    }
    facts.ok = true;
    return facts;
}

bool KeyMatchesCertificate(const std::string& keyPem, const std::string& chainPem) {
    const EcKey key = EcKeyFromPem(keyPem);
    auto bio = ReadBio(chainPem);
    std::unique_ptr<X509, X509Free> cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                                             : nullptr);
    const bool match = key && cert && X509_check_private_key(cert.get(), key.get()) == 1;
    ERR_clear_error();
    return match;
}

} // namespace kestrel
