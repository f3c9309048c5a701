// The request list, viewer list, hit log and uptime display, with an injected clock.

#include "ServerTestSupport.h"

#include "app/HeadlessView.h"
#include "server/HitLog.h"
#include "server/HitLogText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

using namespace kestrel;
using namespace kestrel::test;

namespace {

class Hits : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        tzset();
        view.CreateControl(IDC_VIEWER_LIST, {}, 0);
        view.CreateControl(IDC_VIEWER_COUNT, {}, 0);
        view.CreateControl(IDC_UPTIME, {}, 0);
        tracker = std::make_unique<CHitTracker>(
            view, settings, [this] { return now; }, logs.Path());
    }
    std::shared_ptr<CRequest> Request(const std::string& address, std::time_t when,
                                      const std::string& url = "/", unsigned status = 200,
                                      const std::string& query = "") {
        auto r = std::make_shared<CRequest>();
        r->clientAddress = address;
        r->requestTime = when;
        r->url = url;
        r->status = status;
        r->query = query;
        return r;
    }
    // The day's file once the gathered lines have been written.
    std::string Log(std::time_t day) {
        tracker->FlushHitLog();
        return ReadFile(logs.Path() + "/" + HitLogFileName(day));
    }

    HeadlessMainView view;
    CServerSettings settings;
    TempFolder logs;
    std::time_t now = 1798761599 - 3600; // Thu, 31 Dec 2026 22:59:59 UTC
    std::unique_ptr<CHitTracker> tracker;
};

