// The whole certificate flow of the program against a real ACME test server (pebble),
// kept running across the program's restarts: issuing with refused nonces, serving and
// verifying the chain, a restart reusing the certificate, a renewal forced by a stored
// certificate near its end, and a refused attempt with its message and backoff.

#include "acme/AcmeCrypto.h"
#include "acme/AcmeHttp.h"
#include "acme/AcmeState.h"
#include "support/KestrelProcess.h"
#include "support/LoopbackSocket.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const std::vector<std::string> kNames = {"cam.test", "www.cam.test"};

bool Shell(const std::string& command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

int Connect(unsigned port) {
    return kestrel::test::ConnectLoopback(port, timeval{10, 0});
}

bool WaitFor(const std::function<bool()>& done, int seconds) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms))
        if (done())
            return true;
    return done();
}

bool Listening(unsigned port) {
    int fd = Connect(port);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

// One plain HTTP exchange; the whole answer.
std::string PlainGet(unsigned port, const std::string& path) {
    int fd = Connect(port);
    if (fd < 0)
        return {};
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: cam.test\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
        answer.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return answer;
}

// The certificate the TLS port serves, and whether its chain verifies for www.cam.test
// against `rootFile` (when given).
struct Served {
    bool handshake = false, verified = false;
    std::string subject, issuer, fingerprint;
    std::vector<std::string> names;
};

Served Peer(unsigned port, const std::string& rootFile = {}) {
    Served s;
    int fd = Connect(port);
    if (fd < 0)
        return s;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!rootFile.empty())
        SSL_CTX_load_verify_locations(ctx, rootFile.c_str(), nullptr);
    SSL* ssl = SSL_new(ctx);
    SSL_set_tlsext_host_name(ssl, "www.cam.test");
    SSL_set1_host(ssl, "www.cam.test");
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) == 1) {
        s.handshake = true;
        s.verified = !rootFile.empty() && SSL_get_verify_result(ssl) == X509_V_OK;
        if (X509* cert = SSL_get1_peer_certificate(ssl)) {
            char name[256] = {};
            X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, sizeof name);
            s.subject = name;
            X509_NAME_get_text_by_NID(X509_get_issuer_name(cert), NID_commonName, name, sizeof name);
            s.issuer = name;
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned length = 0;
            X509_digest(cert, EVP_sha256(), digest, &length);
            s.fingerprint.assign(reinterpret_cast<char*>(digest), length);
            X509_free(cert);
        }
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ::close(fd);
    ERR_clear_error();
    return s;
}

