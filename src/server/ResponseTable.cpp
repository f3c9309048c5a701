// Choosing the answer to a complete request head: the method rule, then the response
// table, whose first rule that takes the method and whose predicate holds answers.

#include "model/HostChecks.h"
#include "server/Escaping.h"
#include "server/RequestSocket.h"
#include "server/UrlMapping.h"
#include "server/WebServer.h"

namespace kestrel {

namespace {

// A request target made fit for a Location header: blanks, control bytes and bytes
// outside ASCII are percent-encoded, everything else is kept as sent.
std::string EncodeLocationTarget(const std::string& target) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : target) {
        if (c <= 0x20 || c >= 0x7f) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

// In this order: the live stream and the camera picture look at the request's path; the
// target is resolved before the first rule that needs it (an error or a redirect written
// by that ends the choice); then a program runs as a script, a folder is listed, and
// anything else is sent as a file.
const CRequestSocket::ResponseRule CRequestSocket::kResponseRules[] = {
    // A certificate authority's challenge under way is answered from memory on the plain
    // port, before the redirect and the web root's files.
    {kGet | kHead, false, &CRequestSocket::IsAcmeChallengeAnswered, &CRequestSocket::AnswerAcmeChallenge},
    // Plain requests go over to HTTPS before anything is composed or run.
    {kGet | kHead | kPost, false, &CRequestSocket::IsRedirectedToTls, &CRequestSocket::AnswerTlsRedirect},
    // A refused stream becomes the "pass.jpg" request and goes on.
    {kGet | kHead, false, &CRequestSocket::IsStreamRequest, &CRequestSocket::AnswerStream},
    // Composes the picture files afresh; the file rule then sends them.
    {kGet, false, &CRequestSocket::IsPictureRequest, &CRequestSocket::ComposePicture},
    // A request with a body always goes to a script.
    {kGet | kHead | kPost, true, &CRequestSocket::IsScriptTarget, &CRequestSocket::AnswerScript},
    {kGet | kHead, true, &CRequestSocket::IsFolderTarget, &CRequestSocket::AnswerListing},
    {kGet | kHead, true, nullptr, &CRequestSocket::AnswerFile},
};

// GET and HEAD without a body, POST with one.
CRequestSocket::Method CRequestSocket::MethodOf(const CRequest& r) {
    if (r.contentLength == 0 && CompareNoCase(r.method, "GET") == 0)
        return kGet;
    if (r.contentLength == 0 && CompareNoCase(r.method, "HEAD") == 0)
        return kHead;
    if (r.contentLength > 0 && CompareNoCase(r.method, "POST") == 0)
        return kPost;
    return Method{};
}

CRequestSocket::Handled CRequestSocket::StartResponse(unsigned parseError) {
    CRequest& r = *m_request;
    if (parseError) {
        AppendError(parseError);
        return Handled::Answered;
    }
    const Method method = MethodOf(r);
    if (method == Method{}) {
        AppendError(501);
        return Handled::Answered;
    }
    if (method == kHead)
        m_treatAsHead = true;
    else if (method == kPost)
        r.execKind = ExecQuery;
    bool resolved = false;
    for (const ResponseRule& rule : kResponseRules) {
        if (!(rule.methods & method))
            continue;
        if (rule.needsTarget && !resolved) {
            resolved = true;
            ResolveTarget();
            if (r.status != 0)
                return Handled::Answered;
        }
        if (rule.applies && !(this->*rule.applies)())
            continue;
        const Handled handled = (this->*rule.answer)(method);
        if (handled != Handled::No)
            return handled;
    }
    return Handled::Answered; // not reached: the file rule takes every GET and HEAD
}

bool CRequestSocket::IsAcmeChallengeAnswered() const {
    const std::string& url = m_request->url;
    if (m_tls || !m_owner.Hooks().acmeChallenge || !IsAcmeChallengeUrl(url))
        return false;
    const std::string token = url.substr(kAcmeChallengeFolder.size());
    return !token.empty() && m_owner.Hooks().acmeChallenge(token, m_acmeAnswer);
}

CRequestSocket::Handled CRequestSocket::AnswerAcmeChallenge(Method method) {
    AppendStatus(200);
    AppendHeader("Content-Type", "text/plain");
    AppendHeader("Content-Length", std::to_string(m_acmeAnswer.size()));
    AppendHeader("Cache-Control", "no-store");
    AppendText("\r\n");
    if (method != kHead)
        AppendText(m_acmeAnswer);
    m_request->execKind = ExecNone;
    return Handled::Answered;
}

bool CRequestSocket::IsRedirectedToTls() const {
    // A proxy in front decides the scheme itself (it may well have come over HTTPS).
    return !m_tls && !m_viaProxy && m_owner.Settings().TlsRedirect == 1 && m_owner.TlsRedirectable() &&
           !IsAcmeChallengeUrl(m_request->url);
}

CRequestSocket::Handled CRequestSocket::AnswerTlsRedirect(Method) {
    CRequest& r = *m_request;
    const CServerSettings& s = m_owner.Settings();
    std::string host = r.GetHeader("Host");
    host = IsValidHostHeader(host) ? HostWithoutPort(host) : BracketIfIpv6(s.strServer);
    if (host.empty())
        host = ServerName();
    const unsigned port = s.TlsPort;
    // The target as sent, query and password included: the client asks the same again.
    std::string target = m_parser.RawTarget();
    if (target.empty() || target[0] != '/')
        target = PercentEncodePath(r.url) + (r.query.empty() && r.execKind != ExecQuery ? "" : "?" + r.query);
    AppendStatus(302);
    AppendHeader("Location", "https://" + host + (port == 443 ? "" : ":" + std::to_string(port)) +
                                 EncodeLocationTarget(target));
    AppendText("\r\n");
    r.execKind = ExecNone;
    return Handled::Answered;
}

bool CRequestSocket::IsPictureRequest() const {
    const CRequest& r = *m_request;
    return (r.url == "/frame.jpg" && m_picturePassed) || r.url == "/framei.jpg";
}

CRequestSocket::Handled CRequestSocket::ComposePicture(Method) {
    if (m_owner.Hooks().composeFrame)
        m_owner.Hooks().composeFrame();
    return Handled::No;
}

} // namespace kestrel
