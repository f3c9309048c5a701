// The background writer of "capframe.bmp": newest content wins, the pace is kept, Flush and
// destruction write what waits.

#include "TestSupport.h"
#include "capture/FileWriterThread.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <fstream>
#include <iterator>

using namespace kestrel;
using namespace std::chrono_literals;

namespace {
std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}
} // namespace

TEST(FileWriterThread, NewestWinsAndFlushWritesAtOnce) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/capframe.bmp";
    FileWriterThread writer(3s);
    auto first = Bytes("first");
    writer.Post(path, first);
    ASSERT_TRUE(writer.Flush());
    EXPECT_EQ(Contents(path), "first");
    // Within the interval: both wait, the second replaces the first.
    QElapsedTimer t;
    t.start();
    auto second = Bytes("second"), third = Bytes("third");
    writer.Post(path, second);
    writer.Post(path, third);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Contents(path), "first") << "the pace is kept";
    ASSERT_TRUE(writer.Flush());
    EXPECT_LT(t.elapsed(), 2500) << "Flush does not wait for the pace";
    EXPECT_EQ(Contents(path), "third");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1);
    // What waits at destruction is written.
    {
        FileWriterThread last(10s);
        auto a = Bytes("a"), b = Bytes("b");
        last.Post(path, a);
        last.Post(path, b);
    }
    EXPECT_EQ(Contents(path), "b");
    // A folder that is gone: reported by Flush.
    FileWriterThread failing;
    auto c = Bytes("c");
    failing.Post(dir.path().toStdString() + "/missing/capframe.bmp", c);
    EXPECT_FALSE(failing.Flush());
}