// Spawns a program with extra environment; stopped with the object.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
          const std::string& log) {
        std::vector<std::string> env = extraEnv;
        for (char** e = environ; *e; ++e)
            env.emplace_back(*e);
        std::vector<char*> argv, envp;
        std::vector<std::string> a = args;
        for (auto& s : a)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        for (auto& s : env)
            envp.push_back(s.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

private:
    pid_t m_pid = -1;
};

// pebble with pebble-challtestsrv as its DNS server (every name is 127.0.0.1), validating
// HTTP-01 on `httpPort`; its TLS certificate comes from a CA made here.
class Pebble {
public:
    static bool Installed() {
        return ::access("/usr/bin/pebble", X_OK) == 0 && ::access("/usr/bin/pebble-challtestsrv", X_OK) == 0;
    }

    Pebble(unsigned httpPort, const std::string& nonceReject) {
        const std::string dir = Dir();
        if (!Shell("cd " + dir +
                   " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key "
                   "-out ca.pem -days 2 -subj /CN=Acme-Test-CA"
                   " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout pebble.key "
                   "-out pebble.csr -subj /CN=localhost"
                   " && printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.ext"
                   " && openssl x509 -req -in pebble.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
                   "-extfile san.ext -out pebble.pem"))
            return;
        m_port = FreeTcpPort();
        m_managementPort = FreeTcpPort();
        const unsigned dnsPort = FreeTcpPort(), challManagement = FreeTcpPort(), tlsPort = FreeTcpPort();
        m_challManagement = challManagement;
        WriteFile(dir + "/pebble.json",
                  R"({"pebble":{"listenAddress":"127.0.0.1:)" + std::to_string(m_port) +
                      R"(","managementListenAddress":"127.0.0.1:)" + std::to_string(m_managementPort) +
                      R"(","certificate":")" + dir + R"(/pebble.pem","privateKey":")" + dir +
                      R"(/pebble.key","httpPort":)" + std::to_string(httpPort) + R"(,"tlsPort":)" +
                      std::to_string(tlsPort) +
                      R"(,"ocspResponderURL":"","externalAccountBindingRequired":false}})");
        const std::string dns = "127.0.0.1:" + std::to_string(dnsPort);
        m_dns = std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/pebble-challtestsrv", "-http01", "", "-https01", "",
                                     "-tlsalpn01", "", "-dns01", dns, "-defaultIPv6", "", "-management",
                                     "127.0.0.1:" + std::to_string(challManagement)},
            std::vector<std::string>{}, dir + "/challtestsrv.log");
        m_pebble = std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/pebble", "-config", dir + "/pebble.json", "-dnsserver", dns},
            std::vector<std::string>{"PEBBLE_VA_NOSLEEP=1", "PEBBLE_AUTHZREUSE=0",
                                     "PEBBLE_WFE_NONCEREJECT=" + nonceReject},
            dir + "/pebble.log");
        m_ok = WaitFor(
            [&] { return Listening(m_port) && Listening(m_managementPort) && Listening(challManagement); },
            30);
        if (!m_ok)
            return;
        // The root of this run (a new one at every start), for verifying what is issued.
        std::atomic<bool> cancel{false};
        AcmeHttpReply root = AcmeHttp(CaFile(), &cancel)
                                 .Get("https://127.0.0.1:" + std::to_string(m_managementPort) + "/roots/0");
        WriteFile(RootFile(), root.body);
        m_ok = root.status == 200 && root.body.find("BEGIN CERTIFICATE") != std::string::npos;
    }

    bool Ok() const { return m_ok; }
    std::string Dir() const { return m_dir.path().toStdString(); }
    std::string Directory() const { return "https://127.0.0.1:" + std::to_string(m_port) + "/dir"; }
    std::string CaFile() const { return Dir() + "/ca.pem"; }
    std::string RootFile() const { return Dir() + "/root.pem"; }
    std::string Log() const { return ReadFile(Dir() + "/pebble.log"); }

    // Makes the DNS server answer SERVFAIL for `host`.
    bool ServFail(const std::string& host) const {
        const std::string body = R"({"host":")" + host + R"("})";
        int fd = Connect(m_challManagement);
        if (fd < 0)
            return false;
        const std::string request =
            "POST /set-servfail HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
            body;
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[256] = {};
        const ssize_t n = ::recv(fd, buf, sizeof buf - 1, 0);
        ::close(fd);
        return n > 0 && std::string(buf).find(" 200 ") != std::string::npos;
    }

private:
    QTemporaryDir m_dir;
    unsigned m_port = 0, m_managementPort = 0, m_challManagement = 0;
    std::unique_ptr<Child> m_dns, m_pebble;
    bool m_ok = false;
};

std::string Hex(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

class AcmeFlow : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Pebble::Installed())
            GTEST_SKIP()
                << "pebble is not installed (apt-get install pebble): the certificate flow is not tested";
        tlsPort = FreeTcpPort();
        folder = box.ConfigFolder() + "/" + kAcmeFolderName;
    }
    void WriteSettings(const Pebble& pebble, const std::string& extra = {}) {
        box.WriteSettings(extra + "\"TlsPort\"=dword:" + Hex(tlsPort) +
                          "\n\"CaptureDevice\"=dword:00000000\n\"AcmeDomains\"=\"cam.test, WWW.cam.test\"\n"
                          "\"AcmeEmail\"=\"owner@cam.test\"\n\"AcmeDirectory\"=\"" +
                          pebble.Directory() + "\"\n\"AcmeCaFile\"=\"" + pebble.CaFile() + "\"\n");
    }
    // Starts the program and waits for both ports.
    void Start(std::unique_ptr<KestrelProcess>& k, const std::string& name) {
        k = std::make_unique<KestrelProcess>(box, name);
        ASSERT_TRUE(k->WaitUntilRunning(box.LockPath())) << k->Stderr();
        ASSERT_TRUE(WaitFor([&] { return Listening(box.Port()) && Listening(tlsPort); }, 60)) << k->Stderr();
    }
    void Stop(std::unique_ptr<KestrelProcess>& k) {
        k->Signal(SIGTERM);
        ASSERT_TRUE(k->WaitForExit());
        EXPECT_EQ(k->ExitStatus(), 0) << k->Stderr();
    }
    static bool Says(KestrelProcess& k, const std::string& text, int seconds) {
        return WaitFor([&] { return k.Stderr().find(text) != std::string::npos; }, seconds);
    }

    Sandbox box;
    unsigned tlsPort = 0;
    std::string folder;
};

} // namespace

