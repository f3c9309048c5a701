// The V4L2 driver's parts that run without a camera: node listing, frame conversion and the
// capture thread (over a scripted stream).

#include "TestSupport.h"
#include "capture/CaptureThread.h"
#include "capture/V4l2Device.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>

#include <atomic>
#include <linux/videodev2.h>
#include <mutex>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;

TEST(V4l2Listing, CaptureNodesInNumberOrder) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    for (const char* name : {"video10", "video2", "video0", "video1", "videoX", "video", "media0", "video3"})
        ASSERT_TRUE(WriteBytes(folder + "/" + name, {0}));
    // video1 is a metadata node, video3 not a V4L2 device at all, video2 has no card name.
    auto query = [&](const std::string& path, V4l2NodeInfo& info) {
        const std::string name = path.substr(folder.size() + 1);
        if (name == "video3")
            return false;
        info.busInfo = "usb-" + name;
        info.card = name == "video2" ? "" : "Camera " + name;
        info.deviceCaps =
            name == "video1" ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        return true;
    };
    const auto nodes = EnumerateV4l2Nodes(folder, query);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0].path, folder + "/video0");
    EXPECT_EQ(nodes[0].info.card, "Camera video0");
    EXPECT_EQ(nodes[1].path, folder + "/video2");
    EXPECT_EQ(nodes[1].info.card, folder + "/video2") << "a node without a name is described by its path";
    EXPECT_EQ(nodes[2].path, folder + "/video10");
    const auto entries = EnumerateV4l2Drivers(folder, nullptr, query);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].busInfo, "usb-video10");
    // The real query refuses files that are no devices; a missing folder lists nothing.
    V4l2NodeInfo info;
    EXPECT_FALSE(QueryV4l2Node(folder + "/video0", info));
    EXPECT_TRUE(EnumerateV4l2Nodes(folder).empty());
    EXPECT_TRUE(EnumerateV4l2Nodes(folder + "/missing").empty());
}

TEST(V4l2Device, OpeningSomethingThatIsNoCameraFailsPromptly) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/video0";
    ASSERT_TRUE(WriteBytes(path, std::vector<uint8_t>(64, 0)));
    QElapsedTimer t;
    t.start();
    V4l2Device device(path, {"Fake", "usb-fake", V4L2_CAP_VIDEO_CAPTURE}, nullptr);
    EXPECT_FALSE(device.Connect());
    EXPECT_FALSE(device.IsDelivering());
    DibBuffer frame;
    EXPECT_FALSE(device.TakeFrame(frame));
    V4l2Device missing(path + "-gone", {"Gone", "usb-gone", V4L2_CAP_VIDEO_CAPTURE}, nullptr);
    EXPECT_FALSE(missing.Connect());
    EXPECT_LT(t.elapsed(), 2500);
}

namespace {
uint32_t PixelOf(const DibBuffer& b, int x, int yFromTop) {
    const int memRow = b.Height() - 1 - yFromTop;
    const uint8_t* p = b.Pixels().data() + static_cast<size_t>(memRow) * b.Stride() + 3 * x;
    return static_cast<uint32_t>(p[2] << 16 | p[1] << 8 | p[0]);
}
} // namespace

TEST(V4l2Conversion, FormatsArriveAsBottomUpBgr) {
    // 3 x 2 frames, top row first as devices send them.
    struct Row {
        const char* name;
        uint32_t format;
        uint32_t bytesPerLine;
        std::vector<uint8_t> data;
        uint32_t topLeft, bottomRight;
        int tolerance;
    };
    const Row rows[] = {
        {"BGR24 with padded lines",
         V4L2_PIX_FMT_BGR24,
         12,
         {0, 0, 255, 0, 255, 0, 255, 0, 0, 9, 9, 9, 1, 2, 3, 4, 5, 6, 255, 255, 255, 9, 9, 9},
         0xFF0000,
         0xFFFFFF,
         0},
        {"RGB24",
         V4L2_PIX_FMT_RGB24,
         9,
         {255, 0, 0, 0, 255, 0, 0, 0, 255, 1, 2, 3, 4, 5, 6, 10, 20, 30},
         0xFF0000,
         0x0A141E,
         0},
        {"GREY", V4L2_PIX_FMT_GREY, 3, {0, 128, 255, 7, 8, 200}, 0x000000, 0xC8C8C8, 0},
        // Y0 U Y1 V, two pairs a line: white, black, white; then red (Y 81, U 90, V 240).
        {"YUYV",
         V4L2_PIX_FMT_YUYV,
         0,
         {235, 128, 16, 128, 235, 128, 235, 128, 81, 90, 81, 240, 81, 90, 81, 240},
         0xFFFFFF,
         0xFF0000,
         6},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        DibBuffer out;
        const int w = 3;
        ASSERT_TRUE(ConvertFrameToDib(r.format, w, 2, r.bytesPerLine, r.data, out));
        EXPECT_EQ(out.BitCount(), 24);
        EXPECT_EQ(out.Height(), 2) << "bottom-up";
        EXPECT_TRUE(Near(PixelOf(out, 0, 0), r.topLeft, r.tolerance)) << std::hex << PixelOf(out, 0, 0);
        EXPECT_TRUE(Near(PixelOf(out, 2, 1), r.bottomRight, r.tolerance)) << std::hex << PixelOf(out, 2, 1);
    }
    DibBuffer out;
    EXPECT_FALSE(ConvertFrameToDib(V4L2_PIX_FMT_BGR24, 3, 2, 9, std::vector<uint8_t>(17), out))
        << "short data";
    EXPECT_FALSE(ConvertFrameToDib(V4L2_PIX_FMT_MJPEG, 3, 2, 0, std::vector<uint8_t>(100), out))
        << "not converted";
    EXPECT_FALSE(ConvertFrameToDib(V4L2_PIX_FMT_BGR24, 0, 2, 0, std::vector<uint8_t>(100), out));
    EXPECT_FALSE(ConvertFrameToDib(V4L2_PIX_FMT_YUYV, 3, 1, 0, std::vector<uint8_t>(6), out))
        << "odd width needs 8 bytes";
}

