#include "directory/PublicAddressLookup.h"

#include "model/HostChecks.h"

#include <arpa/inet.h>

namespace kestrel {

LookupVerdict JudgeLookupReply(const std::string& joined) {
    LookupVerdict v;
    if (joined.compare(0, 5, "ERROR") == 0) {
        v.kind = LookupVerdict::Kind::Refused;
        v.message = joined;
        return v;
    }
    if (joined.compare(0, 2, "OK") != 0)
        return v;
    // The third character separates; the address runs from the fourth to the end.
    std::string address = joined.size() > 3 ? joined.substr(3) : std::string();
    if (!address.empty() && !IsAcceptableAddress(address)) {
        v.kind = LookupVerdict::Kind::Refused;
        v.message = joined;
        return v;
    }
    v.kind = LookupVerdict::Kind::Found;
    v.address = std::move(address);
    return v;
}

std::string LookupBody(const std::string& userId, const std::string& password) {
    return "action=ipget&usr=" + FormValue(userId) + "&pass=" + FormValue(password);
}

DirectoryWork PublicAddressLookup::Work() const {
    return [host = m_basic.CGIServer, body = LookupBody(m_urlReg.UserID, m_urlReg.Password),
            exchange = m_hooks.exchange](const std::atomic<bool>& cancel) {
        return exchange(host, "POST", kAddressLookupPath, body, cancel);
    };
}

bool PublicAddressLookup::LookupPublicAddress() {
    std::atomic<bool> cancel{false};
    return ApplyReply(Work()(cancel));
}

std::string HttpStatusFailureText(int httpStatus) {
    return "ディレクトリサーバーが HTTP " + std::to_string(httpStatus) +
           " を返したため、公開アドレスを取得できませんでした。\n次回の起動時にもう一度問い合わせます。";
}

bool PublicAddressLookup::ApplyReply(const DirectoryReply& reply) {
    switch (reply.status) {
    case DirectoryReply::Status::NotCreated:
    case DirectoryReply::Status::Cancelled:
        return false;
    case DirectoryReply::Status::TransportFailed:
        m_box.Show(reply.error, "Kestrel", MessageIcon::Exclamation);
        return false;
    case DirectoryReply::Status::Ok:
        break;
    }
    // Only a 200 reply carries an answer; an error page's text is never taken for one.
    if (reply.httpStatus != 200) {
        m_box.Show(HttpStatusFailureText(reply.httpStatus), "Kestrel", MessageIcon::Exclamation);
        return false;
    }
    LookupVerdict verdict = JudgeLookupReply(reply.joined);
    switch (verdict.kind) {
    case LookupVerdict::Kind::Refused:
        m_box.Show(verdict.message, "Kestrel", MessageIcon::Exclamation);
        return false;
    case LookupVerdict::Kind::Other:
        return false;
    case LookupVerdict::Kind::Found:
        break;
    }
    m_publicAddress = verdict.address;
    PostLookupSteps();
    return true;
}

void PublicAddressLookup::OnHostLookupReply(int errorCode, const std::string& firstAddress,
                                            const std::string& hostName) {
    if (errorCode == 0) {
        m_publicAddress = firstAddress;
    } else {
        std::string message;
        auto withHost = [&](std::string text) {
            if (auto p = text.find("%s"); p != std::string::npos)
                text.replace(p, 2, hostName);
            return text;
        };
        if (errorCode == 11001)
            message = withHost(kHostNotFoundMessage);
        else if (errorCode == 11004)
            message = withHost(kHostNotFoundMessage) + kDnsHint;
        else
            message = "SEARCH BY NAME ERROR(" + std::to_string(errorCode) + ")";
        m_box.Show(message, "Kestrel", MessageIcon::None);
        m_publicAddress.clear();
    }
    PostLookupSteps();
}

void PublicAddressLookup::PostLookupSteps() {
    if (m_hooks.showAddress)
        m_hooks.showAddress(m_publicAddress);
    m_basic.IPAddr = m_publicAddress;
    if (m_hooks.generatePages)
        m_hooks.generatePages();
    if (m_basic.UrlAutoexec == 1 && m_hooks.openUrlRegistration)
        m_hooks.openUrlRegistration();
}

} // namespace kestrel
