#include "acme/AcmeClient.h"

#include "acme/AcmeHttp.h"
#include "acme/AcmeMessages.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

namespace kestrel {

namespace {

// A request refused for its nonce is sent again this often at most; servers refuse a few
// good nonces on purpose to keep clients honest.
constexpr int kNonceTries = 20;
// How long an authorization or the order may stay pending or processing.
constexpr int kPollSeconds = 180;

std::string Compact(const QJsonObject& o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

QJsonObject ObjectOf(const std::string& json) {
    return QJsonDocument::fromJson(QByteArray(json.data(), static_cast<qsizetype>(json.size()))).object();
}

class Session {
public:
    Session(const AcmeOrderInput& in, AcmeOutcome& out)
        : m_in(in), m_out(out), m_http(in.caFile, in.cancel) {}

    ~Session() {
        // Challenge answers are taken down however the order ended.
        for (const std::string& token : m_published)
            if (m_in.withdraw)
                m_in.withdraw(token);
    }

    bool Run() {
        if (!ReadDirectory() || !Account())
            return false;
        AcmeOrder order;
        std::string orderUrl;
        if (!NewOrder(order, orderUrl))
            return false;
        for (const std::string& url : order.authorizations)
            if (!Authorize(url))
                return false;
        if (!PollOrder(orderUrl, order, {"pending", "processing"}))
            return false;
        if (order.status == "ready") {
            if (!Finalize(order))
                return false;
            if (!PollOrder(orderUrl, order, {"processing"}))
                return false;
        }
        if (order.status != "valid" || order.certificate.empty())
            return Fail("the order ended as \"" + order.status + "\" without a certificate" +
                        OrderError(order));
        AcmeHttpReply reply;
        if (!Post(order.certificate, nullptr, reply, "application/pem-certificate-chain"))
            return false;
        if (reply.body.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
            return Fail("the certificate download held no PEM certificate");
        m_out.chainPem = reply.body;
        return true;
    }

private:
    bool Fail(const std::string& text) {
        if (m_out.error.empty())
            m_out.error = text;
        return false;
    }
    bool Cancelled() const { return m_in.cancel && m_in.cancel->load(); }

    // Waits `seconds`, waking early when cancelled; false when cancelled.
    bool Wait(long long seconds) {
        for (long long waited = 0; waited < seconds * 10; ++waited) {
            if (Cancelled())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return !Cancelled();
    }

    bool ReadDirectory() {
        AcmeHttpReply reply = m_http.Get(m_in.directoryUrl);
        if (!reply.sent)
            return Fail("the ACME directory " + m_in.directoryUrl + " could not be reached: " + reply.error);
        if (reply.status != 200)
            return Fail("the ACME directory " + m_in.directoryUrl + " answered HTTP " +
                        std::to_string(reply.status));
        std::string error;
        if (!ParseAcmeDirectory(reply.body, m_directory, error))
            return Fail("the ACME directory " + m_in.directoryUrl + ": " + error);
        m_out.termsOfService = m_directory.termsOfService;
        return true;
    }

    bool FreshNonce() {
        AcmeHttpReply reply = m_http.Head(m_directory.newNonce);
        if (!reply.sent)
            return Fail("no nonce from the CA: " + reply.error);
        if (reply.replayNonce.empty())
            return Fail("the CA's newNonce answer (HTTP " + std::to_string(reply.status) +
                        ") carried no nonce");
        m_nonce = reply.replayNonce;
        return true;
    }

    // A signed POST; `payload` null is POST-as-GET. False (with the error set) for a
    // transport failure or a refusal; a refused nonce is retried with the one that came back.
    bool Post(const std::string& url, const QJsonObject* payload, AcmeHttpReply& reply,
              const std::string& accept = {}) {
        const std::string body = payload ? Compact(*payload) : std::string();
        for (int attempt = 0;; ++attempt) {
            if (Cancelled())
                return Fail("stopped");
            if (m_nonce.empty() && !FreshNonce())
                return false;
            QJsonObject header;
            header.insert(QLatin1String("alg"), QLatin1String("ES256"));
            header.insert(QLatin1String("nonce"), QString::fromStdString(m_nonce));
            header.insert(QLatin1String("url"), QString::fromStdString(url));
            if (m_kid.empty())
                header.insert(QLatin1String("jwk"), ObjectOf(PublicJwk(m_in.accountKey)));
            else
                header.insert(QLatin1String("kid"), QString::fromStdString(m_kid));
            m_nonce.clear();
            const std::string jws = MakeJws(m_in.accountKey, Compact(header), body);
            if (jws.empty())
                return Fail("the request could not be signed with the account key");
            reply = m_http.PostJose(url, jws, accept);
            if (!reply.sent)
                return Fail("the CA could not be reached: " + reply.error);
            m_nonce = reply.replayNonce;
            if (reply.status < 400)
                return true;
            const AcmeProblem problem = ParseAcmeProblem(reply.body, reply.status);
            if (problem.Is("badNonce") && attempt + 1 < kNonceTries) {
                ++m_out.nonceRetries;
                continue;
            }
            if (problem.Is("rateLimited"))
                m_out.retryAfter = std::max(0LL, ParseRetryAfter(reply.retryAfter, std::time(nullptr)));
            return Fail("the CA refused the request: " + problem.Text());
        }
    }

    bool Account() {
        QJsonObject payload;
        payload.insert(QLatin1String("termsOfServiceAgreed"), true);
        if (!m_in.email.empty())
            payload.insert(QLatin1String("contact"),
                           QJsonArray{QString::fromStdString("mailto:" + m_in.email)});
        AcmeHttpReply reply;
        if (!Post(m_directory.newAccount, &payload, reply))
            return false;
        if (reply.location.empty())
            return Fail("the CA made the account but gave no account address");
        m_kid = reply.location;
        return true;
    }

    bool NewOrder(AcmeOrder& order, std::string& orderUrl) {
        QJsonArray identifiers;
        for (const std::string& name : m_in.names)
            identifiers.append(QJsonObject{{QLatin1String("type"), QLatin1String("dns")},
                                           {QLatin1String("value"), QString::fromStdString(name)}});
        QJsonObject payload{{QLatin1String("identifiers"), identifiers}};
        AcmeHttpReply reply;
        if (!Post(m_directory.newOrder, &payload, reply))
            return false;
        std::string error;
        if (!ParseAcmeOrder(reply.body, order, error))
            return Fail("the new order: " + error);
        if (reply.location.empty())
            return Fail("the CA gave no address for the new order");
        orderUrl = reply.location;
        if (order.status == "invalid")
            return Fail("the CA refused the order" + OrderError(order));
        return true;
    }

    static std::string OrderError(const AcmeOrder& order) {
        return order.hasError ? ": " + order.error.Text() : std::string();
    }

    // Seconds until the next poll: the server's Retry-After (kept within 1-60 s), else
    // one second at first and more later.
    static long long PollDelay(const AcmeHttpReply& reply, int round) {
        const long long asked = ParseRetryAfter(reply.retryAfter, std::time(nullptr));
        if (asked >= 0)
            return std::clamp(asked, 1LL, 60LL);
        return round < 5 ? 1 : 3;
    }

    bool FetchAuthorization(const std::string& url, AcmeAuthorization& authz, AcmeHttpReply& reply) {
        if (!Post(url, nullptr, reply))
            return false;
        std::string error;
        if (!ParseAcmeAuthorization(reply.body, authz, error))
            return Fail("an authorization: " + error);
        return true;
    }

    bool Authorize(const std::string& url) {
        AcmeAuthorization authz;
        AcmeHttpReply reply;
        if (!FetchAuthorization(url, authz, reply))
            return false;
        if (authz.status == "valid")
            return true;
        if (authz.status != "pending")
            return Fail(authz.identifier + ": the authorization is " + authz.status);
        const AcmeChallenge* challenge = authz.Http01();
        if (!challenge || challenge->token.empty() || challenge->url.empty())
            return Fail(authz.identifier + ": the CA offers no HTTP-01 challenge for it");
        const std::string token = challenge->token, challengeUrl = challenge->url;
        if (m_in.publish)
            m_in.publish(token, token + "." + JwkThumbprint(m_in.accountKey));
        m_published.push_back(token);
        const QJsonObject ready;
        if (!Post(challengeUrl, &ready, reply))
            return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kPollSeconds);
        for (int round = 0;; ++round) {
            if (!Wait(round == 0 ? 0 : PollDelay(reply, round)))
                return Fail("stopped");
            if (!FetchAuthorization(url, authz, reply))
                return false;
            if (authz.status == "valid")
                return true;
            if (authz.status != "pending") {
                const AcmeChallenge* c = authz.Http01();
                const std::string why =
                    c && c->hasError ? c->error.Text() : "the authorization is " + authz.status;
                return Fail(authz.identifier + " could not be validated: " + why);
            }
            if (std::chrono::steady_clock::now() > deadline)
                return Fail(authz.identifier + ": the CA did not validate the name within " +
                            std::to_string(kPollSeconds) + " s");
        }
    }

    // Fetches the order while its status is one of `waiting`.
    bool PollOrder(const std::string& orderUrl, AcmeOrder& order, std::vector<std::string> waiting) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kPollSeconds);
        AcmeHttpReply reply;
        for (int round = 0;; ++round) {
            if (!Post(orderUrl, nullptr, reply))
                return false;
            std::string error;
            if (!ParseAcmeOrder(reply.body, order, error))
                return Fail("the order: " + error);
            if (order.status == "invalid")
                return Fail("the CA gave the order up" + OrderError(order));
            if (std::find(waiting.begin(), waiting.end(), order.status) == waiting.end())
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return Fail("the order stayed \"" + order.status + "\" for " + std::to_string(kPollSeconds) +
                            " s");
            if (!Wait(PollDelay(reply, round)))
                return Fail("stopped");
        }
    }

    bool Finalize(AcmeOrder& order) {
        const std::string csr = MakeCsrDer(m_in.certificateKey, m_in.names);
        if (csr.empty())
            return Fail("the certificate request could not be made");
        QJsonObject payload{{QLatin1String("csr"), QString::fromStdString(Base64Url(csr))}};
        AcmeHttpReply reply;
        if (!Post(order.finalize, &payload, reply))
            return false;
        std::string error;
        if (!ParseAcmeOrder(reply.body, order, error))
            return Fail("the finalized order: " + error);
        return true;
    }

    const AcmeOrderInput& m_in;
    AcmeOutcome& m_out;
    AcmeHttp m_http;
    AcmeDirectory m_directory;
    std::string m_nonce, m_kid;
    std::vector<std::string> m_published;
};

} // namespace

AcmeOutcome ObtainCertificate(const AcmeOrderInput& input) {
    AcmeOutcome out;
    if (input.names.empty() || !input.accountKey || !input.certificateKey) {
        out.error = "no names or keys to order a certificate with";
        return out;
    }
    {
        Session session(input, out);
        out.ok = session.Run();
    }
    if (out.ok)
        out.error.clear();
    return out;
}

} // namespace kestrel
