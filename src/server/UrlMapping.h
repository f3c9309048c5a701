#pragma once

// From a request's path to a file-system path below the web root: percent-decoding,
// lexical normalisation, the root check, hidden names, host spellings and the picture
// password rule. Pure functions over bytes.

#include <string>
#include <string_view>

namespace kestrel {

// Percent-decoding. "%%" becomes "%", "%XY" the byte XY; the lenient form keeps
// whatever else it meets. With plusToBlank, every "+" first becomes a blank.
std::string DecodeUrl(std::string_view text, bool plusToBlank);
// The form used for request paths: a "%" not followed by two hexadecimal digits (other
// than "%%"), or a decoded byte below 0x20, makes it fail.
bool DecodeUrlStrict(std::string_view text, std::string& out);

// Lexical normalisation of an absolute path: "/" and "\" are separators, repeated
// separators collapse, "." and ".." are resolved; no trailing "/" except for "/" itself.
std::string NormalizePath(std::string_view path);
// Root + url made into a full path; accepted only when it is the root or lies below it
// and fits PATH_MAX. `root` must already be normalised.
bool MapUrlToPath(const std::string& root, std::string_view url, std::string& out);
// True when any component of `path` below `root` begins with ".".
bool IsHiddenBelowRoot(const std::string& root, const std::string& path);
// The folder below the web root where certificate tools put their challenge files; its
// files are served although their path holds a dot-name.
inline constexpr std::string_view kAcmeChallengeFolder = "/.well-known/acme-challenge/";
// Whether a decoded request path lies in that folder.
bool IsAcmeChallengeUrl(std::string_view url);
// Whether `path` names an entry directly in that folder of `root` whose own name does
// not begin with "." (lexically; the caller checks that it is a regular file).
bool IsAcmeChallengePath(const std::string& root, const std::string& path);

// The host of a valid Host header without its port ("[::1]:8080" -> "[::1]").
std::string HostWithoutPort(std::string_view host);
// An IPv6 literal written in brackets; any other host unchanged.
std::string BracketIfIpv6(const std::string& host);

// The picture password rule on the raw request path. `passed` says whether the path was
// let through as "/frame.jpg" while a password is set.
std::string ApplyPicturePassword(const std::string& rawPath, const std::string& password,
                                 bool* passed = nullptr);
// The same rule for another protected path `name` ("/stream.mjpg"): a path beginning with
// `name` + "?" is `name` when the password is empty or offered after "&picid=", otherwise
// "/pass.jpg"; while a password is set any other path beginning with `name` is "/pass.jpg".
std::string ApplyPasswordRule(const std::string& rawPath, const std::string& name,
                              const std::string& password, bool* passed = nullptr);

// The password rule's first half, which compares nothing: the path it makes of `rawPath`
// for the protected path `name`, and the password offered after "&picid=" if any. When
// one was offered, `path` is "/pass.jpg" and the request gets `name` only if the offered
// value matches (OfferMatches).
struct PasswordOffer {
    std::string path;
    bool offered = false;
    std::string value;
};
PasswordOffer ReadPasswordOffer(const std::string& rawPath, const std::string& name, bool passwordSet);
// Whether an offered value is the password, as sent or form-decoded; in constant time.
bool OfferMatches(std::string_view offered, const std::string& password);

} // namespace kestrel
