#pragma once

#include "tls/TlsContext.h"

#include <cstdint>
#include <string>

namespace kestrel {

// The certificate and key files in use and the context made from them. Check() is called
// regularly: when either file has changed (another file in its place, or new contents), the
// pair is loaded again and, when it loads, its context replaces the current one for new
// connections. Renewal tools replace the two files one at a time, so a pair that does not
// load is reported only when it still fails at the following check; until then, and
// after, the old context keeps serving.
class TlsCertificateWatch {
public:
    TlsCertificateWatch(std::string certFile, std::string keyFile, TlsOptions options = {});

    // Loads the pair now. Empty on success, else the reason.
    std::string Load();

    enum class Outcome {
        Unchanged, // nothing to do
        Renewed,   // a changed pair loaded: Current() is the new context
        Waiting,   // the changed pair does not load yet; asked again at the next check
        Failed,    // it still does not load: report FailureText() (once per failure)
    };
    Outcome Check();
    const std::string& FailureText() const { return m_failure; }

    const TlsContextPtr& Current() const { return m_current; }
    const std::string& CertFile() const { return m_certFile; }
    const std::string& KeyFile() const { return m_keyFile; }

private:
    // Which file a path names now and its state: a replaced or rewritten file differs.
    struct Identity {
        std::uint64_t device = 0, inode = 0;
        std::int64_t size = -1, modifiedNs = 0, changedNs = 0;
        bool operator==(const Identity&) const = default;
    };
    static Identity IdentityOf(const std::string& path);

    std::string m_certFile, m_keyFile;
    TlsOptions m_options;
    TlsContextPtr m_current;
    Identity m_cert, m_key; // of the pair last tried
    int m_failedChecks = 0; // checks in a row at which the changed pair did not load
    bool m_reported = false;
    std::string m_failure;
};

} // namespace kestrel
