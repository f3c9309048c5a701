#include "server/HttpParse.h"
#include "server/MediaTypes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace kestrel;

TEST(RequestLine, Forms) {
    struct Row {
        const char* line;
        bool ok;
        const char* method;
        const char* url;
        const char* version;
    } rows[] = {
        {"GET /index.html HTTP/1.0", true, "GET", "/index.html", "HTTP/1.0"},
        {"GET /index.html", true, "GET", "/index.html", ""},
        {"GET    /a.html    HTTP/1.0", true, "GET", "/a.html", "HTTP/1.0"},
        {"GET /a.html\t", true, "GET", "/a.html", ""},
        {"GET /a b HTTP/1.0", true, "GET", "/a", "b HTTP/1.0"},
        {"GET", false, "", "", ""},
        {"", false, "", "", ""},
        {"get /x HTTP/1.1", true, "get", "/x", "HTTP/1.1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        RequestLine r = SplitRequestLine(row.line);
        EXPECT_EQ(r.ok, row.ok);
        EXPECT_EQ(r.method, row.method);
        EXPECT_EQ(r.url, row.url);
        EXPECT_EQ(r.version, row.version);
    }
}

TEST(HeaderLine, NameLowerCasedValueLeftTrimmed) {
    std::string name, value;
    ASSERT_TRUE(ParseHeaderLine("Content-Length:   42", name, value));
    EXPECT_EQ(name, "content-length");
    EXPECT_EQ(value, "42");
    ASSERT_TRUE(ParseHeaderLine("Host: a:8080", name, value));
    EXPECT_EQ(name, "host");
    EXPECT_EQ(value, "a:8080"); // only the first colon splits
    ASSERT_TRUE(ParseHeaderLine("X-Name :v ", name, value));
    EXPECT_EQ(name, "x-name "); // the name is not trimmed
    EXPECT_EQ(value, "v ");
    EXPECT_FALSE(ParseHeaderLine("no colon here", name, value));
}

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

TEST(ContentLength, Forms) {
    struct Row {
        const char* in;
        long long value;
    } rows[] = {
        {"5", 5},
        {"  12", 12},
        {"+7", 7},
        {"-3", -3},
        {"abc", 0},
        {"12abc", 12},
        {"", 0},
        {"0", 0},
        {"16777216", 16777216},
        {"99999999999999999999999", LLONG_MAX},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(ParseContentLength(row.in), row.value);
    }
}

TEST(HttpDate, ThreeFormsAndFailures) {
    const std::time_t t1994 = 784111777; // Sun, 06 Nov 1994 08:49:37 GMT
    struct Row {
        const char* text;
        bool ok;
        std::time_t value;
    } rows[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", true, t1994},
        {"Sunday, 06-Nov-94 08:49:37 GMT", true, t1994},
        {"Sun Nov  6 08:49:37 1994", true, t1994},
        {"sun, 06 NOV 1994 08:49:37 GMT", true, t1994},
        {"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
        {"Saturday, 01-Jan-50 00:00:00 GMT", true, 2524608000}, // 50 -> 2050
        {"Sunday, 01-Jan-51 00:00:00 GMT", true, -599616000},   // 51 -> 1951
        {"Sun, 06 Xyz 1994 08:49:37 GMT", true, 789382177},     // month 13 -> January 1995
        {"Sun, 06 Nov 0000 08:49:37 GMT", false, 0},            // year 0
        {"Sun, 06 Nov 1994 08:61:37 GMT", false, 0},            // minute out of range
        {"Sun, 06 Nov 1994", false, 0},                         // short
        {"Sun,", false, 0},
        {"Sun", false, 0},
        {"", false, 0},
        {"Sunday 06-Nov-94", false, 0}, // no ", "
        {"Sunday, 06-Nov", false, 0},
        {"Sun, ab Nov 1994 08:49:37 GMT", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        auto t = ParseHttpDate(row.text);
        EXPECT_EQ(t.has_value(), row.ok);
        if (row.ok && t) {
            EXPECT_EQ(*t, row.value);
        }
    }
    EXPECT_EQ(FormatHttpDate(t1994), "Sun, 06 Nov 1994 08:49:37 GMT");
    // A formatted date reads back to the same second.
    for (std::time_t t : {std::time_t(0), std::time_t(951782400), std::time_t(1796608799)})
        EXPECT_EQ(ParseHttpDate(FormatHttpDate(t)).value_or(-1), t);
}

TEST(HttpDate, EnglishNamesInAnyLocale) {
    const char* old = std::getenv("LC_ALL");
    ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
    std::setlocale(LC_ALL, "");
    EXPECT_EQ(FormatHttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    std::setlocale(LC_ALL, "C");
    if (old)
        ::setenv("LC_ALL", old, 1);
    else
        ::unsetenv("LC_ALL");
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

TEST(Listing, SizeTextsAndEscaping) {
    EXPECT_EQ(ListingSizeText(true, 0), "  Folder");
    EXPECT_EQ(ListingSizeText(false, 1023), "    &lt; 1K");
    EXPECT_EQ(ListingSizeText(false, 1024), "      1K");
    EXPECT_EQ(ListingSizeText(false, 2047), "      1K");
    EXPECT_EQ(ListingSizeText(false, 4ULL << 30), "   &gt; 4GB");
    EXPECT_EQ(ListingSizeText(false, (4ULL << 30) - 1), "4194303K");
    EXPECT_EQ(HtmlEscape("<b>&\"x\""), "&lt;b&gt;&amp;&quot;x&quot;");
}

TEST(Listing, PathsArePercentEncodedBySegment) {
    struct Row {
        std::string path, encoded;
    } rows[] = {
        {"/sub/100%.txt", "/sub/100%25.txt"},
        {"/q?x.txt", "/q%3Fx.txt"},
        {"/#h.txt", "/%23h.txt"},
        {"/with blank/a+b&c", "/with%20blank/a%2Bb%26c"},
        {"/line\nbreak\"<>", "/line%0Abreak%22%3C%3E"},
        {"/A-z_0.9~/", "/A-z_0.9~/"},
        {"/\xE3\x81\x82", "/%E3%81%82"}, // UTF-8 bytes one by one
        {"/back\\slash", "/back%5Cslash"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(PercentEncodePath(row.path), row.encoded) << row.path;
}

TEST(ScriptEnvironmentTest, SortedCaseInsensitivelyWithByteTotal) {
    ScriptEnvironment env;
    env.Add("SERVER_SOFTWARE", "k");
    env.Add("REQUEST_METHOD", "GET");
    env.Add("HTTP_ACCEPT", "*/*");
    env.Add("http_a", "1");
    env.Add("QUERY_STRING", "");
    std::vector<std::string> expected = {"http_a=1", "HTTP_ACCEPT=*/*", "QUERY_STRING=", "REQUEST_METHOD=GET",
                                         "SERVER_SOFTWARE=k"};
    EXPECT_EQ(env.Entries(), expected);
    std::size_t total = 2;
    for (auto& e : expected)
        total += e.size() + 1;
    EXPECT_EQ(env.ByteTotal(), total);
}

TEST(ScriptEnvironmentTest, HeaderVariables) {
    EXPECT_EQ(ScriptHeaderVariable("user-agent"), "HTTP_USER_AGENT");
    EXPECT_EQ(ScriptHeaderVariable(" x-a "), "HTTP_X_A");
    EXPECT_EQ(ScriptHeaderVariable("proxy"), "");
    EXPECT_EQ(ScriptHeaderVariable("a=b"), "");
    EXPECT_EQ(ScriptHeaderVariable(std::string("a\0b", 3)), "");
    EXPECT_EQ(ScriptHeaderVariable("   "), "");
}

TEST(ScriptArgumentsTest, QueryDecodedAndSplitAtBlanks) {
    EXPECT_EQ(ScriptArguments(""), std::vector<std::string>{});
    EXPECT_EQ(ScriptArguments("a+b%20c"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(ScriptArguments("x=1&y=2"), (std::vector<std::string>{"x=1&y=2"}));
    EXPECT_EQ(ScriptArguments("++a++"), (std::vector<std::string>{"a"}));
}

TEST(ScriptHeadTest, Forms) {
    ScriptHead h = ParseScriptHead("Status: 404 Not Found\r\nContent-type: text/plain\r\n\r\nbody");
    EXPECT_TRUE(h.complete);
    EXPECT_EQ(h.status, "404 Not Found");
    EXPECT_EQ(h.headers, "Content-type: text/plain\r\n");
    EXPECT_EQ(h.bodyOffset, std::string("Status: 404 Not Found\r\nContent-type: text/plain\r\n\r\n").size());

    h = ParseScriptHead("Location: http://x/\n\n");
    EXPECT_EQ(h.status, "302 Redirection");
    EXPECT_EQ(h.headers, "Location: http://x/\r\n");

    h = ParseScriptHead("status:  500 Oops \nLocation: /a\nStatus: 201 Made\nno colon line\n\nrest");
    EXPECT_EQ(h.status, "201 Made"); // the last one wins
    EXPECT_EQ(h.headers, "Location: /a\r\nno colon line\r\n");

    h = ParseScriptHead("A: 1\nB: 2");
    EXPECT_FALSE(h.complete);
    EXPECT_EQ(h.headers, "A: 1\r\nB: 2\r\n");
    EXPECT_TRUE(h.status.empty());
}

TEST(HitLogFormat, LinesAndHeader) {
    ::setenv("TZ", "UTC", 1);
    tzset();
    const std::time_t t = 1798761599; // Thu, 31 Dec 2026 23:59:59 UTC
    EXPECT_EQ(HitLogFileName(t), " Log 20261231.hsl");
    EXPECT_EQ(HitLogHeader(t), "Hit Log for Thursday, December 31, 2026\r\n\r\n");
    EXPECT_EQ(HitLogLine(200, "10.0.0.1", t, "/frame.jpg", ""),
              " 200  \t10.0.0.1\t12/31/26 23:59:59\t/frame.jpg\t10.0.0.1 ");
    EXPECT_EQ(HitLogLine(0, "::1", t, "/cgi/x.exe", "a=1"),
              " 000  \t::1\t12/31/26 23:59:59\t/cgi/x.exe\t::1 ? a=1");
    // Control bytes from the request line keep the line and its fields whole.
    EXPECT_EQ(HitLogLine(400, "::1", t, "/a\tb", "x=\x1B[31m\ty\x7F\r\n%41"),
              " 400  \t::1\t12/31/26 23:59:59\t/a%09b\t::1 ? x=%1B[31m%09y%7F%0D%0A%41");
}

TEST(Uptime, Formats) {
    EXPECT_EQ(FormatUptime(false, 99999), " 00h 00m");
    EXPECT_EQ(FormatUptime(true, 0), " 00h 00m");
    EXPECT_EQ(FormatUptime(true, 3600 + 5 * 60 + 59), " 01h 05m");
    EXPECT_EQ(FormatUptime(true, 86399), " 23h 59m");
    EXPECT_EQ(FormatUptime(true, 26 * 3600), " 1d 02h 00m");
    EXPECT_EQ(FormatUptime(true, 12 * 86400 + 61), " 12d 00h 01m");
    EXPECT_EQ(FormatUptime(true, -5), " 00h 00m"); // clock set back
}

TEST(MediaTypesTest, FileAndBuiltInTable) {
    std::string file = ::testing::TempDir() + "/kestrel-mime.types";
    {
        std::ofstream out(file);
        out << "# comment\nimage/jpeg jpeg jpg jpe\ntext/html html htm\napplication/x-empty\n";
    }
    MediaTypes types(file);
    EXPECT_TRUE(types.FromFile());
    EXPECT_EQ(types.ForPath("/a/b.JPG"), "image/jpeg");
    EXPECT_EQ(types.ForPath("/a/b.htm"), "text/html");
    EXPECT_EQ(types.ForPath("/a/b.xyz"), "");
    EXPECT_EQ(types.ForPath("/a.d/noext"), "");
    MediaTypes builtIn("/nonexistent/mime.types");
    EXPECT_FALSE(builtIn.FromFile());
    EXPECT_EQ(builtIn.ForPath("/x.gif"), "image/gif");
}