TEST_F(AcmeFlow, IssuesServesKeepsAcrossRestartsAndRenewsNearTheEnd) {
    // Half of the good nonces refused: every request must survive a badNonce.
    Pebble pebble(box.Port(), "50");
    ASSERT_TRUE(pebble.Ok()) << pebble.Log();
    WriteSettings(pebble);
    const std::string issued =
        "HTTPS certificate for cam.test, www.cam.test issued by Pebble Intermediate CA";

    std::unique_ptr<KestrelProcess> k;
    Start(k, "stderr-1.txt");
    ASSERT_TRUE(Says(*k, issued, 60)) << k->Stderr() << pebble.Log();
    EXPECT_TRUE(Says(*k, "sent again after the CA refused its nonce", 0)) << k->Stderr();
    const Served first = Peer(tlsPort, pebble.RootFile());
    EXPECT_TRUE(first.verified) << "the chain does not verify against pebble's root for www.cam.test";
    EXPECT_EQ(first.subject, "cam.test");
    EXPECT_EQ(first.issuer.rfind("Pebble Intermediate CA", 0), 0u) << first.issuer;
    // A real certificate: plain requests now go over to HTTPS.
    EXPECT_EQ(PlainGet(box.Port(), "/").rfind("HTTP/1.0 302", 0), 0u);
    // The folder and its files are private, and never served, by any path.
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const char* name : {kAccountKeyFile, kCertKeyFile, kChainFile, kStateFile}) {
        ASSERT_EQ(::stat((folder + "/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
    Stop(k);

    // Restarted: the same certificate, no new order.
    const std::string chain = ReadFile(folder + "/" + kChainFile);
    WriteSettings(pebble, "\"TlsRedirect\"=dword:00000000\n");
    ASSERT_EQ(::symlink(folder.c_str(), (box.Root() + "/home/WebPages/keys").c_str()), 0);
    Start(k, "stderr-2.txt");
    EXPECT_EQ(Peer(tlsPort).fingerprint, first.fingerprint);
    for (const char* name : {kAccountKeyFile, kCertKeyFile, kStateFile})
        EXPECT_EQ(PlainGet(box.Port(), std::string("/keys/") + name).rfind("HTTP/1.0 404", 0), 0u) << name;
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(k->Stderr().find("HTTPS certificate for"), std::string::npos) << k->Stderr();
    EXPECT_EQ(ReadFile(folder + "/" + kChainFile), chain);
    Stop(k);

    // A stored certificate with less than a third of its life left is served until its
    // successor arrives, which new connections get at once (challenges answered while
    // the redirect is on).
    WriteSettings(pebble);
    const EcKey key = MakeEcKey();
    const std::time_t now = std::time(nullptr);
    WriteFile(folder + "/" + kChainFile, MakeSelfSignedPem(key, kNames, now - 20 * 86400, now + 5 * 86400));
    WriteFile(folder + "/" + kCertKeyFile, EcKeyToPem(key));
    Start(k, "stderr-3.txt");
    const Served old = Peer(tlsPort);
    EXPECT_EQ(old.issuer, "cam.test") << "the stored certificate is served first";
    ASSERT_TRUE(Says(*k, issued, 60)) << k->Stderr() << pebble.Log();
    const Served renewed = Peer(tlsPort, pebble.RootFile());
    EXPECT_TRUE(renewed.verified);
    EXPECT_NE(renewed.fingerprint, first.fingerprint);
    EXPECT_NE(renewed.fingerprint, old.fingerprint);
    Stop(k);
}

TEST_F(AcmeFlow, RefusedAttemptIsSaidAndBackedOffWhilePlainHttpServes) {
    Pebble pebble(box.Port(), "0");
    ASSERT_TRUE(pebble.Ok()) << pebble.Log();
    ASSERT_TRUE(pebble.ServFail("www.cam.test."));
    WriteSettings(pebble);

    std::unique_ptr<KestrelProcess> k;
    Start(k, "stderr-1.txt");
    ASSERT_TRUE(Says(*k, "no HTTPS certificate for cam.test, www.cam.test", 60)) << k->Stderr();
    const std::string said = k->Stderr();
    // The CA's own explanation, the name, and when it is tried again.
    EXPECT_NE(said.find("www.cam.test could not be validated"), std::string::npos) << said;
    EXPECT_NE(said.find("could not resolve URL \"http://www.cam.test:"), std::string::npos) << said;
    EXPECT_NE(said.find("Kestrel tries again in 1 h"), std::string::npos) << said;
    // Plain HTTP serves (no redirect to a stand-in), and the TLS port has the stand-in.
    const std::string home = PlainGet(box.Port(), "/index.html");
    EXPECT_EQ(home.rfind("HTTP/1.0 200", 0), 0u) << home;
    const Served standIn = Peer(tlsPort);
    EXPECT_TRUE(standIn.handshake);
    EXPECT_EQ(standIn.issuer, "cam.test");
    AcmeState state;
    std::string error;
    ASSERT_TRUE(ParseAcmeState(ReadFile(folder + "/" + kStateFile), state, error)) << error;
    EXPECT_EQ(state.failures, 1);
    EXPECT_EQ(state.nextAttempt - state.lastErrorAt, 3600);
    Stop(k);

    // A restart keeps the backoff: no new attempt at once.
    Start(k, "stderr-2.txt");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(k->Stderr().find("no HTTPS certificate"), std::string::npos) << k->Stderr();
    EXPECT_EQ(Peer(tlsPort).issuer, "cam.test");
    Stop(k);

    // The settings check shows the state, the last error as a warning, and the terms.
    KestrelProcess check(box, "check.txt", {}, {"--check-settings"});
    ASSERT_TRUE(check.WaitForExit());
    const std::string report = check.Stdout();
    EXPECT_NE(report.find("names: cam.test, www.cam.test"), std::string::npos) << report;
    EXPECT_NE(report.find("certificate: none issued yet"), std::string::npos) << report;
    EXPECT_NE(report.find("warning: the last attempt failed at"), std::string::npos) << report;
    EXPECT_NE(report.find("terms of service: data:text/plain,Do%20what%20thou%20wilt"), std::string::npos)
        << report;
}

namespace {

// A CA that answers every new account with "rateLimited" and Retry-After: 7200
// (tests/acme/rate_limited_ca.py), trusted through AcmeCaFile.
class RateLimitingCa {
public:
    RateLimitingCa() {
        const std::string dir = m_dir.path().toStdString();
        if (!Shell("cd " + dir +
                   " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key "
                   "-out ca.pem -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"))
            return;
        m_port = FreeTcpPort();
        m_child = std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/python3", KESTREL_SOURCE_DIR "/tests/acme/rate_limited_ca.py",
                                     std::to_string(m_port), dir + "/ca.pem", dir + "/ca.key", "7200",
                                     dir + "/requests.log"},
            std::vector<std::string>{}, dir + "/ca.log");
        m_ok = WaitFor([this] { return Listening(m_port); }, 20);
    }
    bool Ok() const { return m_ok; }
    std::string Directory() const { return "https://127.0.0.1:" + std::to_string(m_port) + "/dir"; }
    std::string CaFile() const { return m_dir.path().toStdString() + "/ca.pem"; }
    // The requests received, "METHOD /path" per line.
    std::string Requests() const { return ReadFile(m_dir.path().toStdString() + "/requests.log"); }

private:
    QTemporaryDir m_dir;
    unsigned m_port = 0;
    std::unique_ptr<Child> m_child;
    bool m_ok = false;
};

class AcmeRateLimit : public AcmeFlow {
protected:
    void SetUp() override {
        tlsPort = FreeTcpPort();
        folder = box.ConfigFolder() + "/" + kAcmeFolderName;
    }
};

} // namespace

TEST_F(AcmeRateLimit, TheCasWaitIsKeptWhenLongerThanTheBackoffAndSurvivesARestart) {
    if (::access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "python3 is not installed";
    RateLimitingCa ca;
    ASSERT_TRUE(ca.Ok()) << "the rate-limiting CA did not start";
    box.WriteSettings(
        "\"TlsPort\"=dword:" + Hex(tlsPort) +
        "\n\"CaptureDevice\"=dword:00000000\n\"AcmeDomains\"=\"cam.test\"\n\"AcmeDirectory\"=\"" +
        ca.Directory() + "\"\n\"AcmeCaFile\"=\"" + ca.CaFile() + "\"\n");
    std::unique_ptr<KestrelProcess> k;
    Start(k, "stderr-1.txt");
    ASSERT_TRUE(Says(*k, "no HTTPS certificate for cam.test", 60)) << k->Stderr() << ca.Requests();
    const std::string said = k->Stderr();
    EXPECT_NE(said.find("too many new accounts from this address"), std::string::npos) << said;
    // The CA asked for two hours; the first failure's own backoff would be one.
    EXPECT_NE(said.find("Kestrel tries again in 2 h"), std::string::npos) << said;
    AcmeState state;
    std::string error;
    ASSERT_TRUE(ParseAcmeState(ReadFile(folder + "/" + kStateFile), state, error)) << error;
    EXPECT_EQ(state.failures, 1);
    EXPECT_EQ(state.nextAttempt - state.lastErrorAt, 7200);
    Stop(k);

    // Restarted within the wait: the CA is not asked again.
    const std::string asked = ca.Requests();
    EXPECT_NE(asked.find("POST /account"), std::string::npos) << asked;
    Start(k, "stderr-2.txt");
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(ca.Requests(), asked);
    Stop(k);
}
