// The server on a real loopback socket against a temporary web root.

#include "ServerTestSupport.h"

#include "server/DirectoryListing.h"
#include "server/Escaping.h"
#include "server/HttpSyntax.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

class Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(h.Start()) << (h.box.texts.empty() ? "" : h.box.texts[0]);
        root = h.Root();
        WriteFile(root + "/index.html", "<html>home</html>");
        WriteFile(root + "/pass.jpg", "PASSPICTURE");
    }
    ServerHarness h;
    std::string root;
};

TEST_F(Loopback, StaticFileHasTypeLengthAndModificationTime) {
    std::string bytes(1500, 'x');
    bytes[0] = '\0';
    WriteFile(root + "/data.html", bytes);
    struct utimbuf times {
        784111777, 784111777
    };
    ::utime((root + "/data.html").c_str(), &times);
    Response r = h.Get("/data.html");
    EXPECT_EQ(r.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(r.Header("server"), "Velmora-Kestrel/1.0");
    EXPECT_TRUE(ParseHttpDate(r.Header("date")).has_value());
    EXPECT_EQ(r.Header("content-type"), "text/html");
    EXPECT_EQ(r.Header("content-length"), "1500");
    EXPECT_EQ(r.Header("last-modified"), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(r.body, bytes);
    // No type known for the extension: no Content-type header at all.
    WriteFile(root + "/blob.unknownext", "abc");
    r = h.Get("/blob.unknownext");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers.count("content-type"), 0u);
    EXPECT_EQ(r.body, "abc");
}

TEST_F(Loopback, FileLargerThanTheSocketBuffersArrivesWholeAndCounted) {
    // Many file pieces, some of them sent in parts while the client catches up.
    std::string bytes(16 * 1024 * 1024 + 123, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 131 % 251);
    WriteFile(root + "/large.bin", bytes);
    Response r = h.Get("/large.bin");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.Header("content-length"), std::to_string(bytes.size()));
    EXPECT_EQ(r.body.size(), bytes.size());
    EXPECT_TRUE(r.body == bytes) << "the body differs from the file";
    ASSERT_EQ(h.hits.size(), 1u);
    EXPECT_TRUE(PumpUntil([&] { return h.hits[0]->done; }));
    EXPECT_EQ(h.hits[0]->bytesSent, static_cast<long long>(r.raw.size()));
}

TEST_F(Loopback, FailureStatuses) {
    MakeFolder(root + "/sub");
    MakeFolder(root + "/.git");
    WriteFile(root + "/.git/config", "secret");
    WriteFile(root + "/.git/index.html", "secret");
    WriteFile(root + "/.htpasswd", "secret");
    WriteFile(root + "/page.html", "p");
    ::mkfifo((root + "/pipe.html").c_str(), 0644);
    struct Row {
        std::string request;
        int status;
    } rows[] = {
        {"GET /../etc/passwd HTTP/1.0\r\n\r\n", 400},
        {"GET /page.html?x=1 HTTP/1.0\r\n\r\n", 400},
        {"GET /bad%zz HTTP/1.0\r\n\r\n", 400},
        {"GET /bad% HTTP/1.0\r\n\r\n", 400},
        {"GET /a%0d%0a200%20forged HTTP/1.0\r\n\r\n", 400},
        {"POST /x.exe HTTP/1.0\r\nContent-Length: -5\r\n\r\n", 400},
        {"POST /x.exe HTTP/1.0\r\nContent-Length: 16777217\r\n\r\n", 400},
        {"POST /x.exe HTTP/1.0\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
        {"GET /page.html HTTP/1.0\r\nX: 1\r\n folded\r\n\r\n", 400},
        // Too many header lines are answered at once, before the head ends.
        {"GET /page.html HTTP/1.0\r\n" +
             [] {
                 std::string lines;
                 for (int n = 0; n <= 100; ++n)
                     lines += "H" + std::to_string(n) + ": v\r\n";
                 return lines;
             }(),
         400},
        {"GET /.htpasswd HTTP/1.0\r\n\r\n", 403},
        {"GET /.git/config HTTP/1.0\r\n\r\n", 403},
        {"GET /.git/ HTTP/1.0\r\n\r\n", 403}, // not redirected to its default document
        {"GET /sub/ HTTP/1.0\r\n\r\n", 403},  // listing off
        {"GET /missing.html HTTP/1.0\r\n\r\n", 404},
        {"GET /sub/missing/deeper HTTP/1.0\r\n\r\n", 404},
        {"GET /pipe.html HTTP/1.0\r\n\r\n", 503},
        {"PUT /page.html HTTP/1.0\r\n\r\n", 501},
        {"GET /page.html HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello", 501},
        {"POST /page.html HTTP/1.0\r\n\r\n", 501},
        {"\r\n\r\n", 501},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request);
        Response r = h.Send(row.request);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.statusLine, "HTTP/1.0 " + StatusLine(row.status));
        EXPECT_FALSE(r.Header("date").empty());
        EXPECT_EQ(r.body, "");
        EXPECT_EQ(r.headers.count("content-length"), 0u);
    }
    // The hit log never sees a control byte from a path.
    for (auto& hit : h.hits)
        for (char c : hit->url)
            EXPECT_GE(static_cast<unsigned char>(c), 0x20u);
}