TEST_F(Hits, OneViewerPerAddressAndExpiryAfterFifteenSeconds) {
    tracker->RecordHit(Request("10.0.0.1", now));
    tracker->RecordHit(Request("10.0.0.1", now + 5));
    tracker->RecordHit(Request("10.0.0.2", now + 5));
    EXPECT_EQ(view.ViewerListItems(), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
    tracker->ServiceIdle();
    EXPECT_EQ(view.ControlText(IDC_VIEWER_COUNT), "  2");
    EXPECT_EQ(tracker->ViewerCount(), 2);

    // 15 seconds after the last request is not yet "later than" the limit.
    now += 5 + 15;
    tracker->ServiceIdle();
    tracker->ServiceIdle();
    EXPECT_EQ(tracker->ViewerCount(), 2);
    now += 1;
    tracker->ServiceIdle(); // one entry per call
    EXPECT_EQ(tracker->ViewerCount(), 1);
    tracker->ServiceIdle();
    EXPECT_EQ(tracker->ViewerCount(), 0);
    EXPECT_EQ(view.ControlText(IDC_VIEWER_COUNT), "  0");
    EXPECT_TRUE(view.ViewerListItems().empty());

    // A viewer that left and comes back is a new viewer, listed and counted again; one
    // touched while the others expire is kept.
    tracker->RecordHit(Request("10.0.0.1", now));
    tracker->RecordHit(Request("10.0.0.3", now));
    tracker->ServiceIdle();
    EXPECT_EQ(view.ViewerListItems(), (std::vector<std::string>{"10.0.0.1", "10.0.0.3"}));
    EXPECT_EQ(tracker->ViewerCount(), 2);
    now += 16;
    tracker->TouchViewer("10.0.0.3", now);
    tracker->ServiceIdle();
    tracker->ServiceIdle();
    tracker->ServiceIdle();
    EXPECT_EQ(view.ViewerListItems(), std::vector<std::string>{"10.0.0.3"});
    EXPECT_EQ(tracker->ViewerCount(), 1);
}

TEST_F(Hits, RequestsAreLoggedOnceTheirConnectionHasGone) {
    auto open = Request("10.0.0.1", now, "/frame.jpg");
    tracker->RecordHit(open);
    EXPECT_NE(tracker->ServiceIdle(), 0); // waiting: more idle work
    EXPECT_FALSE(tracker->LastIdleLogged());
    EXPECT_TRUE(tracker->ActivityLamp());
    EXPECT_EQ(Log(now), "");
    open->done = true;
    EXPECT_EQ(tracker->ServiceIdle(), 0);
    EXPECT_TRUE(tracker->LastIdleLogged());
    EXPECT_EQ(Log(now), "Hit Log for Thursday, December 31, 2026\r\n\r\n"
                        " 200  \t10.0.0.1\t12/31/26 22:59:59\t/frame.jpg\t10.0.0.1 \r\n");
    // Later requests add only their line; a query follows "? ".
    auto second = Request("10.0.0.2", now + 1, "/cgi/x.exe", 0, "a=1");
    second->done = true;
    tracker->RecordHit(second);
    tracker->ServiceIdle();
    EXPECT_EQ(Log(now), "Hit Log for Thursday, December 31, 2026\r\n\r\n"
                        " 200  \t10.0.0.1\t12/31/26 22:59:59\t/frame.jpg\t10.0.0.1 \r\n"
                        " 000  \t10.0.0.2\t12/31/26 23:00:00\t/cgi/x.exe\t10.0.0.2 ? a=1\r\n");
    EXPECT_EQ(tracker->ServiceIdle(), 0);
    EXPECT_FALSE(tracker->ActivityLamp());
}

TEST_F(Hits, RequestBeforeMidnightLoggedAfterItGoesToItsOwnDay) {
    std::time_t before = 1798761599; // 23:59:59
    auto r = Request("10.0.0.1", before);
    tracker->RecordHit(r);
    now = before + 5; // after midnight
    r->done = true;
    tracker->ServiceIdle();
    EXPECT_EQ(HitLogFileName(before), " Log 20261231.hsl");
    EXPECT_NE(Log(before).find("12/31/26 23:59:59"), std::string::npos);
    EXPECT_EQ(Log(now), "");
    // The next day's first request starts a new file with its header.
    auto next = Request("10.0.0.1", now);
    next->done = true;
    tracker->RecordHit(next);
    tracker->ServiceIdle();
    EXPECT_EQ(Log(now).rfind("Hit Log for Friday, January 01, 2027\r\n\r\n 200  \t", 0), 0u);
}

TEST_F(Hits, GatheredLinesGoToTheirOwnDaysFilesAndAreWrittenAtExit) {
    const std::time_t day1 = 1798761599, day2 = day1 + 1; // 23:59:59, then midnight
    for (std::time_t t : {day1, day2, day1, day2}) {
        auto r = Request("10.0.0.1", t, t == day1 ? "/a" : "/b");
        r->done = true;
        tracker->RecordHit(r);
    }
    while (tracker->ServiceIdle()) {
    }
    EXPECT_TRUE(tracker->HitLogOpen());
    tracker.reset(); // the last batch is written, not lost
    const std::string dir = logs.Path() + "/";
    EXPECT_EQ(ReadFile(dir + HitLogFileName(day1)), "Hit Log for Thursday, December 31, 2026\r\n\r\n"
                                                    " 200  \t10.0.0.1\t12/31/26 23:59:59\t/a\t10.0.0.1 \r\n"
                                                    " 200  \t10.0.0.1\t12/31/26 23:59:59\t/a\t10.0.0.1 \r\n");
    EXPECT_EQ(ReadFile(dir + HitLogFileName(day2)), "Hit Log for Friday, January 01, 2027\r\n\r\n"
                                                    " 200  \t10.0.0.1\t01/01/27 00:00:00\t/b\t10.0.0.1 \r\n"
                                                    " 200  \t10.0.0.1\t01/01/27 00:00:00\t/b\t10.0.0.1 \r\n");
}

TEST_F(Hits, TurningLoggingOffWritesTheGatheredLinesAndClosesTheFile) {
    auto first = Request("10.0.0.1", now);
    first->done = true;
    tracker->RecordHit(first);
    tracker->ServiceIdle();
    settings.bLoggingOn = 0;
    auto second = Request("10.0.0.2", now);
    second->done = true;
    tracker->RecordHit(second);
    tracker->ServiceIdle();
    EXPECT_FALSE(tracker->HitLogOpen());
    EXPECT_EQ(ReadFile(logs.Path() + "/" + HitLogFileName(now)),
              "Hit Log for Thursday, December 31, 2026\r\n\r\n"
              " 200  \t10.0.0.1\t12/31/26 22:59:59\t/\t10.0.0.1 \r\n");
}

TEST_F(Hits, LoggingOffStillKeepsViewers) {
    settings.bLoggingOn = 0;
    auto r = Request("10.0.0.9", now);
    r->done = true;
    tracker->RecordHit(r);
    EXPECT_EQ(tracker->ServiceIdle(), 0);
    EXPECT_EQ(tracker->ViewerCount(), 1);
    EXPECT_EQ(Log(now), "");
}

TEST_F(Hits, SustainedLoadIsLoggedWithoutIdleTime) {
    for (int i = 0; i < 300; ++i) {
        auto r = Request("10.0.0.1", now);
        r->done = true;
        tracker->RecordHit(r);
    }
    EXPECT_LE(tracker->Waiting(), CHitTracker::kMaxWaiting);
    std::istringstream in(Log(now));
    std::string line;
    int lines = 0;
    while (std::getline(in, line))
        lines += line.rfind(" 200", 0) == 0;
    EXPECT_GE(lines, 257);
    while (tracker->ServiceIdle()) {
    }
    std::istringstream all(Log(now));
    lines = 0;
    while (std::getline(all, line))
        lines += line.rfind(" 200", 0) == 0;
    EXPECT_EQ(lines, 300);
}

TEST_F(Hits, UnwritableLogIsSkipped) {
    CHitTracker broken(
        view, settings, [this] { return now; }, logs.Path() + "/missing/folder");
    auto r = Request("10.0.0.1", now);
    r->done = true;
    broken.RecordHit(r);
    EXPECT_EQ(broken.ServiceIdle(), 0); // skipped, not kept
    EXPECT_EQ(broken.Waiting(), 0u);
}

TEST_F(Hits, UptimeDisplay) {
    tracker->UpdateUptimeDisplay(false, now - 100000);
    EXPECT_EQ(view.ControlText(IDC_UPTIME), " 00h 00m");
    tracker->UpdateUptimeDisplay(true, now - 26 * 3600);
    EXPECT_EQ(view.ControlText(IDC_UPTIME), " 1d 02h 00m");
    tracker->UpdateUptimeDisplay(true, now - 125);
    EXPECT_EQ(view.ControlText(IDC_UPTIME), " 00h 02m");
}

TEST_F(Hits, ReleaseAllDropsWithoutLogging) {
    auto r = Request("10.0.0.1", now);
    r->done = true;
    tracker->RecordHit(r);
    tracker->ReleaseAll();
    EXPECT_EQ(tracker->Waiting(), 0u);
    EXPECT_EQ(r.use_count(), 1);
    EXPECT_EQ(Log(now), "");
}

} // namespace
