#include "directory/DirectoryClient.h"

#include "directory/CodePage.h"
#include "model/HostChecks.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <atomic>
#include <cstdio>
#include <memory>

namespace kestrel {

namespace {

struct CurlEasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct CurlListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// libcurl's global state, set up once for the process.
bool CurlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

struct ReplyBody {
    std::string bytes;
    size_t cap = kMaxReplyBytes;
    bool capped = false; // the cap was reached and reading stopped there
};

size_t CollectReply(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<ReplyBody*>(user);
    const size_t bytes = size * count;
    const size_t room = body->cap - std::min(body->cap, body->bytes.size());
    body->bytes.append(data, std::min(bytes, room));
    if (bytes <= room)
        return bytes;
    // A reply that goes on past the cap is not read to its end (it may never end): the
    // exchange stops here and what arrived is judged.
    body->capped = true;
    return 0;
}

// Progress callback: a nonzero answer ends the exchange when its owner has given it up.
// libcurl calls it often while bytes move and about once a second while waiting.
int CheckCancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancel = static_cast<const std::atomic<bool>*>(user);
    return cancel->load() ? 1 : 0;
}

} // namespace

std::string JoinReplyLines(const std::string& body) {
    std::string joined;
    joined.reserve(body.size());
    for (char c : body)
        if (c != '\r' && c != '\n')
            joined += c;
    return joined;
}

std::vector<std::string> ReplyLines(const std::string& body) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : body) {
        if (c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    if (!body.empty() && body.back() != '\n')
        lines.push_back(std::move(line));
    return lines;
}

std::string FormValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '&')
            out += "%26";
        else
            out += c;
    }
    return out;
}

std::string DirectoryUrl(const std::string& host, const std::string& path) {
    in6_addr v6{};
    std::string h = host;
    if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        h = "[" + host + "]";
    return "http://" + h + path;
}

std::string TransportFailureText(int curlCode, const std::string& detail) {
    const char* said = nullptr;
    switch (curlCode) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        said = "ディレクトリサーバーの名前が見つかりません。基本設定のサーバー名とネットワークの設定を確かめ"
               "てください。";
        break;
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        said = "ディレクトリサーバーにつながりません。ネットワークを確かめて、しばらくしてからやり直してくだ"
               "さい。";
        break;
    case CURLE_OPERATION_TIMEDOUT:
        said = "ディレクトリサーバーが時間内に応えませんでした。しばらくしてからやり直してください。";
        break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        said = "ディレクトリサーバーとの暗号化（TLS）の取り決めに失敗しました。";
        break;
    default:
        said = "ディレクトリサーバーとのやりとりに失敗しました。";
        break;
    }
    return std::string(said) + "\n\n（" + detail + "）";
}

DirectoryReply DirectoryExchange(const std::string& host, const std::string& method, const std::string& path,
                                 const std::string& bodyUtf8, size_t cap, const std::atomic<bool>* cancel) {
    DirectoryReply reply;
    if (host.empty())
        return reply;
    if (!IsDirectoryHost(host)) {
        reply.error = "the directory server name \"" + host + "\" is not a host name; nothing is sent";
        static std::atomic<bool> said{false};
        if (!said.exchange(true))
            std::fprintf(stderr, "kestrel: %s\n", reply.error.c_str());
        return reply;
    }
    if (!CurlReady())
        return reply;
    std::unique_ptr<CURL, CurlEasyDeleter> curl(curl_easy_init());
    if (!curl)
        return reply;

    const std::string body = Utf8ToCp932(bodyUtf8);
    const std::string url = DirectoryUrl(host, path);
    std::unique_ptr<curl_slist, CurlListDeleter> headers;
    auto addHeader = [&headers](const std::string& line) {
        if (curl_slist* grown = curl_slist_append(headers.get(), line.c_str())) {
            (void)headers.release();
            headers.reset(grown);
        }
    };
    addHeader("Content-Length: " + std::to_string(body.size()));
    addHeader("Content-Type: application/x-www-form-urlencoded");
    addHeader("Accept:"); // no accept types
    addHeader("Expect:"); // the body goes out at once

    ReplyBody raw;
    raw.cap = cap;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    // The path goes on the request line as given: newer libcurl drops a final "?" with an
    // empty query from the URL, and the directory server's paths end in one.
    curl_easy_setopt(h, CURLOPT_REQUEST_TARGET, path.c_str());
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Http");
    curl_easy_setopt(h, CURLOPT_PROXY, ""); // always direct, whatever the environment says
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, kExchangeTimeoutSeconds);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CollectReply);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &raw);
    if (method == "POST") {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    } else {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    if (cancel) {
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &CheckCancelled);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, cancel);
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    }

    const CURLcode rc = curl_easy_perform(h);
    if (rc == CURLE_ABORTED_BY_CALLBACK) {
        reply.status = DirectoryReply::Status::Cancelled;
        reply.error = "the exchange with the directory server was given up";
        return reply;
    }
    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && raw.capped)) {
        reply.status = DirectoryReply::Status::TransportFailed;
        reply.error = TransportFailureText(rc, errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc));
        return reply;
    }
    reply.status = DirectoryReply::Status::Ok;
    long httpStatus = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &httpStatus);
    reply.httpStatus = static_cast<int>(httpStatus);
    reply.capped = raw.capped;
    reply.body = Cp932ToUtf8(raw.bytes);
    reply.lines = ReplyLines(reply.body);
    for (const std::string& line : reply.lines)
        reply.joined += line;
    return reply;
}

} // namespace kestrel