TEST_F(Loopback, OverlongHeadIsRefusedAndTheAnswerArrives) {
    // One endless line: the answer must not be lost to a reset although unread bytes remain.
    std::string request = "GET /" + std::string(70 * 1024, 'a');
    Response r = h.Send(request);
    EXPECT_EQ(r.status, 400);
}

TEST_F(Loopback, RequestLineWithoutVersionAndPiecewiseArrival) {
    Response r = h.Send("GET /index.html\r\nUser-Agent: x\r\n\r\n");
    EXPECT_EQ(r.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(r.body, "<html>home</html>");
    r = h.Send("GET    /index.html    HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.status, 200);
    r = h.Send("GET /index.html HTTP/1.0\r\nHost: a\r\n\r\n", {false, 1, 1});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "<html>home</html>");
    r = h.Send("GET /a%41.html HTTP/1.0\n\n"); // bare line feeds
    EXPECT_EQ(r.status, 404);
    WriteFile(root + "/aA.html", "decoded");
    r = h.Send("GET /a%41.html HTTP/1.0\n\n");
    EXPECT_EQ(r.body, "decoded");
}

TEST_F(Loopback, RedirectToDefaultDocumentIsRelative) {
    // Whatever the server's name, port or the Host header say, the reference is the path
    // alone: a forged Host never comes back, and it holds behind a proxy and over HTTPS.
    const std::pair<std::string, std::string> rows[] = {
        {"cam.example", "Host: other\r\n"},
        {"", "Host: evil.example:99\r\n"},
        {"", "Host: evil/\"x\r\n"},
        {"", ""},
    };
    for (const auto& [server, host] : rows) {
        SCOPED_TRACE(server + " " + host);
        h.settings.strServer = server;
        Response r = h.Send("GET / HTTP/1.0\r\n" + host + "\r\n");
        EXPECT_EQ(r.statusLine, "HTTP/1.0 302 Redirection");
        EXPECT_EQ(r.Header("location"), "/index.html");
    }
    h.settings.strServer = "";
    // A folder without slash, with "default.htm" ahead of "index.html".
    MakeFolder(root + "/sub");
    WriteFile(root + "/sub/index.html", "i");
    WriteFile(root + "/sub/default.htm", "d");
    EXPECT_EQ(h.Get("/sub", "Host: c\r\n").Header("location"), "/sub/default.htm");
    EXPECT_EQ(h.Send("GET / HTTP/1.0\r\n\r\n", {true}).Header("location"), "/index.html");
}

TEST_F(Loopback, ConditionalRequests) {
    WriteFile(root + "/c.txt", "content");
    struct utimbuf times {
        784111777, 784111777
    };
    ::utime((root + "/c.txt").c_str(), &times);
    Response r = h.Get("/c.txt", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n");
    EXPECT_EQ(r.statusLine, "HTTP/1.0 304 Not Modified");
    EXPECT_EQ(r.headers.count("content-length"), 0u);
    EXPECT_EQ(r.body, "");
    r = h.Get("/c.txt", "If-Modified-Since: Sunday, 06-Nov-94 08:49:37 GMT\r\n");
    EXPECT_EQ(r.status, 304);
    r = h.Get("/c.txt", "If-Modified-Since: Sun, 06 Nov 1994 08:49:36 GMT\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "content");
    r = h.Get("/c.txt", "If-Modified-Since: garbage\r\n");
    EXPECT_EQ(r.status, 200);
    r = h.Get("/c.txt", "If-Modified-Since: Sun,\r\n");
    EXPECT_EQ(r.status, 200);
}

TEST_F(Loopback, FolderListing) {
    h.settings.bAllowListing = 1;
    ::unlink((root + "/index.html").c_str());
    MakeFolder(root + "/sub/inner");
    MakeFolder(root + "/sub/<b>");
    MakeFolder(root + "/sub/.hiddenfolder");
    WriteFile(root + "/sub/small.txt", std::string(1023, 's'));
    WriteFile(root + "/sub/Big.bin", std::string(1024, 'b'));
    WriteFile(root + "/sub/with blank.txt", "w");
    WriteFile(root + "/sub/.hidden", "h");

    Response slash = h.Get("/sub/", "Host: cam.test:8080\r\n");
    Response noSlash = h.Get("/sub", "Host: cam.test:8080\r\n");
    EXPECT_EQ(slash.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(slash.headers.count("content-length"), 0u);
    const std::string& b = slash.body;
    EXPECT_EQ(b.find("<html><h1>http://cam.test/sub/</h1><p>\n"), 0u) << b;
    EXPECT_EQ(b.find("ようこそ"), std::string::npos);
    EXPECT_NE(b.find("<pre> Last Modified       Size Name\n<hr>\n"), std::string::npos);
    EXPECT_NE(b.find("     &lt; 1K <a href=\"/sub/small.txt\">small.txt</a>\n"), std::string::npos);
    EXPECT_NE(b.find("       1K <a href=\"/sub/Big.bin\">Big.bin</a>\n"), std::string::npos);
    EXPECT_NE(b.find("   Folder <a href=\"/sub/inner\">inner</a>\n"), std::string::npos);
    EXPECT_NE(b.find("<a href=\"/sub/with%20blank.txt\">with blank.txt</a>"), std::string::npos);
    EXPECT_NE(b.find("<a href=\"/sub/%3Cb%3E\">&lt;b&gt;</a>"), std::string::npos);
    EXPECT_EQ(b.find("<b>"), std::string::npos);
    EXPECT_EQ(b.find("hidden"), std::string::npos);
    EXPECT_NE(b.find("</pre>\n<hr><h3><a href=\".\"> Parent Folder</a></h3>\n<hr><em>Kestrel Server!</em>\n"),
              std::string::npos);
    // Sorted by name ignoring case: <b>, Big.bin, inner, small.txt, with blank.txt.
    EXPECT_LT(b.find("&lt;b&gt;</a>"), b.find("Big.bin</a>"));
    EXPECT_LT(b.find("Big.bin</a>"), b.find("inner</a>"));
    EXPECT_LT(b.find("inner</a>"), b.find("small.txt</a>"));
    // /sub and /sub/ link alike (only the heading differs).
    auto rows = [](const std::string& body) { return body.substr(body.find("<pre>")); };
    EXPECT_EQ(rows(noSlash.body), rows(b));
    // The row date is the local time of the entry.
    struct stat st {};
    ::stat((root + "/sub/small.txt").c_str(), &st);
    EXPECT_NE(b.find(" " + ListingDate(st.st_mtime) + "      &lt; 1K"), std::string::npos);

    Response top = h.Get("/", "Host: cam.test\r\n");
    EXPECT_NE(top.body.find("Kestrelサーバーへようこそ！！<p>\n"), std::string::npos);
    EXPECT_EQ(top.body.find("Parent Folder"), std::string::npos);

    Response empty = h.Get("/sub/inner/");
    EXPECT_NE(empty.body.find("<strong>empty</strong>\n"), std::string::npos);
    EXPECT_EQ(h.Get("/sub/.hiddenfolder/").status, 403);

    h.settings.bListIcon = 1;
    Response icons = h.Get("/sub/");
    EXPECT_NE(icons.body.find("Size <img src=\"/SvrAdmin/Blank.gif\""), std::string::npos);
    EXPECT_NE(
        icons.body.find("<img src=\"/SvrAdmin/Folder.gif\" align=bottom alt=\"     \" border=0 width=20 "
                        "height=22>inner</a>"),
        std::string::npos);
    EXPECT_NE(icons.body.find("/SvrAdmin/Prev.gif"), std::string::npos);
}

TEST_F(Loopback, LinksAndRedirectsReachNamesWithUrlCharacters) {
    h.settings.bAllowListing = 1;
    MakeFolder(root + "/odd");
    const std::string names[] = {"100%.txt", "q?x.txt", "#h.txt", "a&b <c>.txt", "line\nbreak.txt"};
    for (const std::string& name : names)
        WriteFile(root + "/odd/" + name, "content of " + name);
    Response listing = h.Get("/odd/");
    ASSERT_EQ(listing.status, 200);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        // The row shows the name as text and links to a path that fetches that very file.
        EXPECT_NE(listing.body.find(">" + HtmlEscape(name) + "</a>"), std::string::npos);
        auto at = listing.body.find("\">" + HtmlEscape(name) + "</a>");
        ASSERT_NE(at, std::string::npos);
        auto start = listing.body.rfind("href=\"", at) + 6;
        std::string href = listing.body.substr(start, at - start);
        EXPECT_EQ(href.find_first_of("?#\n <>\""), std::string::npos) << href;
        if (name.find('\n') != std::string::npos)
            continue; // linked intact, but paths with control bytes are refused on request
        Response file = h.Get(href);
        EXPECT_EQ(file.status, 200) << href;
        EXPECT_EQ(file.body, "content of " + name);
    }
    EXPECT_NE(listing.body.find("href=\"/odd/line%0Abreak.txt\""), std::string::npos);
    EXPECT_NE(listing.body.find("<a href=\"/odd/100%25.txt\">100%.txt</a>"), std::string::npos);
    // A folder's redirect to its default document, by the same rule.
    MakeFolder(root + "/a b%#");
    WriteFile(root + "/a b%#/index.html", "inside");
    Response r = h.Get("/a%20b%25%23", "Host: c\r\n");
    EXPECT_EQ(r.status, 302);
    EXPECT_EQ(r.Header("location"), "/a%20b%25%23/index.html");
    EXPECT_EQ(h.Get("/a%20b%25%23/index.html").body, "inside");
}

TEST_F(Loopback, HeadReportsWithoutBody) {
    Response r = h.Send("HEAD /index.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.Header("content-length"), "17");
    EXPECT_EQ(r.body, "");
    r = h.Send("head /index.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "");
}

TEST_F(Loopback, ClientAddressesAreDottedAndRecorded) {
    h.Get("/index.html");
    h.Send("GET /index.html HTTP/1.0\r\n\r\n", {true});
    ASSERT_EQ(h.hits.size(), 2u);
    EXPECT_EQ(h.hits[0]->clientAddress, "127.0.0.1");
    EXPECT_EQ(h.hits[1]->clientAddress, "::1");
    EXPECT_EQ(h.hits[0]->status, 200u);
    EXPECT_TRUE(PumpUntil([&] { return h.hits[0]->done && h.hits[1]->done; }));
    EXPECT_GT(h.hits[0]->bytesSent, 17);
}

TEST_F(Loopback, ConnectionThatEndsEarlyIsNeverRecorded) {
    ClientOptions closing;
    closing.closeAfterSend = true;
    // No empty line, then the client closes.
    Response r = h.Send("GET /index.html HTTP/1.0\r\nHost: x\r\n", closing);
    EXPECT_FALSE(r.received);
    EXPECT_TRUE(h.hits.empty());
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 0; }));
}

TEST_F(Loopback, DataAfterTheRequestNeverGetsASecondAnswer) {
    Response r = h.Send("GET /index.html HTTP/1.0\r\n\r\nGET /index.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "<html>home</html>");
    EXPECT_EQ(h.hits.size(), 1u);
}

TEST_F(Loopback, PortInUseThenStopAndStart) {
    RecordingMessageBox box;
    CServerSettings other;
    other.uPort = h.Port();
    CWebServer second(other, box, {});
    EXPECT_FALSE(second.StartServer());
    EXPECT_FALSE(second.IsListening());
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_EQ(box.texts[0], PortInUseMessage(h.Port()));
    EXPECT_NE(box.texts[0].find("ポート " + std::to_string(h.Port()) + " はすでに使用されています!"),
              std::string::npos);
    EXPECT_NE(other.timeStarted, 0);

    other.uPort = 70000;
    EXPECT_FALSE(second.StartServer());
    EXPECT_EQ(box.texts.back(), PortNotOpenMessage(70000));

    // Stop frees the port; start takes it again and serves.
    h.server->StopServer();
    EXPECT_FALSE(h.server->IsListening());
    EXPECT_FALSE(h.Get("/index.html").received);
    EXPECT_TRUE(h.server->StartServer());
    EXPECT_EQ(h.Get("/index.html").status, 200);
    // Starting while listening replaces the endpoint.
    EXPECT_TRUE(h.server->StartServer());
    EXPECT_EQ(h.Get("/index.html").status, 200);
}

TEST_F(Loopback, ManyOpenConnectionsDoNotStopTheServer) {
    h.settings.MaxConnPerAddress = 0; // all from one address here
    struct rlimit rl {};
    ::getrlimit(RLIMIT_NOFILE, &rl);
    const int count = rl.rlim_cur >= 2300 ? 1000 : 200;
    std::vector<int> idle;
    for (int i = 0; i < count; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(h.Port()));
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        idle.push_back(fd);
        if (i % 50 == 0)
            Pump(1);
    }
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() >= static_cast<std::size_t>(count); }));
    Response r = h.Get("/index.html");
    EXPECT_EQ(r.status, 200);
    for (int fd : idle)
        ::close(fd);
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 0; }));
}

} // namespace

