#include "server/HitLogText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

using namespace kestrel;

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

TEST(HitLogFormat, PicturePasswordNeverLogged) {
    ::setenv("TZ", "UTC", 1);
    tzset();
    const std::time_t t = 1798761599;
    const std::string head = " 200  \t::1\t12/31/26 23:59:59\t/frame.jpg\t::1 ? ";
    struct Case {
        const char* query;
        const char* logged;
    };
    // The queries of the spellings the password rule does not strip ("/./frame.jpg?", "//frame.jpg?1").
    const Case cases[] = {
        {"&picid=secret", "&picid=*"},   {"1&picid=secret", "1&picid=*"},
        {"picid=secret&x=1", "picid=*"}, {"a=1&picid=s%20e&picid=again", "a=1&picid=*"},
        {"&picid=", "&picid=*"},         {"&picid=\x1B\tpw", "&picid=*"},
        {"\t&picid=pw", "%09&picid=*"},  {"pic=1&picidx=2", "pic=1&picidx=2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HitLogLine(200, "::1", t, "/frame.jpg", c.query), head + c.logged) << c.query;
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
