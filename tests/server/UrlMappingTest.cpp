#include "server/UrlMapping.h"
#include "model/HostChecks.h"

#include <gtest/gtest.h>

using namespace kestrel;

TEST(DecodeUrl, LenientAndStrict) {
    struct Row {
        const char* in;
        bool plus;
        const char* lenient;
        bool strictOk;
        const char* strict;
    } rows[] = {
        {"/a%41.html", false, "/aA.html", true, "/aA.html"},
        {"/a%2Fb", false, "/a/b", true, "/a/b"},
        {"%%41", false, "%41", true, "%41"},
        {"/a+b", false, "/a+b", true, "/a+b"},
        {"a+b%20c", true, "a b c", true, "a+b c"},
        {"/x%e3%81%82", false, "/x\xe3\x81\x82", true, "/x\xe3\x81\x82"},
        {"/bad%zz", false, "/bad\0", false, ""},
        {"/end%4", false, "/end%4", false, ""},
        {"/end%", false, "/end%", false, ""},
        {"/nl%0A", false, "/nl\n", false, ""},
        {"/nul%00", false, std::string("/nul\0", 5).c_str(), false, ""},
        {"/tab\t", false, "/tab\t", false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.in);
        if (std::string(row.in) != "/bad%zz" && std::string(row.in) != "/nul%00") {
            EXPECT_EQ(DecodeUrl(row.in, row.plus), row.lenient);
        }
        std::string out;
        EXPECT_EQ(DecodeUrlStrict(row.in, out), row.strictOk);
        if (row.strictOk) {
            EXPECT_EQ(out, row.strict);
        }
    }
    EXPECT_EQ(DecodeUrl("/nul%00", false), std::string("/nul\0", 5));
    // The scan goes on after an inserted character: "%2541" decodes once, to "%41".
    EXPECT_EQ(DecodeUrl("%2541", false), "%41");
}

TEST(MapUrlToPath, StaysBelowTheRoot) {
    const std::string root = "/srv/web";
    struct Row {
        const char* url;
        bool ok;
        const char* path;
    } rows[] = {
        {"/", true, "/srv/web"},
        {"/index.html", true, "/srv/web/index.html"},
        {"/a/./b/../c", true, "/srv/web/a/c"},
        {"//frame.jpg", true, "/srv/web/frame.jpg"},
        {"/./frame.jpg", true, "/srv/web/frame.jpg"},
        {"/sub/", true, "/srv/web/sub"},
        {"/a/.", true, "/srv/web/a"},
        {"/a/b/..", true, "/srv/web/a"},
        {"/.../x..", true, "/srv/web/.../x.."},
        {"/a/../..", false, ""},
        {"/../x", false, ""},
        {"/..\\..\\etc\\passwd", false, ""},
        {"\\..\\web\\x", true, "/srv/web/x"},
        {"/a\\b", true, "/srv/web/a/b"},
        {"/../web2/x", false, ""},
        {"/../web/x", true, "/srv/web/x"},
        {"x", false, ""}, // "/srv/webx" is not below "/srv/web"
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.url);
        std::string out;
        EXPECT_EQ(MapUrlToPath(root, row.url, out), row.ok);
        if (row.ok) {
            EXPECT_EQ(out, row.path);
        }
    }
    std::string out;
    EXPECT_FALSE(MapUrlToPath(root, "/" + std::string(5000, 'a'), out));
}

TEST(Hidden, AnyComponentBelowRoot) {
    EXPECT_TRUE(IsHiddenBelowRoot("/srv/.web", "/srv/.web/.git/config"));
    EXPECT_FALSE(IsHiddenBelowRoot("/srv/.web", "/srv/.web/a/b.txt")); // the root itself may be a dot folder
    EXPECT_TRUE(IsHiddenBelowRoot("/srv/web", "/srv/web/.htpasswd"));
    EXPECT_TRUE(IsHiddenBelowRoot("/srv/web", "/srv/web/a/.b/c"));
    EXPECT_FALSE(IsHiddenBelowRoot("/srv/web", "/srv/web"));
}

TEST(HostHeader, Validity) {
    struct Row {
        const char* host;
        bool ok;
        const char* noPort;
    } rows[] = {
        {"example.com", true, "example.com"},
        {"example.com:8080", true, "example.com"},
        {"127.0.0.1:80", true, "127.0.0.1"},
        {"[::1]:8080", true, "[::1]"},
        {"[::1]", true, "[::1]"},
        {"my-cam.local", true, "my-cam.local"},
        {"", false, ""},
        {"evil.com/path", false, ""},
        {"a b", false, ""},
        {"host:", false, ""},
        {"host:123456", false, ""},
        {"host:80x", false, ""},
        {"[::1", false, ""},
        {"[zz]", false, ""},
        {"\"><script>", false, ""},
        {":8080", false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.host);
        EXPECT_EQ(IsValidHostHeader(row.host), row.ok);
        if (row.ok) {
            EXPECT_EQ(HostWithoutPort(row.host), row.noPort);
        }
    }
    EXPECT_EQ(BracketIfIpv6("fe80::1"), "[fe80::1]");
    EXPECT_EQ(BracketIfIpv6("[::1]"), "[::1]");
    EXPECT_EQ(BracketIfIpv6("cam.example"), "cam.example");
    EXPECT_EQ(BracketIfIpv6("cam.example:8080"), "cam.example:8080");
    EXPECT_EQ(BracketIfIpv6("203.0.113.5"), "203.0.113.5");
    EXPECT_EQ(BracketIfIpv6("2001:db8::5"), "[2001:db8::5]");
}

TEST(PicturePassword, Rule) {
    struct Row {
        const char* path;
        const char* password;
        const char* result;
        bool passed;
    } rows[] = {
        {"/frame.jpg", "", "/frame.jpg", false},
        {"/frame.jpg?", "", "/frame.jpg", false},
        {"/frame.jpg?&picid=zz", "", "/frame.jpg", false},
        {"/frame.jpg", "pw", "/pass.jpg", false},
        {"/frame.jpg?", "pw", "/pass.jpg", false},
        {"/frame.jpg?x=1", "pw", "/pass.jpg", false},
        {"/frame.jpg?&picid=PW", "pw", "/pass.jpg", false},
        {"/frame.jpg?&picid=pwx", "pw", "/pass.jpg", false},
        {"/frame.jpg?picid=pw", "pw", "/pass.jpg", false},
        {"/frame.jpg?&picid=pw", "pw", "/frame.jpg", true},
        {"/frame.jpg?1234&picid=pw", "pw", "/frame.jpg", true},
        {"/frame.jpgx", "pw", "/pass.jpg", false},
        {"/framei.jpg", "pw", "/framei.jpg", false},
        {"/FRAME.JPG", "pw", "/FRAME.JPG", false},
        {"/index.html?a", "pw", "/index.html?a", false},
        // A form-encoded password matches its decoded form, nothing else is loosened.
        {"/frame.jpg?&picid=my+pass", "my pass", "/frame.jpg", true},
        {"/frame.jpg?&picid=my%20pass", "my pass", "/frame.jpg", true},
        {"/frame.jpg?&picid=%E3%81%82", "\xE3\x81\x82", "/frame.jpg", true},
        {"/frame.jpg?&picid=MY+PASS", "my pass", "/pass.jpg", false},
        {"/frame.jpg?&picid=my+pass+", "my pass", "/pass.jpg", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.path) + " / " + row.password);
        bool passed = true;
        EXPECT_EQ(ApplyPicturePassword(row.path, row.password, &passed), row.result);
        EXPECT_EQ(passed, row.passed);
    }
}