namespace {

int ConnectLoopback(unsigned port) {
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

class Stalls : public Loopback {
protected:
    void SetUp() override {
        Loopback::SetUp();
        ServerTimeouts t;
        t.request = std::chrono::milliseconds(300);
        t.send = std::chrono::milliseconds(300);
        t.drain = std::chrono::milliseconds(300);
        t.sweep = std::chrono::milliseconds(50);
        h.server->SetTimeouts(t);
    }
};

TEST_F(Stalls, SilentClientIsClosedWithoutAnAnswer) {
    int fd = ConnectLoopback(h.Port());
    ASSERT_GE(fd, 0);
    std::string partial = "GET /index.html HTTP/1.0\r\n";
    ASSERT_GT(::send(fd, partial.data(), partial.size(), MSG_NOSIGNAL), 0);
    ASSERT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 1; }, 3000));
    Pump(100);
    EXPECT_EQ(h.server->ConnectionCount(), 1u); // still waiting within the limit
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 0; }, 3000));
    char c;
    EXPECT_LE(::recv(fd, &c, 1, MSG_DONTWAIT), 0); // closed, nothing was sent
    ::close(fd);
    EXPECT_TRUE(h.hits.empty());
}

TEST_F(Stalls, ManySilentClientsAreSweptAndDeletedTogether) {
    h.settings.MaxConnPerAddress = 0; // all from one address here
    std::vector<int> clients;
    for (int i = 0; i < 64; ++i) {
        int fd = ConnectLoopback(h.Port());
        ASSERT_GE(fd, 0);
        if (i % 2) { // half of them with a head that never ends
            ASSERT_GT(::send(fd, "GET / HTTP/1.0\r\n", 16, MSG_NOSIGNAL), 0);
        }
        clients.push_back(fd);
    }
    ASSERT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == clients.size(); }, 5000));
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 0; }, 5000));
    // Gone, not merely let go of: nothing is kept once the sweep is over.
    EXPECT_EQ(h.server->DiscardedCount(), 0u);
    for (int fd : clients) {
        char c;
        EXPECT_EQ(::recv(fd, &c, 1, 0), 0) << "closed without an answer";
        ::close(fd);
    }
    EXPECT_TRUE(h.hits.empty());
    EXPECT_EQ(h.Get("/index.html").status, 200);
}

