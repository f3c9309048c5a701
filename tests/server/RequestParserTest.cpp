#include "server/RequestParser.h"
#include "server/HttpSyntax.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct Parsed {
    bool complete;
    unsigned error;
    CRequest request;
    bool picturePassed;
};

Parsed Parse(const std::string& bytes, const std::string& password = "", std::size_t piece = 0) {
    RequestParser parser(password);
    Parsed p{};
    if (piece == 0)
        piece = bytes.size() ? bytes.size() : 1;
    for (std::size_t i = 0; i < bytes.size(); i += piece)
        parser.Feed(bytes.data() + i, std::min(piece, bytes.size() - i), p.request);
    p.complete = parser.Complete();
    p.error = parser.Error();
    p.picturePassed = parser.PicturePassed();
    return p;
}

TEST(RequestParserTest, Table) {
    struct Row {
        std::string bytes;
        bool complete;
        unsigned error;
        const char* method;
        const char* url;
        const char* query;
        int execKind;
        const char* body;
    } rows[] = {
        {"GET / HTTP/1.0\r\n\r\n", true, 0, "GET", "/", "", ExecNone, ""},
        {"GET /a%41.html HTTP/1.0\r\n\r\n", true, 0, "GET", "/aA.html", "", ExecNone, ""},
        {"GET /x.exe?a+b%20c HTTP/1.0\r\n\r\n", true, 0, "GET", "/x.exe", "a+b%20c", ExecQuery, ""},
        {"GET /x?%zz HTTP/1.0\r\n\r\n", true, 0, "GET", "/x", "%zz", ExecQuery, ""}, // the query stays raw
        {"GET /index.html\n\n", true, 0, "GET", "/index.html", "", ExecNone, ""},
        {"GET / HTTP/1.0\r\nHost: a\r\n", false, 0, "GET", "/", "", ExecNone, ""},
        {"POST /p.exe HTTP/1.0\r\nContent-Length: 5\r\n\r\nhelloEXTRA", true, 0, "POST", "/p.exe", "",
         ExecNone, "hello"},
        {"POST /p.exe HTTP/1.0\r\nContent-Length: 5\r\n\r\nhel", false, 0, "POST", "/p.exe", "", ExecNone,
         "hel"},
        {"POST /p.exe HTTP/1.0\r\nContent-Length: 0\r\n\r\n", true, 0, "POST", "/p.exe", "", ExecNone, ""},
        {"POST /p.exe HTTP/1.0\r\nContent-Length: abc\r\n\r\n", true, 400, "POST", "/p.exe", "", ExecNone,
         ""},
        // Only digits are a length: a list, a sign or trailing text would leave the body's end in doubt.
        {"POST /p.exe HTTP/1.0\r\nContent-Length: 5, 3\r\n\r\nhello", true, 400, "POST", "/p.exe", "",
         ExecNone, ""},
        {"POST /p.exe HTTP/1.0\r\nContent-Length: +5\r\n\r\nhello", true, 400, "POST", "/p.exe", "", ExecNone,
         ""},
        {"POST /p.exe HTTP/1.0\r\nContent-Length: 5x\r\n\r\nhello", true, 400, "POST", "/p.exe", "", ExecNone,
         ""},
        {"POST /p.exe HTTP/1.0\r\nContent-Length:\r\n\r\n", true, 400, "POST", "/p.exe", "", ExecNone, ""},
        {"POST /p.exe HTTP/1.0\r\nContent-Length: 5 \t\r\n\r\nhello", true, 0, "POST", "/p.exe", "", ExecNone,
         "hello"},
        {"POST /p.exe HTTP/1.0\r\nContent-Length: 5\r\nContent-Length: 3\r\n\r\nhello", true, 400, "POST",
         "/p.exe", "", ExecNone, ""},
        {"POST /p.exe HTTP/1.0\r\nContent-Length: 3\r\ncontent-length: 03 \r\n\r\nhello", true, 0, "POST",
         "/p.exe", "", ExecNone, "hel"}, // the same length twice is no doubt
        // A folded line is refused rather than taken as a header of its own.
        {"GET / HTTP/1.0\r\nX-A: 1\r\n HTTP_X: 2\r\n\r\n", true, 400, "GET", "/", "", ExecNone, ""},
        {"GET / HTTP/1.0\r\nX-A: 1\r\n\tmore\r\n\r\n", true, 400, "GET", "/", "", ExecNone, ""},
        {"POST /p.exe HTTP/1.0\r\nContent-Length: -1\r\n\r\n", true, 400, "POST", "/p.exe", "", ExecNone, ""},
        {"POST /p.exe HTTP/1.0\r\nContent-Length: 99999999999\r\n\r\n", true, 400, "POST", "/p.exe", "",
         ExecNone, ""},
        {"GET /bad%4 HTTP/1.0\r\n\r\n", true, 400, "GET", "/bad%4", "", ExecNone, ""},
        {"GET /a%00b HTTP/1.0\r\n\r\n", true, 400, "GET", "/a%00b", "", ExecNone, ""},
        {"GET /" + std::string(70000, 'a'), true, 400, "", "", "", ExecNone, ""},
        {"NOBLANK\r\nHost: x\r\n\r\n", true, 0, "", "", "", ExecNone, ""},
        {"\r\n", true, 0, "", "", "", ExecNone, ""},
        {"GET /a\rb HTTP/1.0\r\n\r\n", true, 0, "GET", "/ab", "", ExecNone, ""}, // a stray CR is dropped
        {"GET /frame.jpg?&picid=pw HTTP/1.0\r\n\r\n", true, 0, "GET", "/pass.jpg", "", ExecNone, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bytes.substr(0, 60));
        for (std::size_t piece : {std::size_t(0), std::size_t(1), std::size_t(7)}) {
            Parsed p = Parse(row.bytes, "secret", piece);
            EXPECT_EQ(p.complete, row.complete);
            EXPECT_EQ(p.error, row.error);
            EXPECT_EQ(p.request.method, row.method);
            EXPECT_EQ(p.request.url, row.url);
            EXPECT_EQ(p.request.query, row.query);
            EXPECT_EQ(p.request.execKind, row.execKind);
            EXPECT_EQ(p.request.body, row.body);
        }
    }
}

