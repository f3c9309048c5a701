#include "acme/AcmeKeeper.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/RegularFile.h"

#include <QMetaObject>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrel {

namespace {

constexpr std::size_t kMaxPem = 1024 * 1024;
// The stand-in is made for this long; it is made again when it runs out.
constexpr std::time_t kStandInSeconds = 90LL * 24 * 3600;

std::string ReadText(const std::string& path) {
    std::string text;
    if (ReadRegularFile(path, text, kMaxPem) != 0)
        text.clear();
    return text;
}

// Written whole or not at all, readable by Kestrel's user only, on disk before it counts.
int WritePrivate(const std::string& path, const std::string& content) {
    AtomicFile file(path, 0600);
    file.SetDurable(true);
    if (!file.Open() || !file.Write(content.data(), content.size()) || !file.Commit())
        return file.Error() ? file.Error() : EIO;
    return 0;
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names)
        text += (text.empty() ? "" : ", ") + n;
    return text;
}

std::string Hours(long long seconds) {
    if (seconds < 3600)
        return std::to_string((seconds + 59) / 60) + " min";
    return std::to_string((seconds + 1799) / 3600) + " h";
}

} // namespace

void AcmeChallengeTokens::Put(const std::string& token, const std::string& keyAuthorization) {
    std::lock_guard lock(m_mutex);
    m_answers[token] = keyAuthorization;
}

void AcmeChallengeTokens::Remove(const std::string& token) {
    std::lock_guard lock(m_mutex);
    m_answers.erase(token);
}

bool AcmeChallengeTokens::Find(const std::string& token, std::string& keyAuthorization) const {
    std::lock_guard lock(m_mutex);
    auto it = m_answers.find(token);
    if (it == m_answers.end())
        return false;
    keyAuthorization = it->second;
    return true;
}

AcmeKeeper::AcmeKeeper(AcmeConfig config, IMessageBox& box, std::shared_ptr<AcmeChallengeTokens> tokens,
                       UseCertificate use)
    : m_config(std::move(config)), m_box(box), m_tokens(std::move(tokens)), m_use(std::move(use)) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { Check(); });
}

AcmeKeeper::~AcmeKeeper() {
    m_cancel = true;
    if (m_worker.joinable())
        m_worker.join();
}

std::string AcmeKeeper::Prepare() {
    const std::string& folder = m_config.folder;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return "the certificate folder " + folder + " cannot be made (" + ErrorText(errno) + ")";
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "the certificate folder " + folder + " is not a folder";
    if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
        return "the certificate folder " + folder + " cannot be made private (" + ErrorText(errno) + ")";

    const std::string stateText = ReadText(Path(kStateFile));
    std::string error;
    if (!stateText.empty() && !ParseAcmeState(stateText, m_state, error))
        std::fprintf(stderr, "kestrel: %s %s; it is written anew\n", Path(kStateFile).c_str(), error.c_str());

    // A stored certificate that is still valid serves, even for other names, until its
    // successor arrives.
    CertificateFacts stored;
    const std::time_t now = std::time(nullptr);
    if (StoredCertificate(stored) && now < stored.notAfter) {
        const bool covers = SameNames(stored.names, m_config.names);
        if (m_use(Path(kChainFile), Path(kCertKeyFile), covers).empty())
            return {};
    }

    // Else the stand-in, made once for the names.
    const std::string standInPem = ReadText(Path(kStandInCertFile));
    const CertificateFacts standIn = ReadCertificateFacts(standInPem);
    const bool usable = standIn.ok && SameNames(standIn.names, m_config.names) && now < standIn.notAfter &&
                        KeyMatchesCertificate(ReadText(Path(kStandInKeyFile)), standInPem);
    if (!usable) {
        const EcKey key = MakeEcKey();
        const std::string pem = MakeSelfSignedPem(key, m_config.names, now - 3600, now + kStandInSeconds);
        if (pem.empty())
            return "the TLS library could not make a stand-in certificate";
        if (int err = WritePrivate(Path(kStandInKeyFile), EcKeyToPem(key)))
            return "the stand-in key cannot be written to " + folder + " (" + ErrorText(err) + ")";
        if (int err = WritePrivate(Path(kStandInCertFile), pem))
            return "the stand-in certificate cannot be written to " + folder + " (" + ErrorText(err) + ")";
    }
    return m_use(Path(kStandInCertFile), Path(kStandInKeyFile), false);
}

bool AcmeKeeper::StoredCertificate(CertificateFacts& facts) const {
    const std::string chain = ReadText(Path(kChainFile));
    if (chain.empty())
        return false;
    facts = ReadCertificateFacts(chain);
    return facts.ok && KeyMatchesCertificate(ReadText(Path(kCertKeyFile)), chain);
}

void AcmeKeeper::Start() {
    Check();
}

void AcmeKeeper::Check() {
    if (m_busy)
        return;
    CertificateFacts stored;
    const bool have = StoredCertificate(stored);
    const std::time_t now = std::time(nullptr);
    const RenewalPlan plan =
        PlanRenewal(have, stored.names, stored.notBefore, stored.notAfter, m_config.names, m_state, now);
    if (plan.orderNow)
        Launch(plan.reason);
    else
        Schedule(plan.nextCheck);
}

void AcmeKeeper::Schedule(std::time_t when) {
    const long long seconds =
        std::clamp<long long>(static_cast<long long>(when - std::time(nullptr)), 1, kAcmeCheckSeconds);
    m_timer.start(static_cast<int>(seconds * 1000));
}