TEST_F(Stalls, ClientThatTakesNothingIsDropped) {
    WriteFile(root + "/big.bin", std::string(32 * 1024 * 1024, 'b'));
    int fd = ConnectLoopback(h.Port());
    ASSERT_GE(fd, 0);
    int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string request = "GET /big.bin HTTP/1.0\r\n\r\n";
    ASSERT_GT(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), 0);
    EXPECT_TRUE(PumpUntil([&] { return !h.hits.empty(); }, 3000));
    EXPECT_TRUE(PumpUntil([&] { return h.server->ConnectionCount() == 0; }, 5000));
    ASSERT_EQ(h.hits.size(), 1u);
    EXPECT_TRUE(h.hits[0]->done);
    EXPECT_LT(h.hits[0]->bytesSent, 32 * 1024 * 1024);
    ::close(fd);
    // The server goes on answering.
    EXPECT_EQ(h.Get("/index.html").status, 200);
}

} // namespace

namespace {

TEST_F(Loopback, OutOfDescriptorsPausesAcceptingAndRecovers) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own memory checks open descriptors, which this test takes away.
    GTEST_SKIP() << "not meaningful under the sanitizers";
#endif
    int fd = ConnectLoopback(h.Port());
    ASSERT_GE(fd, 0);
    std::string request = "GET /index.html HTTP/1.0\r\n\r\n";
    ASSERT_GT(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), 0);
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    struct rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree); // no new descriptor can be made
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    Pump(300);
    std::size_t whileTight = h.server->ConnectionCount();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(whileTight, 0u);
    std::string raw;
    EXPECT_TRUE(PumpUntil([&] {
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
            raw.append(buf, static_cast<std::size_t>(n));
        return n == 0;
    }));
    ::close(fd);
    EXPECT_EQ(ParseResponse(raw).status, 200);
}

} // namespace

