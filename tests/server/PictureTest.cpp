// The camera picture rules on a loopback socket, with a fake composer that writes small
// real JPEG files into the web root.

#include "ServerTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

class Pictures : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(h.Start());
        WriteFile(h.Root() + "/pass.jpg", "PASSPICTURE");
    }
    ServerHarness h;
};

TEST_F(Pictures, WithoutPasswordEveryPictureRequestIsComposed) {
    for (const char* path : {"/frame.jpg", "/frame.jpg?", "/frame.jpg?1234&picid=anything", "/framei.jpg"}) {
        SCOPED_TRACE(path);
        int before = h.composeCount;
        Response r = h.Get(path);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(h.composeCount, before + 1);
        EXPECT_EQ(r.Header("content-type"), "image/jpeg");
        EXPECT_EQ(r.body, std::string(path).rfind("/framei", 0) == 0 ? h.frameiBytes : h.frameBytes);
        EXPECT_EQ(r.Header("content-length"), std::to_string(r.body.size()));
    }
    // The picture request carries no query into the log.
    EXPECT_TRUE(h.hits[1]->query.empty());
    EXPECT_EQ(h.hits[2]->url, "/frame.jpg");
}

TEST_F(Pictures, PasswordTable) {
    h.password = "s3cret pw";
    h.Get("/framei.jpg"); // lays the files once
    struct Row {
        std::string path;
        bool picture;
    } rows[] = {
        {"/frame.jpg", false},
        {"/frame.jpg?", false},
        {"/frame.jpg?x=1", false},
        {"/frame.jpg?&picid=S3CRET+PW", false},
        {"/frame.jpg?&picid=s3cret+pwx", false},
        {"/frame.jpg?picid=s3cret+pw", false},
        {"/frame.jpg?&picid=s3cret pw", true},
        {"/frame.jpg?99&picid=s3cret+pw", true},
        {"/frame.jpg?99&picid=s3cret%20pw", true},
        // Other spellings of the same file never get around the password.
        {"/fram%65.jpg", false},
        {"//frame.jpg", false},
        {"/./frame.jpg", false},
        {"/x/../frame.jpg", false},
        {"/frame.jpg/extra", false},
        {"/fram%65.jpg/extra", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        // The request line takes the path raw, blanks included only where the table has them.
        std::string line = "GET " + row.path + " HTTP/1.0\r\n\r\n";
        if (row.path.find(' ') != std::string::npos)
            line = "GET " + row.path + "\r\n\r\n"; // no version: the rest of the line is the path
        int before = h.composeCount;
        Response r = h.Send(line);
        if (row.path.find(' ') != std::string::npos) {
            // "GET /frame.jpg?&picid=s3cret pw": the path ends at the blank, the rest is the version.
            EXPECT_EQ(r.body, "PASSPICTURE");
            continue;
        }
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, row.picture ? h.frameBytes : "PASSPICTURE");
        EXPECT_EQ(h.composeCount, before + (row.picture ? 1 : 0));
    }
    // Another spelling with a query is a query on a file that is not a program.
    Response r = h.Get("/fram%65.jpg?&picid=s3cret+pw");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "");
    // The small picture is answered without any password check.
    EXPECT_EQ(h.Get("/framei.jpg").body, h.frameiBytes);
    // Capital letters match no rule and are served from disk as they are.
    WriteFile(h.Root() + "/FRAME.JPG", "UPPER");
    int before = h.composeCount;
    EXPECT_EQ(h.Get("/FRAME.JPG").body, "UPPER");
    EXPECT_EQ(h.composeCount, before);
}