namespace {

// A stream that follows a script: how long opening takes, whether it works, and what each
// read returns.
struct Script {
    std::chrono::milliseconds openDelay{0};
    std::atomic<bool> openOk{true};
    std::atomic<int> mode{1}; // 1 frames, 0 nothing, -1 failure
    std::atomic<int> reads{0};
    std::atomic<bool> closed{false};
    // The frame size the next open reports, and how many opens there were.
    std::atomic<int> width{32}, height{24};
    std::atomic<int> opens{0};
    // While held, an open waits (a driver stuck in its open); atGate counts the waiting.
    std::mutex gate;
    std::atomic<int> atGate{0};
};

class ScriptedStream final : public IFrameStream {
public:
    explicit ScriptedStream(std::shared_ptr<Script> s) : m_s(std::move(s)) {}
    bool Open(int& width, int& height, std::string& error) override {
        ++m_s->opens;
        ++m_s->atGate;
        std::lock_guard wait(m_s->gate);
        --m_s->atGate;
        std::this_thread::sleep_for(m_s->openDelay);
        width = m_s->width, height = m_s->height;
        m_w = width, m_h = height;
        if (!m_s->openOk)
            error = "scripted failure";
        return m_s->openOk;
    }
    int ReadFrame(DibBuffer& frame, int timeoutMs) override {
        ++m_s->reads;
        const int mode = m_s->mode;
        if (mode <= 0) {
            if (mode == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return mode;
        }
        std::this_thread::sleep_for(5ms);
        std::vector<uint8_t> bgr(static_cast<size_t>(m_w * m_h * 3), static_cast<uint8_t>(m_s->reads.load()));
        return ConvertFrameToDib(V4L2_PIX_FMT_BGR24, m_w, m_h, 0, bgr, frame) ? 1 : 0;
    }
    void Close() override { m_s->closed = true; }

private:
    std::shared_ptr<Script> m_s;
    int m_w = 32, m_h = 24;
};

CaptureThread::Timing Fast() {
    CaptureThread::Timing t;
    t.connectWait = 300ms;
    t.staleAfter = 150ms;
    t.retryEvery = 30ms;
    t.readTimeoutMs = 20;
    return t;
}

bool WaitFor(const std::function<bool()>& condition, int ms) {
    QElapsedTimer t;
    t.start();
    while (!condition() && t.elapsed() < ms)
        std::this_thread::sleep_for(5ms);
    return condition();
}

} // namespace

TEST(CaptureThread, DeliversTheNewestFrameThenNoticesSilenceAndFailure) {
    auto script = std::make_shared<Script>();
    script->openDelay = 50ms;
    CaptureThread thread(std::make_unique<ScriptedStream>(script), Fast());
    std::atomic<int> told{0};
    thread.SetFrameNotifier([&told] { ++told; });
    int w = 0, h = 0;
    std::string error;
    ASSERT_TRUE(thread.Start(w, h, error)) << error;
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 24);
    ASSERT_TRUE(WaitFor([&] { return thread.FramesDelivered() >= 3; }, 2000));
    EXPECT_GE(told.load(), 3) << "every frame is announced";
    DibBuffer frame;
    ASSERT_TRUE(thread.TakeNewest(frame));
    EXPECT_EQ(frame.Width(), 32);
    EXPECT_TRUE(thread.IsDelivering());
    uint64_t number = 0;
    ASSERT_TRUE(thread.TakeNewer(frame, number));
    EXPECT_NE(number, 0u);
    thread.SetFrameNotifier({});
    const int toldBefore = told;
    ASSERT_TRUE(WaitFor([&] { return thread.FramesDelivered() >= 6; }, 2000));
    EXPECT_EQ(told.load(), toldBefore) << "a cleared notifier is not called";