namespace {

TEST_F(Loopback, SettingsFileAndItsCompanionsAreNeverServedWhateverTheName) {
    // A web root that is the settings folder: the file, its copies and the hit logs beside it.
    const std::string settings = root + "/Kestrels.reg";
    MakeFolder(root + "/sub");
    for (const char* name : {"/Kestrels.reg", "/Kestrels.reg.bad", "/Kestrels.reg.lock", "/ Log 20261231.hsl",
                             "/sub/ Log 20261231.hsl", "/other.txt"})
        WriteFile(root + name, "PicPass=secret");
    ASSERT_EQ(::symlink(settings.c_str(), (root + "/link.txt").c_str()), 0);
    ASSERT_EQ(::link(settings.c_str(), (root + "/hard.txt").c_str()), 0);
    ASSERT_EQ(::symlink((root + "/ Log 20261231.hsl").c_str(), (root + "/sub/log.txt").c_str()), 0);
    h.server->SetPrivateFiles(PrivateFiles{{settings, settings + ".bad", settings + ".lock"}, root});
    struct Row {
        const char* path;
        int status;
    } rows[] = {
        {"/Kestrels.reg", 404},
        {"//Kestrels.reg", 404},
        {"/./Kestrels%2ereg", 404},
        {"/Kestrels.reg/x", 404},
        {"/Kestrels.reg.bad", 404},
        {"/Kestrels.reg.lock", 404},
        {"/link.txt", 404},
        {"/hard.txt", 404},
        {"/%20Log%2020261231.hsl", 404},
        {"/sub/log.txt", 404},
        {"/sub/%20Log%2020261231.hsl", 200}, // not beside the settings file
        {"/other.txt", 200},
    };
    for (const char* password : {"", "pw"}) {
        h.password = password;
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(password) + " " + row.path);
            Response r = h.Get(row.path);
            EXPECT_EQ(r.status, row.status);
            EXPECT_EQ(r.body.find("secret") != std::string::npos, row.status == 200);
        }
    }
    // A save replaces the file by a new one: the new one is just as private.
    WriteFile(root + "/new.reg", "PicPass=secret2");
    ASSERT_EQ(::rename((root + "/new.reg").c_str(), settings.c_str()), 0);
    EXPECT_EQ(h.Get("/Kestrels.reg").status, 404);
    // So is a hit log begun after the server last looked.
    WriteFile(root + "/ Log 20270101.hsl", "PicPass=secret3");
    EXPECT_EQ(h.Get("/%20Log%2020270101.hsl").status, 404);
}

} // namespace