TEST_F(Pictures, PasswordCoversEveryCameraFile) {
    h.Get("/frame.jpg"); // lays the picture files
    const std::string root = h.Root();
    // A grab left from before the password was set, snapshots, and other names of the picture.
    WriteFile(root + "/capframe.bmp", "GRAB");
    MakeFolder(root + "/logpic/sub");
    WriteFile(root + "/logpic/2026-12-07-10-00-00.jpg", "SNAPSHOT");
    WriteFile(root + "/logpic/sub/x.jpg", "SNAPSHOT");
    MakeFolder(root + "/pub");
    ASSERT_EQ(::link((root + "/frame.jpg").c_str(), (root + "/pub/hard.jpg").c_str()), 0);
    ASSERT_EQ(::symlink("../frame.jpg", (root + "/pub/soft.jpg").c_str()), 0);
    ASSERT_EQ(::symlink("../capframe.bmp", (root + "/pub/grab.bmp").c_str()), 0);
    ASSERT_EQ(::symlink("logpic", (root + "/snaps").c_str()), 0);
    WriteFile(root + "/pub/other.jpg", "OTHER");
    h.settings.bAllowListing = 1;

    const char* protectedPaths[] = {
        "/capframe.bmp",
        "/capfram%65.bmp",
        "//capframe.bmp",
        "/./capframe.bmp",
        "/pub/../capframe.bmp",
        "/capframe.bmp/extra",
        "\\capframe.bmp",
        "/logpic/2026-12-07-10-00-00.jpg",
        "/logpic//2026-12-07-10-00-00.jpg",
        "/%6cogpic/2026-12-07-10-00-00.jpg",
        "/logpic\\2026-12-07-10-00-00.jpg",
        "/x/../logpic/./sub/x.jpg",
        "/logpic/missing.jpg",
        "/logpic/sub/",
        "/logpic/index.html",
        "/snaps/2026-12-07-10-00-00.jpg",
        "/pub/hard.jpg",
        "/pub/./hard.jpg",
        "/pub/soft.jpg",
        "/pub/grab.bmp",
    };
    auto expectRefused = [&](const std::string& path) {
        SCOPED_TRACE(path);
        Response r = h.Get(path);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "PASSPICTURE");
    };
    // Without a password nothing changes.
    EXPECT_EQ(h.Get("/capframe.bmp").body, "GRAB");
    EXPECT_EQ(h.Get("/logpic/2026-12-07-10-00-00.jpg").body, "SNAPSHOT");
    EXPECT_EQ(h.Get("/pub/hard.jpg").body, h.frameBytes);
    EXPECT_NE(h.Get("/logpic/").body.find("2026-12-07-10-00-00.jpg"), std::string::npos);

    h.password = "pw";
    for (const char* path : protectedPaths)
        expectRefused(path);
    // The snapshot folder lists no entry under either name; other files stay served.
    for (const char* folder : {"/logpic/", "/logpic", "/snaps/", "/%6cogpic//"}) {
        SCOPED_TRACE(folder);
        Response listing = h.Get(folder);
        EXPECT_EQ(listing.status, 200);
        EXPECT_NE(listing.body.find("<strong>empty</strong>"), std::string::npos) << listing.body;
        EXPECT_EQ(listing.body.find(".jpg"), std::string::npos) << listing.body;
    }
    EXPECT_EQ(h.Get("/pub/other.jpg").body, "OTHER");
    EXPECT_NE(h.Get("/pub/").body.find("other.jpg"), std::string::npos);
    // The password itself still opens the picture, and only the picture.
    EXPECT_EQ(h.Get("/frame.jpg?1&picid=pw").body, h.frameBytes);
    EXPECT_EQ(h.Get("/capframe.bmp?1&picid=pw").status, 400);
}

TEST_F(Pictures, HeadNeverComposesAndPostIsRefused) {
    h.Get("/frame.jpg");
    int before = h.composeCount;
    Response r = h.Send("HEAD /frame.jpg HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(h.composeCount, before);
    r = h.Send("POST /frame.jpg HTTP/1.0\r\nContent-Length: 1\r\n\r\nx");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(h.composeCount, before);
}

TEST_F(Pictures, ComposerThatWritesNothing) {
    h.composeWrites = false;
    // No picture yet: 404, and the connection is answered.
    Response r = h.Get("/frame.jpg");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(h.composeCount, 1);
    // A previous picture is served.
    WriteFile(h.Root() + "/frame.jpg", "OLDPICTURE");
    r = h.Get("/frame.jpg");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "OLDPICTURE");
    // Without "pass.jpg" a refused viewer gets 404.
    h.password = "pw";
    ::unlink((h.Root() + "/pass.jpg").c_str());
    EXPECT_EQ(h.Get("/frame.jpg").status, 404);
    EXPECT_EQ(h.Get("/pass.jpg").status, 404);
}

TEST_F(Pictures, ConditionalPictureRequest) {
    Response first = h.Get("/frame.jpg");
    ASSERT_EQ(first.status, 200);
    Response again = h.Get("/frame.jpg", "If-Modified-Since: " + first.Header("last-modified") + "\r\n");
    // The picture was rewritten within the same second or later: 304 only when not newer.
    EXPECT_TRUE(again.status == 304 || again.status == 200);
    EXPECT_EQ(h.composeCount, 2);
}

TEST_F(Pictures, CachesMayHoldThePictureOnlyWithoutPassword) {
    WriteFile(h.Root() + "/static.jpg", "S");
    const std::string shared = "max-age=0, s-maxage=1", none = "no-store, private";
    struct Row {
        std::string password, request, cacheControl; // "" = no header
    };
    const Row rows[] = {
        {"", "GET /frame.jpg HTTP/1.0", shared},
        {"", "GET /frame.jpg?17 HTTP/1.0", shared},
        {"", "HEAD /framei.jpg HTTP/1.0", shared},
        {"", "GET /static.jpg HTTP/1.0", ""},
        {"", "GET /pass.jpg HTTP/1.0", ""},
        {"pw", "GET /frame.jpg?1&picid=pw HTTP/1.0", none},
        {"pw", "GET /framei.jpg HTTP/1.0", none},
        // What the password rule answers is not kept either: the next try may carry it.
        {"pw", "GET /frame.jpg?1&picid=wrong HTTP/1.0", none},
        {"pw", "GET /frame.jpg HTTP/1.0", none},
        {"pw", "GET /stream.mjpg HTTP/1.0", none},
        {"pw", "GET /capframe.bmp HTTP/1.0", none},
        {"pw", "GET /static.jpg HTTP/1.0", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.password + " " + row.request);
        h.password = row.password;
        Response r = h.Send(row.request + "\r\n\r\n");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.Header("cache-control"), row.cacheControl);
    }
    // A revalidated picture says it again; the stream keeps no-store.
    h.password = "";
    Response first = h.Get("/framei.jpg");
    Response again = h.Get("/framei.jpg", "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n");
    EXPECT_EQ(again.status, 304);
    EXPECT_EQ(again.Header("cache-control"), shared);
    Response stream = h.Send("HEAD /stream.mjpg HTTP/1.0\r\n\r\n");
    EXPECT_EQ(stream.Header("cache-control"), "no-store");
}

} // namespace
