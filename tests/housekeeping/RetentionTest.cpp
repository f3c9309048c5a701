// Snapshot and hit-log retention: only the program's own names are ever deleted, the
// oldest go first, and the running total follows what is written.

#include "housekeeping/Retention.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;

namespace {

void Write(const std::string& path, size_t bytes) {
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
}

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    QDir dir(QString::fromStdString(folder));
    for (const QString& n : dir.entryList(QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot))
        names.insert(n.toStdString());
    return names;
}

// Local noon of 2026-12-07.
std::time_t Noon() {
    std::tm tm{};
    tm.tm_year = 126;
    tm.tm_mon = 11;
    tm.tm_mday = 7;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

} // namespace

TEST(RetentionNames, OnlyTheProgramsOwnNamesCount) {
    EXPECT_TRUE(IsSnapshotName("2026-12-07-12-00-01.jpg"));
    for (const char* other : {"2026-12-07-12-00-01.jpeg", "2026-12-07-12-00-1.jpg", "holiday.jpg",
                              "2026-12-07-12-00-01.jpg~", "x2026-12-07-12-00-01.jpg", "2026_12-07-12-00-01.jpg"})
        EXPECT_FALSE(IsSnapshotName(other)) << other;
    EXPECT_TRUE(IsHitLogName(" Log 20261207.hsl"));
    for (const char* other : {"Log 20261207.hsl", " Log 2026120.hsl", " Log 20261207.hsl.gz", " log 20261207.hsl"})
        EXPECT_FALSE(IsHitLogName(other)) << other;
}

TEST(SnapshotRetention, SizeLimitTakesTheOldestOwnSnapshotsAndNothingElse) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    // Three old snapshots of 400 bytes, and the owner's own files beside them, larger than the limit.
    for (const char* name : {"2026-12-07-10-00-00.jpg", "2026-12-07-10-00-01.jpg", "2026-12-07-10-00-02.jpg"})
        Write(folder + "/" + name, 400);
    Write(folder + "/holiday.jpg", 5000);
    Write(folder + "/notes.txt", 5000);
    ::mkdir((folder + "/2026-12-07-09-00-00.jpg").c_str(), 0700); // a folder wearing the name
    ASSERT_EQ(::symlink("/etc/hostname", (folder + "/2026-12-07-08-00-00.jpg").c_str()), 0);

    SnapshotRetention keep(1000, 0);
    keep.Scan(folder, Noon());
    EXPECT_EQ(keep.TotalBytes(), 800u) << "one scan at start prunes to the limit";
    EXPECT_EQ(Names(folder), (std::set<std::string>{"2026-12-07-10-00-01.jpg", "2026-12-07-10-00-02.jpg",
                                                    "holiday.jpg", "notes.txt", "2026-12-07-09-00-00.jpg",
                                                    "2026-12-07-08-00-00.jpg"}));

    // New snapshots are counted as they come, without a scan: a file that appears behind
    // the program's back is not seen until the next scan.
    Write(folder + "/2026-12-07-10-00-00.jpg", 100); // older name, not reported
    Write(folder + "/2026-12-07-11-00-00.jpg", 300);
    keep.Added(folder + "/2026-12-07-11-00-00.jpg", Noon());
    EXPECT_EQ(keep.TotalBytes(), 700u);
    EXPECT_FALSE(Names(folder).count("2026-12-07-10-00-01.jpg")) << "the oldest counted one went";
    EXPECT_TRUE(Names(folder).count("2026-12-07-10-00-00.jpg")) << "not counted, not touched";
    EXPECT_TRUE(Names(folder).count("holiday.jpg"));

    // A snapshot larger than the whole limit stays: the newest is never taken.
    Write(folder + "/2026-12-07-11-00-01.jpg", 5000);
    keep.Added(folder + "/2026-12-07-11-00-01.jpg", Noon());
    EXPECT_EQ(keep.Count(), 1u);
    EXPECT_TRUE(Names(folder).count("2026-12-07-11-00-01.jpg"));
}

TEST(SnapshotRetention, AgeLimitAndNoLimitAtAll) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    for (const char* name : {"2026-12-01-12-00-00.jpg", "2026-12-05-11-59-59.jpg", "2026-12-05-12-00-01.jpg"})
        Write(folder + "/" + name, 10);
    SnapshotRetention none(0, 0); // what a missing LogPicMaxMB reads as: an upgrade prunes nothing
    none.Scan(folder, Noon());
    EXPECT_EQ(Names(folder).size(), 3u);

    SnapshotRetention twoDays(0, 2);
    twoDays.Scan(folder, Noon());
    EXPECT_EQ(Names(folder), (std::set<std::string>{"2026-12-05-12-00-01.jpg"}));
}

TEST(HitLogRetention, DaysCountFromTheEndOfTheLogsDayAndOtherFilesStay) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    for (const char* name : {" Log 20261203.hsl", " Log 20261204.hsl", " Log 20261205.hsl", " Log 20261207.hsl",
                             "Log 20261101.hsl",
                             " Log 20261101.hsl.bak", "category.csv"})
        Write(folder + "/" + name, 10);
    EXPECT_EQ(PruneHitLogs(folder, 0, Noon()), 0) << "0 keeps all";
    // Two days kept: the 4th ended at midnight of the 5th, 2.5 days ago, the 3rd earlier; the
    // 5th ended 1.5 days ago and stays.
    EXPECT_EQ(PruneHitLogs(folder, 2, Noon()), 2);
    EXPECT_EQ(Names(folder), (std::set<std::string>{" Log 20261205.hsl", " Log 20261207.hsl", "Log 20261101.hsl",
                                                    " Log 20261101.hsl.bak", "category.csv"}));
}
