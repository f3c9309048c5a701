#include "tls/TlsCertificateWatch.h"

#include <sys/stat.h>

namespace kestrel {

TlsCertificateWatch::TlsCertificateWatch(std::string certFile, std::string keyFile, TlsOptions options)
    : m_certFile(std::move(certFile)), m_keyFile(std::move(keyFile)), m_options(options) {}

TlsCertificateWatch::Identity TlsCertificateWatch::IdentityOf(const std::string& path) {
    Identity id;
    struct stat st {};
    // Through links: a renewal tool points its link at a new file.
    if (::stat(path.c_str(), &st) != 0)
        return id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.changedNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return id;
}

std::string TlsCertificateWatch::Load() {
    m_cert = IdentityOf(m_certFile);
    m_key = IdentityOf(m_keyFile);
    TlsContextResult loaded = LoadTlsContext(m_certFile, m_keyFile, m_options);
    if (!loaded.context)
        return loaded.error;
    m_current = std::move(loaded.context);
    m_failedChecks = 0;
    m_reported = false;
    m_failure.clear();
    return {};
}

TlsCertificateWatch::Outcome TlsCertificateWatch::Check() {
    const Identity cert = IdentityOf(m_certFile), key = IdentityOf(m_keyFile);
    const bool changed = !(cert == m_cert) || !(key == m_key);
    if (!changed && m_failedChecks == 0)
        return Outcome::Unchanged;
    if (changed || m_failure.empty()) {
        const std::string error = Load();
        if (error.empty())
            return Outcome::Renewed;
        m_failure = "the renewed certificate and key were not taken: " + error +
                    ". HTTPS goes on with the previous pair; the files are checked again regularly.";
    }
    // Failing at two checks in a row: no longer a renewal caught half-way.
    if (++m_failedChecks < 2 || m_reported)
        return Outcome::Waiting;
    m_reported = true;
    return Outcome::Failed;
}

} // namespace kestrel