void AcmeKeeper::Launch(const std::string& reason) {
    if (m_worker.joinable())
        m_worker.join();
    m_busy = true;
    m_worker = std::thread([this, state = m_state, reason] {
        Attempt attempt = Order(state, reason);
        QMetaObject::invokeMethod(
            this, [this, attempt = std::move(attempt)]() mutable { Finished(std::move(attempt)); },
            Qt::QueuedConnection);
    });
}

AcmeKeeper::Attempt AcmeKeeper::Order(AcmeState state, const std::string& reason) {
    Attempt attempt;
    AcmeOrderInput in;
    in.directoryUrl = m_config.directory;
    in.email = m_config.email;
    in.caFile = m_config.caFile;
    in.names = m_config.names;
    in.cancel = &m_cancel;
    in.publish = [tokens = m_tokens](const std::string& token, const std::string& answer) {
        tokens->Put(token, answer);
    };
    in.withdraw = [tokens = m_tokens](const std::string& token) { tokens->Remove(token); };

    // The account key is made once and kept.
    const std::string accountPem = ReadText(Path(kAccountKeyFile));
    in.accountKey = accountPem.empty() ? MakeEcKey() : EcKeyFromPem(accountPem);
    AcmeOutcome& out = attempt.outcome;
    if (!in.accountKey) {
        out.error =
            Path(kAccountKeyFile) + " holds no P-256 key; move it away and Kestrel makes a new account";
    } else if (accountPem.empty()) {
        if (int err = WritePrivate(Path(kAccountKeyFile), EcKeyToPem(in.accountKey)))
            out.error =
                "the account key cannot be written to " + m_config.folder + " (" + ErrorText(err) + ")";
    }
    in.certificateKey = MakeEcKey();
    if (out.error.empty())
        out = ObtainCertificate(in);

    const std::time_t now = std::time(nullptr);
    if (!out.termsOfService.empty())
        state.termsOfService = out.termsOfService;
    if (out.ok) {
        const CertificateFacts facts = ReadCertificateFacts(out.chainPem);
        int err = 0;
        if (!facts.ok)
            out.error = "the CA's certificate cannot be read: it " + facts.error;
        else if (!SameNames(facts.names, m_config.names))
            out.error = "the CA's certificate is for " + JoinNames(facts.names) + ", not the names asked for";
        else if ((err = WritePrivate(Path(kCertKeyFile), EcKeyToPem(in.certificateKey))) != 0 ||
                 (err = WritePrivate(Path(kChainFile), out.chainPem)) != 0)
            out.error =
                "the new certificate cannot be written to " + m_config.folder + " (" + ErrorText(err) + ")";
        out.ok = out.error.empty();
        if (out.ok) {
            state.names = facts.names;
            state.issuer = facts.issuer;
            state.notAfter = facts.notAfter;
            state.nextRenewal = RenewalTime(facts.notBefore, facts.notAfter);
            state.directory = m_config.directory;
            state.failures = 0;
            state.failedNames.clear();
            state.lastError.clear();
            state.lastErrorAt = state.nextAttempt = 0;
            attempt.message = "HTTPS certificate for " + JoinNames(facts.names) + " issued by " +
                              facts.issuer + ", valid until " + UtcText(facts.notAfter) + "; renewal due " +
                              UtcText(state.nextRenewal);
            if (out.nonceRetries > 0)
                attempt.message += " (" + std::to_string(out.nonceRetries) +
                                   (out.nonceRetries == 1 ? " request" : " requests") +
                                   " sent again after the CA refused its nonce)";
        }
    }
    if (!out.ok) {
        if (out.error == "stopped")
            return attempt;
        state.failures = SameNames(state.failedNames, m_config.names) ? state.failures + 1 : 1;
        state.failedNames = m_config.names;
        state.lastError = out.error;
        state.lastErrorAt = now;
        long long wait = FailureBackoffSeconds(state.failures);
        if (out.retryAfter > wait)
            wait = out.retryAfter;
        state.nextAttempt = now + wait;
        attempt.message = "no HTTPS certificate for " + JoinNames(m_config.names) + " (" + reason +
                          "): " + out.error + ". Kestrel tries again in " + Hours(wait) + " (" +
                          UtcText(state.nextAttempt) + "); plain HTTP goes on, and so does the certificate " +
                          "HTTPS serves now.";
    }
    if (std::string error = WriteState(state); !error.empty())
        attempt.message += " (" + error + ")";
    attempt.state = std::move(state);
    return attempt;
}

std::string AcmeKeeper::WriteState(const AcmeState& state) const {
    if (int err = WritePrivate(Path(kStateFile), FormatAcmeState(state)))
        return Path(kStateFile) + " cannot be written: " + ErrorText(err);
    return {};
}

void AcmeKeeper::Finished(Attempt attempt) {
    if (m_worker.joinable())
        m_worker.join();
    m_busy = false;
    if (attempt.message.empty())
        return; // stopped
    m_state = attempt.state;
    if (attempt.outcome.ok) {
        const std::string error = m_use(Path(kChainFile), Path(kCertKeyFile), true);
        if (error.empty())
            std::fprintf(stderr, "kestrel: %s\n", TerminalSafeText(attempt.message).c_str());
        else
            Report("the new HTTPS certificate cannot be served: " + error, MessageIcon::Error);
    } else {
        Report(attempt.message, MessageIcon::Exclamation);
    }
    Check();
}

void AcmeKeeper::Report(const std::string& text, MessageIcon icon) {
    // Without a display the box itself is the line on standard error.
    if (!dynamic_cast<HeadlessMessageBox*>(&m_box))
        std::fprintf(stderr, "kestrel: %s\n", TerminalSafeText(text).c_str());
    m_box.Show(text, "Kestrel", icon);
}

} // namespace kestrel