TEST(RequestParserTest, HeadOfExactlyTheLimitIsTakenOneByteMoreIsRefused) {
    const std::string frame = "GET / HTTP/1.0\r\nX: \r\n\r\n";
    for (std::size_t extra : {std::size_t(0), std::size_t(1)}) {
        std::string head = frame;
        head.insert(head.find("X: ") + 3, std::string(kMaxRequestHead - frame.size() + extra, 'v'));
        for (std::size_t piece : {std::size_t(0), std::size_t(1000)}) {
            SCOPED_TRACE(extra * 10 + piece);
            Parsed p = Parse(head, "", piece);
            EXPECT_TRUE(p.complete);
            EXPECT_EQ(p.error, extra ? 400u : 0u);
        }
    }
}

TEST(RequestParserTest, AHundredHeaderLinesAreTakenOneMoreIsRefusedAtOnce) {
    for (std::size_t lines : {kMaxHeaderLines, kMaxHeaderLines + 1}) {
        std::string head = "GET / HTTP/1.0\r\n";
        for (std::size_t n = 0; n < lines; ++n)
            head += "H" + std::to_string(n) + ": v\r\n";
        const std::string tail = "H-after: v\r\n"; // never read once the head is refused
        for (std::size_t piece : {std::size_t(0), std::size_t(5)}) {
            SCOPED_TRACE(lines * 10 + piece);
            Parsed p = Parse(head + (lines > kMaxHeaderLines ? tail : "\r\n"), "", piece);
            EXPECT_TRUE(p.complete);
            EXPECT_EQ(p.error, lines > kMaxHeaderLines ? 400u : 0u);
            EXPECT_EQ(p.request.headers.size(), kMaxHeaderLines);
        }
    }
}

TEST(RequestParserTest, ScriptsSeeTheLengthWithoutItsBlanks) {
    Parsed p = Parse("POST /p.exe HTTP/1.0\r\nContent-Length:  4 \r\n\r\nbody");
    EXPECT_EQ(p.request.GetHeader("content-length"), "4");
    EXPECT_EQ(p.request.contentLength, 4);
}

TEST(RequestParserTest, HeadersKeepTheLastValueAndIgnoreLinesWithoutColon) {
    Parsed p = Parse("GET / HTTP/1.0\r\nX-A: 1\r\nnot a header\r\nx-a:   2\r\nHost:cam:80\r\n\r\n");
    EXPECT_EQ(p.request.headers.size(), 2u);
    EXPECT_EQ(p.request.GetHeader("X-A"), "2");
    EXPECT_EQ(p.request.GetHeader("host"), "cam:80");
    EXPECT_EQ(p.request.version, "HTTP/1.0");
}

TEST(RequestParserTest, PicturePasswordIsAppliedToTheRawPath) {
    EXPECT_TRUE(Parse("GET /frame.jpg?&picid=secret HTTP/1.0\r\n\r\n", "secret").picturePassed);
    EXPECT_EQ(Parse("GET /frame.jpg?&picid=secret HTTP/1.0\r\n\r\n", "secret").request.url, "/frame.jpg");
    EXPECT_FALSE(Parse("GET /fram%65.jpg HTTP/1.0\r\n\r\n", "secret").picturePassed);
    EXPECT_EQ(Parse("GET /fram%65.jpg HTTP/1.0\r\n\r\n", "secret").request.url, "/frame.jpg");
    EXPECT_TRUE(Parse("GET /fram%65.jpg HTTP/1.0\r\n\r\n", "").picturePassed);
}

TEST(RequestParserTest, BytesAfterCompletionAreIgnored) {
    RequestParser parser;
    CRequest r;
    std::string first = "GET /a HTTP/1.0\r\n\r\n";
    EXPECT_TRUE(parser.Feed(first.data(), first.size(), r));
    std::string more = "GET /b HTTP/1.0\r\nX: y\r\n\r\n";
    EXPECT_TRUE(parser.Feed(more.data(), more.size(), r));
    EXPECT_EQ(r.url, "/a");
    EXPECT_TRUE(r.headers.empty());
}

} // namespace
