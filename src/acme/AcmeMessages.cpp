#include "acme/AcmeMessages.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace kestrel {

namespace {

constexpr char kErrorPrefix[] = "urn:ietf:params:acme:error:";

bool ReadObject(const std::string& body, QJsonObject& out, std::string& error) {
    QJsonParseError parse{};
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray(body.data(), static_cast<qsizetype>(body.size())), &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        error = "the reply is not a JSON object";
        return false;
    }
    out = doc.object();
    return true;
}

std::string Text(const QJsonObject& o, const char* name) {
    return o.value(QLatin1String(name)).toString().toStdString();
}

AcmeProblem ProblemOf(const QJsonObject& o) {
    AcmeProblem p;
    p.type = Text(o, "type");
    p.detail = Text(o, "detail");
    for (const QJsonValue& v : o.value(QLatin1String("subproblems")).toArray()) {
        const QJsonObject sub = v.toObject();
        const std::string who = Text(sub.value(QLatin1String("identifier")).toObject(), "value");
        p.subproblems.push_back((who.empty() ? "" : who + ": ") + Text(sub, "detail"));
    }
    return p;
}

// The printable start of a body that is no JSON, for a message.
std::string Excerpt(const std::string& body) {
    std::string out;
    for (char c : body.substr(0, 200))
        out += std::isprint(static_cast<unsigned char>(c)) ? c : ' ';
    return out;
}

} // namespace

bool AcmeProblem::Is(const char* name) const {
    return type.size() == std::strlen(kErrorPrefix) + std::strlen(name) && type.rfind(kErrorPrefix, 0) == 0 &&
           type.compare(std::strlen(kErrorPrefix), std::string::npos, name) == 0;
}

std::string AcmeProblem::Text() const {
    std::string text = detail.empty() ? type : detail;
    for (const std::string& sub : subproblems)
        if (text.find(sub) == std::string::npos)
            text += "; " + sub;
    return text;
}

bool ParseAcmeDirectory(const std::string& body, AcmeDirectory& out, std::string& error) {
    QJsonObject o;
    if (!ReadObject(body, o, error))
        return false;
    out.newNonce = Text(o, "newNonce");
    out.newAccount = Text(o, "newAccount");
    out.newOrder = Text(o, "newOrder");
    out.termsOfService = Text(o.value(QLatin1String("meta")).toObject(), "termsOfService");
    if (out.newNonce.empty() || out.newAccount.empty() || out.newOrder.empty()) {
        error =
            "the directory names no newNonce, newAccount or newOrder: is AcmeDirectory an ACME directory?";
        return false;
    }
    return true;
}

AcmeProblem ParseAcmeProblem(const std::string& body, int httpStatus) {
    QJsonObject o;
    std::string ignored;
    if (ReadObject(body, o, ignored) && o.contains(QLatin1String("type")))
        return ProblemOf(o);
    AcmeProblem p;
    p.detail = "the server answered HTTP " + std::to_string(httpStatus) +
               (body.empty() ? std::string() : ": " + Excerpt(body));
    return p;
}

bool ParseAcmeOrder(const std::string& body, AcmeOrder& out, std::string& error) {
    QJsonObject o;
    if (!ReadObject(body, o, error))
        return false;
    out.status = Text(o, "status");
    out.finalize = Text(o, "finalize");
    out.certificate = Text(o, "certificate");
    out.authorizations.clear();
    for (const QJsonValue& v : o.value(QLatin1String("authorizations")).toArray())
        out.authorizations.push_back(v.toString().toStdString());
    out.hasError = o.value(QLatin1String("error")).isObject();
    if (out.hasError)
        out.error = ProblemOf(o.value(QLatin1String("error")).toObject());
    if (out.status.empty() || out.finalize.empty()) {
        error = "the order has no status or finalize address";
        return false;
    }
    return true;
}

bool ParseAcmeAuthorization(const std::string& body, AcmeAuthorization& out, std::string& error) {
    QJsonObject o;
    if (!ReadObject(body, o, error))
        return false;
    out.status = Text(o, "status");
    out.identifier = Text(o.value(QLatin1String("identifier")).toObject(), "value");
    out.challenges.clear();
    for (const QJsonValue& v : o.value(QLatin1String("challenges")).toArray()) {
        const QJsonObject c = v.toObject();
        AcmeChallenge challenge;
        challenge.type = Text(c, "type");
        challenge.url = Text(c, "url");
        challenge.token = Text(c, "token");
        challenge.status = Text(c, "status");
        challenge.hasError = c.value(QLatin1String("error")).isObject();
        if (challenge.hasError)
            challenge.error = ProblemOf(c.value(QLatin1String("error")).toObject());
        out.challenges.push_back(std::move(challenge));
    }
    if (out.status.empty()) {
        error = "the authorization has no status";
        return false;
    }
    return true;
}

const AcmeChallenge* AcmeAuthorization::Http01() const {
    for (const AcmeChallenge& c : challenges)
        if (c.type == "http-01")
            return &c;
    return nullptr;
}

long long ParseRetryAfter(const std::string& value, std::time_t now) {
    std::size_t start = value.find_first_not_of(" \t");
    std::size_t end = value.find_last_not_of(" \t");
    if (start == std::string::npos)
        return -1;
    const std::string v = value.substr(start, end - start + 1);
    if (v.find_first_not_of("0123456789") == std::string::npos) {
        if (v.size() > 9)
            return -1;
        return std::stoll(v);
    }
    // An IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT", read without the locale's names.
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char weekday[4] = {}, month[4] = {}, zone[4] = {};
    struct tm parts {};
    int consumed = 0;
    if (std::sscanf(v.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d %3s%n", weekday, &parts.tm_mday,
                    month, &parts.tm_year, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, zone,
                    &consumed) != 8 ||
        static_cast<std::size_t>(consumed) != v.size() || std::strcmp(zone, "GMT") != 0)
        return -1;
    parts.tm_mon = -1;
    for (int i = 0; i < 12; ++i)
        if (std::strcmp(month, kMonths[i]) == 0)
            parts.tm_mon = i;
    if (parts.tm_mon < 0 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
        parts.tm_min > 59 || parts.tm_sec > 60)
        return -1;
    parts.tm_year -= 1900;
    const std::time_t when = timegm(&parts);
    return when > now ? static_cast<long long>(when - now) : 0;
}

} // namespace kestrel