    script->mode = 0; // the camera goes quiet
    EXPECT_TRUE(WaitFor([&] { return !thread.IsDelivering(); }, 2000));
    EXPECT_FALSE(thread.TakeNewest(frame)) << "a stale frame is not handed out";
    script->mode = 1;
    EXPECT_TRUE(WaitFor([&] { return thread.IsDelivering(); }, 2000)) << "a quiet camera is opened again";
    script->mode = -1; // pulled out
    EXPECT_TRUE(WaitFor([&] { return !thread.IsDelivering(); }, 2000));
    EXPECT_TRUE(WaitFor([&] { return script->closed.load(); }, 2000)) << "the device is closed by its thread";
}

TEST(CaptureThread, SlowOrFailingOpenEndsTheWaitInTime) {
    {
        auto script = std::make_shared<Script>();
        script->openOk = false;
        CaptureThread thread(std::make_unique<ScriptedStream>(script), Fast());
        int w = 0, h = 0;
        std::string error;
        EXPECT_FALSE(thread.Start(w, h, error));
        EXPECT_EQ(error, "scripted failure");
    }
    auto script = std::make_shared<Script>();
    script->openDelay = 800ms;
    QElapsedTimer t;
    t.start();
    {
        CaptureThread thread(std::make_unique<ScriptedStream>(script), Fast());
        int w = 0, h = 0;
        std::string error;
        EXPECT_FALSE(thread.Start(w, h, error));
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(thread.IsDelivering());
    } // destroyed while the open still runs
    EXPECT_LT(t.elapsed(), 700) << "the caller waited for the connect wait only";
    // The abandoned thread finishes the open, sees it is not wanted and closes the device.
    EXPECT_TRUE(WaitFor([&] { return script->closed.load(); }, 3000));
    EXPECT_EQ(script->reads.load(), 0);
}

TEST(CaptureThread, LostOrStalledDeviceIsOpenedAgainOnItsThreadAtTheSizeItComesBackWith) {
    for (int lost : {-1, 0}) { // pulled out; present but stalled
        SCOPED_TRACE(lost);
        auto script = std::make_shared<Script>();
        CaptureThread thread(std::make_unique<ScriptedStream>(script), Fast());
        int w = 0, h = 0;
        std::string error;
        ASSERT_TRUE(thread.Start(w, h, error)) << error;
        ASSERT_TRUE(WaitFor([&] { return thread.FramesDelivered() >= 1; }, 2000));
        EXPECT_EQ(thread.Connections(), 1u);

        // Gone; while it stays away every attempt fails and nothing is handed out.
        script->openOk = false;
        script->mode = lost;
        ASSERT_TRUE(WaitFor([&] { return script->opens.load() >= 3; }, 3000))
            << "no attempt to open it again";
        EXPECT_TRUE(script->closed.load());
        DibBuffer frame;
        EXPECT_FALSE(thread.TakeNewest(frame));
        EXPECT_FALSE(thread.IsDelivering());
        EXPECT_EQ(thread.Connections(), 1u);

        // It comes back at another size, with its driver slow to open: the caller's calls
        // answer at once meanwhile (a call that waited for the open would never return here).
        std::unique_lock hold(script->gate);
        script->width = 64, script->height = 48;
        script->openOk = true;
        script->mode = 1;
        ASSERT_TRUE(WaitFor([&] { return script->atGate.load() == 1; }, 3000));
        EXPECT_FALSE(thread.IsDelivering());
        EXPECT_FALSE(thread.TakeNewest(frame));
        EXPECT_EQ(thread.Connections(), 1u);
        thread.FrameSize(w, h);
        EXPECT_EQ(w, 32);
        hold.unlock();

        ASSERT_TRUE(WaitFor([&] { return thread.Connections() == 2u; }, 3000));
        thread.FrameSize(w, h);
        EXPECT_EQ(w, 64);
        EXPECT_EQ(h, 48);
        ASSERT_TRUE(WaitFor([&] { return thread.TakeNewest(frame); }, 3000));
        EXPECT_EQ(frame.Width(), 64);
        EXPECT_TRUE(thread.IsDelivering());
    }
}

TEST(CaptureThread, ReopeningUsesAFreshStreamWhenOneIsGiven) {
    auto first = std::make_shared<Script>();
    auto later = std::make_shared<Script>();
    later->width = 16, later->height = 8;
    int made = 0;
    CaptureThread thread(std::make_unique<ScriptedStream>(first), Fast(), [&made, later] {
        ++made;
        return std::make_unique<ScriptedStream>(later);
    });
    int w = 0, h = 0;
    std::string error;
    ASSERT_TRUE(thread.Start(w, h, error)) << error;
    first->mode = -1;
    ASSERT_TRUE(WaitFor([&] { return thread.Connections() == 2u; }, 3000));
    thread.FrameSize(w, h);
    EXPECT_EQ(w, 16);
    EXPECT_EQ(made, 1);
    EXPECT_EQ(first->opens.load(), 1) << "the lost stream is not opened again";
    DibBuffer frame;
    ASSERT_TRUE(WaitFor([&] { return thread.TakeNewest(frame); }, 3000));
    EXPECT_EQ(frame.Height(), 8);
}
