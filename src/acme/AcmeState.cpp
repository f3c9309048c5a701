#include "acme/AcmeState.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace kestrel {

namespace {

QJsonArray NamesArray(const std::vector<std::string>& names) {
    QJsonArray a;
    for (const std::string& n : names)
        a.append(QString::fromStdString(n));
    return a;
}

std::vector<std::string> NamesOf(const QJsonValue& v) {
    std::vector<std::string> names;
    for (const QJsonValue& n : v.toArray())
        names.push_back(n.toString().toStdString());
    return names;
}

// Moments are stored as seconds since 1970 (UTC), with the readable form beside them.
void PutTime(QJsonObject& o, const char* name, std::time_t t) {
    if (t == 0)
        return;
    o.insert(QLatin1String(name), static_cast<qint64>(t));
}

std::time_t TimeOf(const QJsonObject& o, const char* name) {
    const QJsonValue v = o.value(QLatin1String(name));
    return v.isDouble() ? static_cast<std::time_t>(v.toInteger()) : 0;
}

std::string Text(const QJsonObject& o, const char* name) {
    return o.value(QLatin1String(name)).toString().toStdString();
}

bool IsLabelChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
}

// A DNS name with at least two labels, each 1-63 letters, digits or hyphens, not starting
// or ending with a hyphen; not an address.
bool IsCertificateName(const std::string& name, std::string& why) {
    in6_addr v6{};
    in_addr v4{};
    if (::inet_pton(AF_INET, name.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, name.c_str(), &v6) == 1) {
        why = "is an address; a certificate over HTTP-01 needs a host name";
        return false;
    }
    if (name.find('*') != std::string::npos) {
        why = "is a wildcard; HTTP-01 cannot prove one (name each host)";
        return false;
    }
    if (name.size() > 253 || name.find('.') == std::string::npos) {
        why = "is not a full host name (like cam.example.org)";
        return false;
    }
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos)
            dot = name.size();
        const std::string label = name.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-' ||
            !std::all_of(label.begin(), label.end(), IsLabelChar)) {
            why = "is not a host name (letters, digits, hyphens and dots only)";
            return false;
        }
        start = dot + 1;
    }
    return true;
}

} // namespace

std::string AcmeFolderFor(const std::string& settingsFile) {
    const auto slash = settingsFile.rfind('/');
    return (slash == std::string::npos ? std::string(".") : settingsFile.substr(0, slash)) + "/" +
           kAcmeFolderName;
}

std::string UtcText(std::time_t t) {
    return QDateTime::fromSecsSinceEpoch(static_cast<qint64>(t), Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"))
        .toStdString();
}

std::string FormatAcmeState(const AcmeState& s) {
    QJsonObject o;
    o.insert(QLatin1String("names"), NamesArray(s.names));
    if (!s.issuer.empty())
        o.insert(QLatin1String("issuer"), QString::fromStdString(s.issuer));
    PutTime(o, "notAfter", s.notAfter);
    PutTime(o, "nextRenewal", s.nextRenewal);
    if (s.notAfter)
        o.insert(QLatin1String("expires"), QString::fromStdString(UtcText(s.notAfter)));
    if (s.failures > 0 || !s.lastError.empty()) {
        o.insert(QLatin1String("failedNames"), NamesArray(s.failedNames));
        PutTime(o, "lastErrorAt", s.lastErrorAt);
        o.insert(QLatin1String("lastError"), QString::fromStdString(s.lastError));
        o.insert(QLatin1String("failures"), s.failures);
        PutTime(o, "nextAttempt", s.nextAttempt);
    }
    if (!s.termsOfService.empty())
        o.insert(QLatin1String("termsOfService"), QString::fromStdString(s.termsOfService));
    if (!s.directory.empty())
        o.insert(QLatin1String("directory"), QString::fromStdString(s.directory));
    return QJsonDocument(o).toJson(QJsonDocument::Indented).toStdString();
}

bool ParseAcmeState(const std::string& bytes, AcmeState& s, std::string& error) {
    QJsonParseError parse{};
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())), &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        error = "is not a JSON object";
        return false;
    }
    const QJsonObject o = doc.object();
    s = AcmeState{};
    s.names = NamesOf(o.value(QLatin1String("names")));
    s.issuer = Text(o, "issuer");
    s.notAfter = TimeOf(o, "notAfter");
    s.nextRenewal = TimeOf(o, "nextRenewal");
    s.failedNames = NamesOf(o.value(QLatin1String("failedNames")));
    s.lastErrorAt = TimeOf(o, "lastErrorAt");
    s.lastError = Text(o, "lastError");
    s.failures = std::clamp(o.value(QLatin1String("failures")).toInt(), 0, 1000);
    s.nextAttempt = TimeOf(o, "nextAttempt");
    s.termsOfService = Text(o, "termsOfService");
    s.directory = Text(o, "directory");
    return true;
}

bool ParseAcmeDomains(const std::string& text, std::vector<std::string>& names, std::string& error) {
    names.clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        std::string name = text.substr(start, comma - start);
        start = comma + 1;
        const auto first = name.find_first_not_of(" \t");
        if (first == std::string::npos)
            continue;
        name = name.substr(first, name.find_last_not_of(" \t") - first + 1);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (!name.empty() && name.back() == '.')
            name.pop_back();
        std::string why;
        if (!IsCertificateName(name, why)) {
            error = "\"" + name + "\" " + why;
            names.clear();
            return false;
        }
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    return true;
}

bool SameNames(std::vector<std::string> a, std::vector<std::string> b) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
}

std::time_t RenewalTime(std::time_t notBefore, std::time_t notAfter) {
    return notAfter - (notAfter - notBefore) / 3;
}

long long FailureBackoffSeconds(int failures) {
    long long seconds = 3600;
    for (int i = 1; i < failures && seconds < 24 * 3600; ++i)
        seconds *= 2;
    return std::min(seconds, 24LL * 3600);
}

RenewalPlan PlanRenewal(bool stored, const std::vector<std::string>& haveNames, std::time_t notBefore,
                        std::time_t notAfter, const std::vector<std::string>& wantNames,
                        const AcmeState& state, std::time_t now) {
    RenewalPlan plan;
    std::time_t due = now;
    if (!stored) {
        plan.reason = "there is no certificate yet";
    } else if (!SameNames(haveNames, wantNames)) {
        plan.reason = "the stored certificate does not cover the names of AcmeDomains";
    } else if (now >= RenewalTime(notBefore, notAfter)) {
        plan.reason = now >= notAfter ? "the stored certificate has expired"
                                      : "less than a third of the stored certificate's lifetime is left";
    } else {
        due = RenewalTime(notBefore, notAfter);
        plan.reason = "renewal";
    }
    // A failed attempt for these names is not repeated before its backoff has passed.
    if (state.failures > 0 && SameNames(state.failedNames, wantNames) && state.nextAttempt > due)
        due = state.nextAttempt;
    if (due <= now) {
        plan.orderNow = true;
        plan.nextCheck = now;
    } else {
        plan.nextCheck = std::min<std::time_t>(due, now + kAcmeCheckSeconds);
    }
    return plan;
}

} // namespace kestrel
