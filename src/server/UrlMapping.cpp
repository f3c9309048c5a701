// From the request's path to a path below the web root: percent-decoding, lexical
// normalisation, the root check, hidden names, host spellings and the picture password.

#include "server/UrlMapping.h"

#include "server/PasswordLockout.h"

#include "platform/Text.h"

#include <arpa/inet.h>
#include <climits>
#include <vector>

namespace kestrel {

std::string DecodeUrl(std::string_view text, bool plusToBlank) {
    std::string s(text);
    if (plusToBlank)
        for (char& c : s)
            if (c == '+')
                c = ' ';
    if (s.find('%') == std::string::npos)
        return s;
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 1 < s.size() && s[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        if (i + 2 < s.size()) {
            int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
            // Lenient: a character that is not a hex digit counts as 0, as the
            // original arithmetic did for anything outside its ranges.
            out += static_cast<char>(16 * (hi < 0 ? 0 : hi) + (lo < 0 ? 0 : lo));
            i += 2;
            continue;
        }
        out += s[i]; // "%" with fewer than two characters after it stays
    }
    return out;
}

bool DecodeUrlStrict(std::string_view text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 1 < text.size() && text[i + 1] == '%') {
                c = '%';
                ++i;
            } else {
                if (i + 2 >= text.size())
                    return false;
                int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
                if (hi < 0 || lo < 0)
                    return false;
                c = static_cast<char>(16 * hi + lo);
                i += 2;
            }
        }
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
        out += c;
    }
    return true;
}

namespace {

// Whether NormalizePath would give the path back unchanged: it begins with "/", and has no
// empty, "." or ".." part, no backslash and no "/" at its end.
bool IsNormalPath(std::string_view path) {
    if (path.empty() || path[0] != '/')
        return false;
    if (path.size() == 1)
        return true;
    if (path.back() == '/')
        return false;
    std::size_t i = 1;
    while (i <= path.size()) {
        std::size_t j = i;
        while (j < path.size() && path[j] != '/') {
            if (path[j] == '\\')
                return false;
            ++j;
        }
        std::string_view comp = path.substr(i, j - i);
        if (comp.empty() || comp == "." || comp == "..")
            return false;
        i = j + 1;
    }
    return true;
}

} // namespace

std::string NormalizePath(std::string_view path) {
    if (IsNormalPath(path))
        return std::string(path);
    std::vector<std::string_view> parts;
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t j = i;
        while (j < path.size() && path[j] != '/' && path[j] != '\\')
            ++j;
        std::string_view comp = path.substr(i, j - i);
        if (comp.empty() || comp == ".") {
            // nothing
        } else if (comp == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else {
            parts.push_back(comp);
        }
        i = j + 1;
    }
    if (parts.empty())
        return "/";
    std::string out;
    for (auto p : parts) {
        out += '/';
        out += p;
    }
    return out;
}

bool MapUrlToPath(const std::string& root, std::string_view url, std::string& out) {
    std::string joined = root;
    joined += url;
    if (joined.size() >= PATH_MAX)
        return false;
    std::string full = NormalizePath(joined);
    if (full.size() >= PATH_MAX)
        return false;
    if (root == "/") {
        out = full;
        return true;
    }
    if (full == root ||
        (full.size() > root.size() && full.compare(0, root.size(), root) == 0 && full[root.size()] == '/')) {
        out = full;
        return true;
    }
    return false;
}

bool IsHiddenBelowRoot(const std::string& root, const std::string& path) {
    std::string_view below = path;
    if (below.compare(0, root.size(), root) == 0)
        below.remove_prefix(root.size());
    std::size_t i = 0;
    while (i < below.size()) {
        while (i < below.size() && below[i] == '/')
            ++i;
        if (i < below.size() && below[i] == '.')
            return true;
        while (i < below.size() && below[i] != '/')
            ++i;
    }
    return false;
}

bool IsAcmeChallengeUrl(std::string_view url) {
    return url.substr(0, kAcmeChallengeFolder.size()) == kAcmeChallengeFolder;
}

bool IsAcmeChallengePath(const std::string& root, const std::string& path) {
    std::string_view below = path;
    if (root != "/") {
        if (below.compare(0, root.size(), root) != 0)
            return false;
        below.remove_prefix(root.size());
    }
    if (!IsAcmeChallengeUrl(below))
        return false;
    const std::string_view name = below.substr(kAcmeChallengeFolder.size());
    return !name.empty() && name[0] != '.' && name.find('/') == std::string_view::npos;
}

std::string HostWithoutPort(std::string_view host) {
    if (!host.empty() && host[0] == '[') {
        auto close = host.find(']');
        return std::string(host.substr(0, close == std::string_view::npos ? host.size() : close + 1));
    }
    return std::string(host.substr(0, host.find(':')));
}

std::string BracketIfIpv6(const std::string& host) {
    // Only a real IPv6 literal: "cam.example:8080" is a host with a port, not an address.
    in6_addr address{};
    std::string bare = host.substr(0, host.find('%')); // a zone id ("fe80::1%eth0") is kept as written
    if (inet_pton(AF_INET6, bare.c_str(), &address) == 1)
        return "[" + host + "]";
    return host;
}

std::string ApplyPicturePassword(const std::string& rawPath, const std::string& password, bool* passed) {
    return ApplyPasswordRule(rawPath, "/frame.jpg", password, passed);
}

PasswordOffer ReadPasswordOffer(const std::string& rawPath, const std::string& name, bool passwordSet) {
    PasswordOffer offer;
    const std::string withQuery = name + "?";
    if (rawPath.compare(0, withQuery.size(), withQuery) == 0 && rawPath.size() >= withQuery.size()) {
        if (!passwordSet) {
            offer.path = name;
            return offer;
        }
        offer.path = "/pass.jpg";
        std::string afterQuery = rawPath.substr(withQuery.size());
        auto key = afterQuery.find("&picid=");
        if (key != std::string::npos) {
            offer.offered = true;
            offer.value = afterQuery.substr(key + 7);
        }
        return offer;
    }
    if (passwordSet && rawPath.compare(0, name.size(), name) == 0 && rawPath.size() >= name.size())
        offer.path = "/pass.jpg";
    else
        offer.path = rawPath;
    return offer;
}

bool OfferMatches(std::string_view offered, const std::string& password) {
    // Browsers form-encode blanks and non-ASCII characters of the query. Both forms are
    // compared every time, so the time taken says nothing about which one matched.
    const bool raw = EqualInConstantTime(offered, password);
    const bool decoded = EqualInConstantTime(DecodeUrl(offered, true), password);
    return raw | decoded;
}

std::string ApplyPasswordRule(const std::string& rawPath, const std::string& name,
                              const std::string& password, bool* passed) {
    PasswordOffer offer = ReadPasswordOffer(rawPath, name, !password.empty());
    const bool right = offer.offered && OfferMatches(offer.value, password);
    if (passed)
        *passed = right;
    return right ? name : offer.path;
}

} // namespace kestrel
