// Behind a proxy and on one address: the listen address, and what a trusted proxy's
// X-Forwarded-* headers change (and what an untrusted peer's do not).

#include "ServerTestSupport.h"

#include "server/ScriptWorker.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

class Proxy : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(h.Root() + "/index.html", "<html>home</html>");
        MakeFolder(h.Root() + "/cgi");
        WriteFile(h.Root() + "/cgi/env.exe", "#!/bin/sh\necho 'Content-type: text/plain'\necho\nenv\n", 0755);
    }
    void TearDown() override { WaitForScriptWorkers(5000); }
    ServerHarness h;
};

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST_F(Proxy, ListenAddressServesThatAddressOnly) {
    h.settings.ListenAddress = "127.0.0.2";
    ASSERT_TRUE(h.Start()) << (h.box.texts.empty() ? "" : h.box.texts[0]);
    EXPECT_EQ(h.Send("GET /index.html HTTP/1.0\r\n\r\n", {.loopbackHost = 2}).status, 200);
    EXPECT_FALSE(h.Send("GET /index.html HTTP/1.0\r\n\r\n").received) << "127.0.0.1 must not answer";
    EXPECT_FALSE(h.Send("GET /index.html HTTP/1.0\r\n\r\n", {.ipv6 = true}).received)
        << "::1 must not answer";
    // IPv6 alone, brackets or not.
    h.server->StopServer();
    h.settings.ListenAddress = "[::1]";
    ASSERT_TRUE(h.Start()) << (h.box.texts.empty() ? "" : h.box.texts[0]);
    EXPECT_EQ(h.Send("GET /index.html HTTP/1.0\r\n\r\n", {.ipv6 = true}).status, 200);
    EXPECT_FALSE(h.Send("GET /index.html HTTP/1.0\r\n\r\n").received);
}

TEST_F(Proxy, ListenAddressThatCannotBeUsedServesNothingAndSaysWhy) {
    struct Row {
        std::string address;
        bool unreadable;
        std::string said;
    };
    const Row rows[] = {
        {"cam.example", false, "is not an IPv4 or IPv6 address"},
        {"127.1", false, "is not an IPv4 or IPv6 address"},
        {"0x7f000001", false, "is not an IPv4 or IPv6 address"},
        {"192.0.2.1", false, "is not an address of this machine"},
        {"", true, "cannot be read"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.address);
        h.settings.ListenAddress = row.address;
        h.settings.ListenAddressUnreadable = row.unreadable;
        EXPECT_FALSE(h.Start());
        EXPECT_FALSE(h.server->IsListening()) << "never every interface instead";
        ASSERT_FALSE(h.box.texts.empty());
        EXPECT_NE(h.box.texts.back().find(row.said), std::string::npos) << h.box.texts.back();
    }
}

TEST_F(Proxy, TrustedProxyNamesTheClientAndTheSiteItServes) {
    h.settings.TrustedProxies = "127.0.0.1";
    h.settings.bAllowListing = 1;
    ASSERT_TRUE(h.Start());
    const std::string forwarded = "X-Forwarded-For: 6.6.6.6\r\nX-Forwarded-For: 198.51.100.7\r\n"
                                  "X-Forwarded-Proto: https\r\nX-Forwarded-Host: cam.example.org:8443\r\n";
    Response env = h.Send("GET /cgi/env.exe?x HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n" + forwarded + "\r\n");
    ASSERT_EQ(env.status, 200);
    EXPECT_TRUE(HasLine(env.body, "REMOTE_ADDR=198.51.100.7")) << env.body;
    EXPECT_TRUE(HasLine(env.body, "SERVER_NAME=cam.example.org")) << env.body;
    EXPECT_TRUE(HasLine(env.body, "SERVER_PORT=8443")) << env.body;
    EXPECT_TRUE(HasLine(env.body, "HTTPS=on")) << env.body;
    // The lines of the chain reach the script as one list.
    EXPECT_TRUE(HasLine(env.body, "HTTP_X_FORWARDED_FOR=6.6.6.6, 198.51.100.7")) << env.body;
    ASSERT_FALSE(h.hits.empty());
    EXPECT_EQ(h.hits.back()->clientAddress, "198.51.100.7");

    // Without a forwarded host, the Host header the proxy passed on gives the port.
    env = h.Send("GET /cgi/env.exe?x HTTP/1.0\r\nHost: cam.example.org\r\nX-Forwarded-Proto: https\r\n\r\n");
    EXPECT_TRUE(HasLine(env.body, "SERVER_PORT=443")) << env.body;
    EXPECT_TRUE(HasLine(env.body, "REMOTE_ADDR=127.0.0.1")) << "no chain: the proxy itself";

    // A listing's heading and the default document's relative redirect.
    MakeFolder(h.Root() + "/sub");
    WriteFile(h.Root() + "/sub/a.txt", "a");
    Response listing = h.Send("GET /sub/ HTTP/1.0\r\n" + forwarded + "\r\n");
    EXPECT_NE(listing.body.find("<h1>https://cam.example.org/sub/</h1>"), std::string::npos) << listing.body;
    Response redirect = h.Send("GET / HTTP/1.0\r\n" + forwarded + "\r\n");
    EXPECT_EQ(redirect.Header("location"), "/index.html");
}

TEST_F(Proxy, ForwardedHeadersFromAnyOtherPeerAreIgnored) {
    h.settings.TrustedProxies = "10.0.0.0/8, ::1";
    ASSERT_TRUE(h.Start());
    Response env = h.Send("GET /cgi/env.exe?x HTTP/1.0\r\nHost: cam.test\r\nX-Forwarded-For: 198.51.100.7\r\n"
                          "X-Forwarded-Proto: https\r\nX-Forwarded-Host: evil.example\r\n\r\n");
    EXPECT_TRUE(HasLine(env.body, "REMOTE_ADDR=127.0.0.1")) << env.body;
    EXPECT_TRUE(HasLine(env.body, "SERVER_NAME=cam.test")) << env.body;
    EXPECT_TRUE(HasLine(env.body, "SERVER_PORT=" + std::to_string(h.Port()))) << env.body;
    EXPECT_FALSE(HasLine(env.body, "HTTPS=on"));
    ASSERT_FALSE(h.hits.empty());
    EXPECT_EQ(h.hits.back()->clientAddress, "127.0.0.1");
    // The redirect never repeats the Host header, trusted or not.
    Response redirect = h.Send("GET / HTTP/1.0\r\nHost: evil.example:99\r\n\r\n");
    EXPECT_EQ(redirect.status, 302);
    EXPECT_EQ(redirect.Header("location"), "/index.html");
}

TEST_F(Proxy, ListThatCannotBeReadTrustsNoOne) {
    for (const bool unreadable : {false, true}) {
        h.settings.TrustedProxies = unreadable ? "" : "127.0.0.1, proxy.lan";
        h.settings.TrustedProxiesUnreadable = unreadable;
        ASSERT_TRUE(h.Start()) << "the site is still served";
        ASSERT_FALSE(h.box.texts.empty());
        EXPECT_NE(h.box.texts.back().find("no proxy is trusted"), std::string::npos) << h.box.texts.back();
        h.Send("GET /index.html HTTP/1.0\r\nX-Forwarded-For: 198.51.100.7\r\n\r\n");
        ASSERT_FALSE(h.hits.empty());
        EXPECT_EQ(h.hits.back()->clientAddress, "127.0.0.1");
        h.server->StopServer();
    }
}

} // namespace
