// Choosing the answer to a complete request head: the method rule, then the response
// table, whose first rule that takes the method and whose predicate holds answers.

#include "server/Escaping.h"
#include "server/RequestSocket.h"
#include "server/WebServer.h"

namespace kestrel {

// In this order: the live stream and the camera picture look at the request's path; the
// target is resolved before the first rule that needs it (an error or a redirect written
// by that ends the choice); then a program runs as a script, a folder is listed, and
// anything else is sent as a file.
const CRequestSocket::ResponseRule CRequestSocket::kResponseRules[] = {
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
