#pragma once

#include "acme/AcmeClient.h"
#include "acme/AcmeState.h"
#include "platform/MessageBox.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel {

// The answers to the HTTP-01 challenges under way, by token. Written by the thread that
// orders a certificate, read by the web server for "/.well-known/acme-challenge/<token>".
class AcmeChallengeTokens {
public:
    void Put(const std::string& token, const std::string& keyAuthorization);
    void Remove(const std::string& token);
    // The key authorization for `token`; false when no challenge has that token.
    bool Find(const std::string& token, std::string& keyAuthorization) const;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::string, std::less<>> m_answers;
};

// What the keeper works with (from the settings).
struct AcmeConfig {
    std::vector<std::string> names;
    std::string email, directory, caFile;
    std::string folder; // the certificate folder
};

// Keeps the HTTPS certificate of AcmeDomains: serves what is stored (or a self-signed
// stand-in until a certificate has been issued), looks at the stored certificate at start
// and twice a day, and orders a new one (on a thread of its own) when there is none, it
// does not cover the names or a third of its lifetime is left. Failures are said once per
// attempt and retried after 1 h, doubling to 24 h, or later when the CA asks.
class AcmeKeeper : public QObject {
    Q_OBJECT
public:
    // Serves the certificate and key files from now on; `issued`: a CA's certificate for
    // the names, not the stand-in. Returns "" or why the pair cannot be served.
    using UseCertificate =
        std::function<std::string(const std::string& certFile, const std::string& keyFile, bool issued)>;

    AcmeKeeper(AcmeConfig config, IMessageBox& box, std::shared_ptr<AcmeChallengeTokens> tokens,
               UseCertificate use);
    ~AcmeKeeper() override;
    AcmeKeeper(const AcmeKeeper&) = delete;
    AcmeKeeper& operator=(const AcmeKeeper&) = delete;

    // Makes the folder and hands over the pair to serve now (the stored certificate, else
    // the stand-in, made when needed). "" or why nothing can be served.
    std::string Prepare();
    // Looks at the certificate now and then as planned.
    void Start();

private:
    struct Attempt {
        AcmeOutcome outcome;
        AcmeState state;
        std::string message; // for the owner
    };
    // The stored certificate's facts when chain and key are there and belong together.
    bool StoredCertificate(CertificateFacts& facts) const;
    void Check();
    void Launch(const std::string& reason);
    // On the worker thread: orders, writes the files and the state.
    Attempt Order(AcmeState state, const std::string& reason);
    void Finished(Attempt attempt);
    void Schedule(std::time_t when);
    void Report(const std::string& text, MessageIcon icon);
    std::string Path(const char* name) const { return m_config.folder + "/" + name; }
    std::string WriteState(const AcmeState& state) const;

    AcmeConfig m_config;
    IMessageBox& m_box;
    std::shared_ptr<AcmeChallengeTokens> m_tokens;
    UseCertificate m_use;
    AcmeState m_state;
    QTimer m_timer;
    std::thread m_worker;
    std::atomic<bool> m_cancel{false};
    bool m_busy = false;
};

} // namespace kestrel
