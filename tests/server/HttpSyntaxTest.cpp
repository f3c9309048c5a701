#include "server/HttpSyntax.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

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

TEST(ContentLength, Forms) {
    struct Row {
        const char* in;
        long long value;
    } rows[] = {
        {"5", 5},
        {"  12", 12},
        {"12 \t", 12},
        {"007", 7},
        {"+7", -1},
        {"-3", -1},
        {"abc", -1},
        {"12abc", -1},
        {"5, 3", -1},
        {"5 3", -1},
        {"5\v", -1},
        {"", -1},
        {"  ", -1},
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
