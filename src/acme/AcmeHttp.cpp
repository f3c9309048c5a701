#include "acme/AcmeHttp.h"

#include "platform/RegularFile.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

namespace kestrel {

namespace {

constexpr std::size_t kMaxBody = 1024 * 1024;
constexpr std::size_t kMaxCaFile = 4 * 1024 * 1024;

struct CurlFree {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct ListFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

bool CurlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

struct Transfer {
    AcmeHttpReply* reply;
    bool tooLong = false;
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (t->reply->body.size() + bytes > kMaxBody) {
        t->tooLong = true;
        return 0;
    }
    t->reply->body.append(data, bytes);
    return bytes;
}

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    const auto first = s.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : s.substr(first);
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* reply = static_cast<Transfer*>(user)->reply;
    const std::size_t bytes = size * count;
    const std::string line(data, bytes);
    const auto colon = line.find(':');
    if (line.rfind("HTTP/", 0) == 0) {
        // A new reply (after an interim one): headers start over.
        reply->contentType.clear();
        reply->location.clear();
        reply->replayNonce.clear();
        reply->retryAfter.clear();
        return bytes;
    }
    if (colon == std::string::npos)
        return bytes;
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string value = Trimmed(line.substr(colon + 1));
    if (name == "content-type")
        reply->contentType = value;
    else if (name == "location")
        reply->location = value;
    else if (name == "replay-nonce")
        reply->replayNonce = value;
    else if (name == "retry-after")
        reply->retryAfter = value;
    return bytes;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancel = static_cast<const std::atomic<bool>*>(user);
    return cancel && cancel->load() ? 1 : 0;
}

// Adds the certificates of the extra CA file to the store the library already filled
// from the system's CA store.
CURLcode AddExtraCas(CURL*, void* sslContext, void* user) {
    const auto* pem = static_cast<const std::string*>(user);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())),
                                                  BIO_free);
    int added = 0;
    while (X509* cert = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr) {
        if (X509_STORE_add_cert(store, cert) == 1)
            ++added;
        X509_free(cert);
    }
    ERR_clear_error();
    return added > 0 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

} // namespace

AcmeHttpReply AcmeHttp::Exchange(const char* method, const std::string& url, const std::string& body,
                                 const std::string& accept) {
    AcmeHttpReply reply;
    if (url.rfind("https://", 0) != 0) {
        reply.error = "the address " + url + " is not an https:// address";
        return reply;
    }
    std::string extraCas;
    if (!m_extraCaFile.empty()) {
        if (int err = ReadRegularFile(m_extraCaFile, extraCas, kMaxCaFile)) {
            reply.error = "AcmeCaFile " + m_extraCaFile + " cannot be read (" + std::strerror(err) + ")";
            return reply;
        }
        if (extraCas.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
            reply.error = "AcmeCaFile " + m_extraCaFile + " holds no PEM certificate";
            return reply;
        }
    }
    std::unique_ptr<CURL, CurlFree> curl(CurlReady() ? curl_easy_init() : nullptr);
    if (!curl) {
        reply.error = "the HTTP library could not be started";
        return reply;
    }
    CURL* h = curl.get();
    Transfer transfer{&reply};
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::unique_ptr<curl_slist, ListFree> headers;
    auto addHeader = [&headers](const std::string& line) {
        if (curl_slist* grown = curl_slist_append(headers.get(), line.c_str())) {
            (void)headers.release();
            headers.reset(grown);
        }
    };
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Kestrel");
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, m_cancel);
    if (!extraCas.empty()) {
        // CURLOPT_CAINFO would replace the system's store; this adds to it.
        if (curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &AddExtraCas) != CURLE_OK) {
            reply.error = "this build of the HTTP library cannot add AcmeCaFile to the system's CA store";
            return reply;
        }
        curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &extraCas);
    }
    addHeader("Accept-Language: en");
    if (!accept.empty())
        addHeader("Accept: " + accept);
    if (std::string(method) == "POST") {
        addHeader("Content-Type: application/jose+json");
        addHeader("Expect:");
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    } else if (std::string(method) == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        if (transfer.tooLong)
            reply.error = "the reply from " + url + " is longer than 1 MiB";
        else if (rc == CURLE_ABORTED_BY_CALLBACK)
            reply.error = "stopped";
        else
            reply.error = (errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(rc))) +
                          " (" + url + ")";
        reply.body.clear();
        return reply;
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    reply.status = static_cast<int>(status);
    reply.sent = true;
    return reply;
}

} // namespace kestrel
