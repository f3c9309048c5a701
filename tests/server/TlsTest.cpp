// HTTPS on the TLS port: real handshakes against certificates made here with the openssl
// program, the same site as the plain port, the redirect and the certificate challenge
// folder, renewal while running, hostile clients, and the program stopping with TLS
// connections open.

#include "ServerTestSupport.h"

#include "server/ScriptWorker.h"
#include "support/KestrelProcess.h"
#include "tls/TlsContext.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

bool Shell(const std::string& command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

// A test CA and server pairs it signs, for "localhost" and 127.0.0.1.
class TestPki {
public:
    TestPki() {
        m_ok =
            Shell("cd " + Dir() +
                  " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key "
                  "-out ca.pem -days 2 -subj /CN=Kestrel-Test-CA" +
                  " && printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.ext");
    }
    bool Ok() const { return m_ok; }
    std::string Dir() const { return m_dir.Path(); }
    std::string Ca() const { return Dir() + "/ca.pem"; }
    // Makes <name>.pem and <name>.key (subject CN=<name>); `rsa` for RSA 2048, else P-256.
    bool MakePair(const std::string& name, bool rsa = false) {
        const std::string key = rsa ? "-newkey rsa:2048" : "-newkey ec -pkeyopt ec_paramgen_curve:P-256";
        return Shell("cd " + Dir() + " && openssl req " + key + " -nodes -keyout " + name + ".key -out " +
                     name + ".csr -subj /CN=" + name + " && openssl x509 -req -in " + name +
                     ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext -out " + name +
                     ".pem");
    }
    std::string Cert(const std::string& name) const { return Dir() + "/" + name + ".pem"; }
    std::string Key(const std::string& name) const { return Dir() + "/" + name + ".key"; }

private:
    TempFolder m_dir;
    bool m_ok = false;
};

// How the test's TLS client talks.
struct TlsClient {
    std::string ca; // trusted for the peer check (verification is required)
    int minVersion = TLS1_2_VERSION, maxVersion = 0;
    std::string cipher;  // a TLS 1.2 cipher list, empty for the library's
    std::string request; // sent after the handshake
    // Runs on the client's thread between the handshake and the request.
    std::function<void()> afterHandshake;
    // Reading stops once this holds for what arrived (streams never end).
    std::function<bool(const std::string&)> enough;
};

struct TlsResult {
    bool handshake = false;
    int version = 0;
    std::string alpn, subject, raw;
    Response response;
};

TlsResult TlsExchange(unsigned port, const TlsClient& c) {
    TlsResult result;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, c.minVersion);
    SSL_CTX_set_max_proto_version(ctx, c.maxVersion);
    if (!c.cipher.empty())
        SSL_CTX_set_cipher_list(ctx, c.cipher.c_str());
    SSL_CTX_load_verify_locations(ctx, c.ca.c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    static const unsigned char kAlpn[] = {2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    SSL_CTX_set_alpn_protos(ctx, kAlpn, sizeof kAlpn);
    SSL* ssl = SSL_new(ctx);
    SSL_set1_host(ssl, "localhost");
    SSL_set_fd(ssl, fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && SSL_connect(ssl) == 1) {
        result.handshake = true;
        result.version = SSL_version(ssl);
        const unsigned char* alpn = nullptr;
        unsigned alpnLength = 0;
        SSL_get0_alpn_selected(ssl, &alpn, &alpnLength);
        result.alpn.assign(reinterpret_cast<const char*>(alpn), alpnLength);
        if (X509* peer = SSL_get1_peer_certificate(ssl)) {
            char name[256];
            X509_NAME_oneline(X509_get_subject_name(peer), name, sizeof name);
            result.subject = name;
            X509_free(peer);
        }
        if (c.afterHandshake)
            c.afterHandshake();
        if (!c.request.empty())
            SSL_write(ssl, c.request.data(), static_cast<int>(c.request.size()));
        char buf[16384];
        for (int n; (n = SSL_read(ssl, buf, sizeof buf)) > 0;) {
            result.raw.append(buf, static_cast<std::size_t>(n));
            if (c.enough && c.enough(result.raw))
                break;
        }
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ::close(fd);
    result.response = ParseResponse(result.raw);
    return result;
}

// The exchange on a thread while this thread turns the server's event loop.
TlsResult TlsFetch(unsigned port, const TlsClient& c) {
    auto future = std::async(std::launch::async, TlsExchange, port, c);
    PumpUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 15000);
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready ? future.get() : TlsResult{};
}

int ConnectRaw(unsigned port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Waits until something listens on the port (the program opens its ports after it holds
// its lock).
bool WaitForPort(unsigned port) {
    for (int i = 0; i < 1000; ++i) {
        int fd = ConnectRaw(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Whether the server has closed the connection (end of stream, nothing else).
bool ClosedByServer(int fd) {
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

class Https : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pki.Ok()) << "the openssl program could not make the test CA";
        ASSERT_TRUE(pki.MakePair("site"));
        UsePair("site");
        h.settings.strServer = "cam.test";
        root = h.Root();
        WriteFile(root + "/index.html", "<html>home</html>");
        WriteFile(root + "/pass.jpg", "PASSPICTURE");
    }
    void UsePair(const std::string& name) {
        h.settings.TlsCertFile = pki.Cert(name);
        h.settings.TlsKeyFile = pki.Key(name);
    }
    // Starts both ports; the TLS port must serve.
    void Start() {
        h.settings.TlsPort = FreePort();
        ASSERT_TRUE(h.Start());
        ASSERT_TRUE(h.server->TlsServing()) << (h.box.texts.empty() ? "" : h.box.texts[0]);
        tlsPort = h.settings.TlsPort;
    }
    TlsResult Get(const std::string& path, TlsClient c = {}) {
        c.ca = pki.Ca();
        c.request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
        return TlsFetch(tlsPort, c);
    }
    TestPki pki;
    ServerHarness h;
    std::string root;
    unsigned tlsPort = 0;
};

TEST_F(Https, EcdsaAndRsaPairsServeTheSiteOverTls12And13Only) {
    ASSERT_TRUE(pki.MakePair("rsa-site", true));
    h.settings.TlsHsts = 600;
    Start();
    TlsResult r = Get("/index.html");
    ASSERT_TRUE(r.handshake);
    EXPECT_EQ(r.version, TLS1_3_VERSION);
    EXPECT_EQ(r.alpn, "http/1.1");
    EXPECT_EQ(r.subject, "/CN=site");
    EXPECT_EQ(r.response.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(r.response.body, "<html>home</html>");
    EXPECT_EQ(r.response.Header("strict-transport-security"), "max-age=600");
    ASSERT_EQ(h.hits.size(), 1u);
    EXPECT_EQ(h.hits[0]->status, 200u);
    EXPECT_EQ(h.hits[0]->clientAddress, "127.0.0.1");

    // The same client settings: TLS 1.1 is refused, TLS 1.2 is taken.
    TlsClient old;
    old.cipher = "DEFAULT@SECLEVEL=0";
    old.minVersion = old.maxVersion = TLS1_1_VERSION;
    EXPECT_FALSE(Get("/index.html", old).handshake);
    old.minVersion = old.maxVersion = TLS1_2_VERSION;
    r = Get("/index.html", old);
    ASSERT_TRUE(r.handshake);
    EXPECT_EQ(r.version, TLS1_2_VERSION);
    EXPECT_EQ(r.response.status, 200);

    // No HSTS on the plain port.
    h.settings.TlsRedirect = 0;
    Response plain = h.Get("/index.html");
    EXPECT_EQ(plain.status, 200);
    EXPECT_EQ(plain.headers.count("strict-transport-security"), 0u);

    // An RSA pair, after a restart.
    UsePair("rsa-site");
    ASSERT_TRUE(h.server->StartServer());
    r = Get("/index.html");
    ASSERT_TRUE(r.handshake);
    EXPECT_EQ(r.subject, "/CN=rsa-site");
    EXPECT_EQ(r.response.status, 200);
}

TEST_F(Https, PasswordTableStreamScriptsAndAddressesOverHttps) {
    h.password = "pw";
    Start();
    EXPECT_EQ(Get("/frame.jpg?1&picid=pw").response.body, h.frameBytes);
    EXPECT_EQ(Get("/frame.jpg?1&picid=PW").response.body, "PASSPICTURE");
    EXPECT_EQ(Get("/frame.jpg").response.body, "PASSPICTURE");
    EXPECT_EQ(Get("/framei.jpg").response.body, h.frameiBytes);
    EXPECT_EQ(h.composeCount, 2);

    // The stream: its head and at least two pictures arrive over TLS.
    TlsClient watcher;
    watcher.enough = [](const std::string& raw) {
        std::size_t parts = 0;
        for (auto at = raw.find("\r\n\r\n"); at != std::string::npos; at = raw.find("\r\n\r\n", at + 4))
            ++parts;
        return parts >= 3;
    };
    TlsResult stream = Get("/stream.mjpg?1&picid=pw", watcher);
    ASSERT_TRUE(stream.handshake);
    EXPECT_EQ(stream.response.status, 200);
    EXPECT_NE(stream.response.Header("content-type").find("multipart/x-mixed-replace"), std::string::npos);
    EXPECT_GE(h.streamComposeCount, 2);

    // Scripts learn they run under HTTPS, on the TLS port.
    MakeFolder(root + "/cgi");
    WriteFile(root + "/cgi/env.exe", "#!/bin/sh\necho 'Content-type: text/plain'\necho\nenv\n", 0755);
    TlsResult env = Get("/cgi/env.exe?x");
    EXPECT_NE(env.response.body.find("\nHTTPS=on\n"), std::string::npos) << env.response.body;
    EXPECT_NE(env.response.body.find("\nSERVER_PORT=" + std::to_string(tlsPort) + "\n"), std::string::npos);
    h.settings.TlsRedirect = 0;
    Response plainEnv = h.Get("/cgi/env.exe?x");
    EXPECT_EQ(plainEnv.body.find("HTTPS="), std::string::npos);
    EXPECT_NE(plainEnv.body.find("\nSERVER_PORT=" + std::to_string(h.Port()) + "\n"), std::string::npos);
    WaitForScriptWorkers(5000);

    // The default document's redirect stays on HTTPS: it names the path only.
    MakeFolder(root + "/sub");
    WriteFile(root + "/sub/index.html", "sub");
    EXPECT_EQ(Get("/sub").response.Header("location"), "/sub/index.html");
}

TEST_F(Https, BehindATrustedProxyOnOneAddressNothingIsRedirected) {
    h.settings.ListenAddress = "127.0.0.1";
    h.settings.TrustedProxies = "127.0.0.1";
    Start();
    EXPECT_TRUE(Get("/index.html").handshake) << "the TLS port listens on the address too";
    // The proxy decides the scheme: a plain request through it is served, not sent to Kestrel's port.
    Response r = h.Get("/index.html", "Host: cam.test\r\nX-Forwarded-Proto: https\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "<html>home</html>");
}

TEST_F(Https, PlainRequestsAreRedirectedExceptCertificateChallenges) {
    h.password = "pw";
    Start();
    const std::string https = "https://cam.test:" + std::to_string(tlsPort);
    Response r = h.Get("/frame.jpg?7&picid=pw", "Host: cam.test:8080\r\n");
    EXPECT_EQ(r.statusLine, "HTTP/1.0 302 Redirection");
    EXPECT_EQ(r.Header("location"), https + "/frame.jpg?7&picid=pw");
    EXPECT_EQ(h.composeCount, 0) << "a redirected picture request composes nothing";
    ASSERT_EQ(h.hits.size(), 1u);
    EXPECT_EQ(h.hits[0]->status, 302u);
    EXPECT_EQ(h.hits[0]->query, "") << "the password stays out of the log";
    EXPECT_EQ(h.Get("/a%20b/caf\xC3\xA9?q=1", "Host: [::1]:8080\r\n").Header("location"),
              "https://[::1]:" + std::to_string(tlsPort) + "/a%20b/caf%C3%A9?q=1");
    EXPECT_EQ(h.Send("POST /x HTTP/1.0\r\nHost: cam.test\r\nContent-Length: 3\r\n\r\nabc").Header("location"),
              https + "/x");

    // The challenge folder's files are served on both ports; nothing else of a dot-name is.
    MakeFolder(root + "/.well-known");
    MakeFolder(root + "/.well-known/acme-challenge");
    MakeFolder(root + "/.well-known/acme-challenge/sub");
    WriteFile(root + "/.well-known/acme-challenge/tok-1", "TOKEN");
    WriteFile(root + "/.well-known/acme-challenge/.hidden", "H");
    WriteFile(root + "/.well-known/acme-challenge/sub/x", "X");
    WriteFile(root + "/.well-known/other", "O");
    WriteFile(root + "/.secret", "S");
    r = h.Get("/.well-known/acme-challenge/tok-1");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "TOKEN");
    EXPECT_EQ(Get("/.well-known/acme-challenge/tok-1").response.body, "TOKEN");
    h.settings.bAllowListing = 1;
    for (const char* refused : {"/.well-known/acme-challenge/", "/.well-known/acme-challenge/.hidden",
                                "/.well-known/acme-challenge/sub", "/.well-known/acme-challenge/sub/x",
                                "/.well-known/other", "/.secret"})
        EXPECT_EQ(Get(refused).response.status, 403) << refused;
    EXPECT_EQ(h.Get("/.well-known/acme-challenge/").status, 403) << "the folder is never listed";

    // With the redirect off, the plain port serves as before.
    h.settings.TlsRedirect = 0;
    EXPECT_EQ(h.Get("/index.html").body, "<html>home</html>");
}

TEST_F(Https, RenewedPairIsTakenAndABrokenOneRefusedWhileTheOldServes) {
    ASSERT_TRUE(pki.MakePair("second"));
    ASSERT_TRUE(pki.MakePair("third"));
    const std::string cert = pki.Dir() + "/live.pem", key = pki.Dir() + "/live.key";
    ASSERT_TRUE(Shell("cp " + pki.Cert("site") + " " + cert + " && cp " + pki.Key("site") + " " + key));
    h.settings.TlsCertFile = cert;
    h.settings.TlsKeyFile = key;
    Start();

    // A connection made on the first pair, its request still to come.
    std::promise<void> go;
    std::shared_future<void> goSignal = go.get_future().share();
    std::atomic<bool> shaken{false};
    TlsClient inFlight;
    inFlight.ca = pki.Ca();
    inFlight.request = "GET /index.html HTTP/1.0\r\n\r\n";
    inFlight.afterHandshake = [&] {
        shaken = true;
        goSignal.wait();
    };
    auto first = std::async(std::launch::async, TlsExchange, tlsPort, inFlight);
    ASSERT_TRUE(PumpUntil([&] { return shaken.load(); }));

    auto replace = [&](const std::string& from, const std::string& to) {
        ASSERT_TRUE(Shell("cp " + from + " " + to + ".new && mv " + to + ".new " + to));
    };
    replace(pki.Cert("second"), cert);
    replace(pki.Key("second"), key);
    h.server->CheckTlsFiles();
    EXPECT_EQ(Get("/index.html").subject, "/CN=second");
    go.set_value();
    PumpUntil([&] { return first.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    TlsResult old = first.get();
    EXPECT_EQ(old.subject, "/CN=site");
    EXPECT_EQ(old.response.body, "<html>home</html>") << "the connection in flight finishes on the old pair";

    // Half a renewal: a key that does not belong to the certificate. Said once, and only
    // when it still fails at the next check; the pair in use serves throughout.
    replace(pki.Key("third"), key);
    h.server->CheckTlsFiles();
    EXPECT_TRUE(h.box.texts.empty());
    EXPECT_EQ(Get("/index.html").subject, "/CN=second");
    h.server->CheckTlsFiles();
    ASSERT_EQ(h.box.texts.size(), 1u);
    EXPECT_NE(h.box.texts[0].find(key), std::string::npos) << h.box.texts[0];
    EXPECT_NE(h.box.texts[0].find("does not belong"), std::string::npos) << h.box.texts[0];
    h.server->CheckTlsFiles();
    EXPECT_EQ(h.box.texts.size(), 1u);
    TlsResult still = Get("/index.html");
    EXPECT_EQ(still.subject, "/CN=second");
    EXPECT_EQ(still.response.status, 200);

    // The renewal completed.
    replace(pki.Cert("third"), cert);
    h.server->CheckTlsFiles();
    EXPECT_EQ(Get("/index.html").subject, "/CN=third");
}

TEST_F(Https, SilentPlainAndOverTheCapClientsOnTheTlsPort) {
    h.settings.MaxConnPerAddress = 2;
    Start();
    ServerTimeouts t;
    t.head = std::chrono::milliseconds(500);
    t.sweep = std::chrono::milliseconds(100);
    h.server->SetTimeouts(t);

    // Plain HTTP to the TLS port: closed, no answer, no hit.
    Response plain = Fetch(tlsPort, "GET /index.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(plain.raw.find("HTTP/"), std::string::npos) << plain.raw;
    EXPECT_TRUE(h.hits.empty());

    // One client that never speaks and one that stops within its hello fill the address's
    // cap: a third connection is closed at once. The deadline from the accept ends both.
    int silent = ConnectRaw(tlsPort), halfHello = ConnectRaw(tlsPort);
    ASSERT_GE(silent, 0);
    ASSERT_GE(halfHello, 0);
    ASSERT_EQ(::send(halfHello, "\x16\x03\x01\x02\x00", 5, MSG_NOSIGNAL), 5);
    ASSERT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 2; }));
    int third = ConnectRaw(tlsPort);
    EXPECT_TRUE(PumpUntil([&] { return ClosedByServer(third); }, 2000)) << "over the cap";
    EXPECT_TRUE(PumpUntil([&] { return ClosedByServer(silent) && ClosedByServer(halfHello); }, 5000));
    for (int fd : {silent, halfHello, third})
        ::close(fd);

    TlsResult after = Get("/index.html");
    EXPECT_EQ(after.response.status, 200);
    EXPECT_EQ(h.hits.size(), 1u);
}

TEST(TlsPairs, UnusablePairsAreRefusedWithTheirReason) {
    TestPki pki;
    ASSERT_TRUE(pki.Ok());
    ASSERT_TRUE(pki.MakePair("a"));
    ASSERT_TRUE(pki.MakePair("b", true));
    ASSERT_TRUE(Shell("cd " + pki.Dir() + " && openssl pkey -in a.key -aes256 -passout pass:x -out enc.key"));
    ASSERT_TRUE(Shell("cd " + pki.Dir() +
                      " && openssl rsa -in b.key -aes128 -traditional -passout pass:x "
                      "-out enc-old.key"));
    EXPECT_TRUE(LoadTlsContext(pki.Cert("a"), pki.Key("a")).context);
    struct Case {
        std::string cert, key, reason;
    } cases[] = {
        {pki.Cert("a"), pki.Dir() + "/enc.key", "protected by a passphrase"},
        {pki.Cert("b"), pki.Dir() + "/enc-old.key", "protected by a passphrase"},
        {pki.Cert("a"), pki.Key("b"), "does not belong to the certificate"},
        {pki.Cert("a"), pki.Dir() + "/missing.key", "cannot be read"},
        {pki.Key("a"), pki.Key("a"), "holds no PEM certificate"},
        {pki.Cert("a"), pki.Cert("a"), "holds no PEM private key"},
        {pki.Dir(), pki.Key("a"), "is a folder"},
    };
    for (const Case& c : cases) {
        TlsContextResult r = LoadTlsContext(c.cert, c.key);
        EXPECT_FALSE(r.context) << c.key;
        EXPECT_NE(r.error.find(c.reason), std::string::npos) << r.error;
        EXPECT_EQ(r.error.find("PRIVATE KEY-----"), std::string::npos) << "the key is never printed";
    }
}

} // namespace

// The program as a process: HTTPS from the settings file, a start with an unusable key,
// and SIGTERM while TLS connections are open.
TEST(HttpsProcess, ServesHttpsAndStopsCleanlyWithTlsConnectionsOpen) {
    using namespace kestrel::testing;
    TestPki pki;
    ASSERT_TRUE(pki.Ok());
    ASSERT_TRUE(pki.MakePair("site"));
    ASSERT_TRUE(
        Shell("cd " + pki.Dir() + " && openssl pkey -in site.key -aes256 -passout pass:x -out enc.key"));
    Sandbox box;
    const unsigned tlsPort = FreePort();
    auto tlsLines = [&](const std::string& key) {
        char port[64];
        std::snprintf(port, sizeof port, "\"TlsPort\"=dword:%08x\n", tlsPort);
        return std::string(port) + "\"TlsCertFile\"=\"" + pki.Cert("site") + "\"\n\"TlsKeyFile\"=\"" + key +
               "\"\n\"CaptureDevice\"=dword:00000000\n";
    };

    // An encrypted key: said at start, naming the file; the plain port serves.
    box.WriteSettings(tlsLines(pki.Dir() + "/enc.key"));
    {
        KestrelProcess k(box, "stderr-enc.txt");
        ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
        ASSERT_TRUE(WaitForPort(box.Port()));
        Response plain = Fetch(box.Port(), "GET /index.html HTTP/1.0\r\n\r\n");
        EXPECT_EQ(plain.status, 200);
        EXPECT_NE(k.Stderr().find(pki.Dir() + "/enc.key is protected by a passphrase"), std::string::npos)
            << k.Stderr();
        EXPECT_EQ(ConnectRaw(tlsPort), -1) << "no TLS port without a usable pair";
        k.Signal(SIGTERM);
        ASSERT_TRUE(k.WaitForExit());
    }

    box.WriteSettings(tlsLines(pki.Key("site")));
    KestrelProcess k(box, "stderr.txt");
    ASSERT_TRUE(k.WaitUntilRunning(box.LockPath())) << k.Stderr();
    ASSERT_TRUE(WaitForPort(tlsPort)) << k.Stderr();
    TlsClient c;
    c.ca = pki.Ca();
    c.request = "GET /index.html HTTP/1.0\r\n\r\n";
    TlsResult home = TlsExchange(tlsPort, c);
    ASSERT_TRUE(home.handshake) << k.Stderr();
    EXPECT_EQ(home.response.status, 200);

    // Open at the signal: a stream, a session that sent nothing yet, a half handshake.
    std::atomic<bool> streaming{false}, shaken{false};
    TlsClient watcher = c;
    watcher.request = "GET /stream.mjpg HTTP/1.0\r\n\r\n";
    watcher.enough = [&](const std::string& raw) {
        streaming = raw.find("\r\n\r\n") != std::string::npos;
        return false;
    };
    TlsClient idle = c;
    idle.request.clear();
    idle.afterHandshake = [&] { shaken = true; };
    auto stream = std::async(std::launch::async, TlsExchange, tlsPort, watcher);
    auto quiet = std::async(std::launch::async, TlsExchange, tlsPort, idle);
    int half = ConnectRaw(tlsPort);
    ASSERT_GE(half, 0);
    ::send(half, "\x16\x03\x01", 3, MSG_NOSIGNAL);
    for (int i = 0; i < 500 && !(streaming && shaken); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(streaming && shaken);
    k.Signal(SIGTERM);
    ASSERT_TRUE(k.WaitForExit()) << "no exit with TLS connections open";
    EXPECT_TRUE(k.ExitedNormally());
    EXPECT_EQ(k.ExitStatus(), 0) << k.Stderr();
    EXPECT_EQ(stream.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(quiet.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    ::close(half);
}
