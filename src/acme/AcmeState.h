#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace kestrel {

// The files of the certificate folder ("tls" beside the settings file).
inline constexpr const char* kAcmeFolderName = "tls";
inline constexpr const char* kAccountKeyFile = "account.key";
inline constexpr const char* kCertKeyFile = "cert.key";
inline constexpr const char* kChainFile = "chain.pem";
inline constexpr const char* kStandInCertFile = "standin.pem";
inline constexpr const char* kStandInKeyFile = "standin.key";
inline constexpr const char* kStateFile = "state.json";

// The certificate folder for a settings file.
std::string AcmeFolderFor(const std::string& settingsFile);

// What the certificate keeper remembers between runs.
struct AcmeState {
    std::vector<std::string> names; // of the stored certificate
    std::string issuer;
    std::time_t notAfter = 0;
    std::time_t nextRenewal = 0; // when the stored certificate is renewed
    // After a failed attempt: its names, when it failed and why, how many failed in a
    // row, and the moment before which no new attempt is made for the same names.
    std::vector<std::string> failedNames;
    std::time_t lastErrorAt = 0;
    std::string lastError;
    int failures = 0;
    std::time_t nextAttempt = 0;
    std::string termsOfService; // as the CA's directory gives it
    std::string directory;      // the ACME directory of the stored certificate
};

// The state as JSON, and back; false (with `error`) for bytes that are not a state file.
// Unknown members are ignored; missing ones keep their defaults.
std::string FormatAcmeState(const AcmeState& state);
bool ParseAcmeState(const std::string& bytes, AcmeState& state, std::string& error);

// AcmeDomains as host names: split at commas, spaces trimmed, lower case, duplicates
// dropped, order kept. False (with `error` naming the entry) for an entry that is not a
// DNS name a certificate authority can validate over HTTP: an address, a wildcard, a
// name without a dot, bad characters or lengths. No entries at all is not an error.
bool ParseAcmeDomains(const std::string& text, std::vector<std::string>& names, std::string& error);

// Whether two lists hold the same names, in any order.
bool SameNames(std::vector<std::string> a, std::vector<std::string> b);

// A certificate is renewed once two thirds of its lifetime have passed.
std::time_t RenewalTime(std::time_t notBefore, std::time_t notAfter);

// How long to wait after `failures` failed attempts in a row: 1 h, doubling, at most 24 h.
long long FailureBackoffSeconds(int failures);

// Stored certificates are looked at this often (twice a day).
inline constexpr long long kAcmeCheckSeconds = 12 * 3600;

// What to do about the certificate now.
struct RenewalPlan {
    bool orderNow = false;
    std::time_t nextCheck = 0; // when to look again (when not ordering now)
    std::string reason;        // why a certificate is (or would be) ordered
};
// `stored`: a usable certificate for `haveNames` valid from `notBefore` to `notAfter` is on
// disk (else the other three are ignored). A failed attempt for the same names waits for
// its nextAttempt; changed names are tried at once.
RenewalPlan PlanRenewal(bool stored, const std::vector<std::string>& haveNames, std::time_t notBefore,
                        std::time_t notAfter, const std::vector<std::string>& wantNames,
                        const AcmeState& state, std::time_t now);

// A moment as the state file and the messages write it: "2026-12-08 01:02:03 UTC".
std::string UtcText(std::time_t t);

} // namespace kestrel
