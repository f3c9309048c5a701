// The motion detector's numbers and the per-frame callback with its snapshots.

#include "BmpBuilder.h"
#include "TestSupport.h"
#include "app/HeadlessView.h"
#include "capture/CaptureWindow.h"
#include "capture/MotionDetector.h"
#include "capture/TestPattern.h"
#include "support/RecordingMessageBox.h"

#include <gtest/gtest.h>

#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <cerrno>
#include <cmath>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

BITMAPINFOHEADER Header(int w, int h, int bits) {
    BITMAPINFOHEADER ih;
    DibBuffer::InitHeader(ih, w, h, bits);
    return ih;
}

// A 24-bit frame of one grey level.
std::vector<uint8_t> Grey(int w, int h, int level) {
    return std::vector<uint8_t>(DibStride(w, 24) * h, level);
}

int LumaOfGrey(int v) {
    return static_cast<int>(0.2569 * v + 0.5044 * v + 0.0978 * v + 16);
}

// Two grey levels whose luminance differs by exactly `delta`.
std::pair<int, int> GreyPairWithLumaStep(int delta) {
    for (int a = 0; a < 256; ++a)
        for (int b = a; b < 256; ++b)
            if (LumaOfGrey(b) - LumaOfGrey(a) == delta)
                return {a, b};
    return {-1, -1};
}

// Sets the grid sample (column k, first sample row) of a 24-bit frame to grey `v`.
void SetSample(std::vector<uint8_t>& px, int w, int k, int v) {
    uint8_t* p = &px[8 * DibStride(w, 24) + 3 * 8 * (k + 1)];
    p[0] = p[1] = p[2] = static_cast<uint8_t>(v);
}

} // namespace

TEST(MotionDetector, SampleCountAndChangeLimits) {
    MotionDetector d;
    EXPECT_EQ(d.Init(Header(160, 120, 24)), 1);
    EXPECT_EQ(d.SampleBytes(), 900u);
    struct Row {
        int motionQuality;
        int limit;
    };
    for (const Row& r : {Row{75, 67}, Row{0, 8}, Row{100, 90}, Row{5, 8}, Row{10, 9}}) {
        d.SetRatio(r.motionQuality * 0.001);
        EXPECT_EQ(d.ChangeLimit(), r.limit) << "MotionQuality " << r.motionQuality;
    }
    d.SetRatio(-1);
    EXPECT_DOUBLE_EQ(d.Ratio(), 0.0001);
    d.SetSteps(1, 2); // raised to 4 x 4
    EXPECT_EQ(d.SampleBytes(), static_cast<size_t>(30 * 40 * 3));
}

TEST(MotionDetector, FirstFrameCountsThenOnlyChangesDo) {
    MotionDetector d;
    d.Init(Header(160, 120, 24));
    d.SetRatio(0); // limit 8 samples
    auto frame = Grey(160, 120, 100);
    EXPECT_EQ(d.Compare(frame), 1) << "the reference starts as zeros";
    EXPECT_EQ(d.Compare(frame), 0) << "identical frame";

    auto [a17, b17] = GreyPairWithLumaStep(17);
    auto [a16, b16] = GreyPairWithLumaStep(16);
    ASSERT_GE(a17, 0);
    ASSERT_GE(a16, 0);
    struct Row {
        int base, changed, samples;
        int want;
        const char* rule;
    };
    const Row rows[] = {
        {a17, b17, 9, 1, "nine samples up by 17 exceed the limit of 8"},
        {a17, b17, 8, 0, "eight samples are not more than the limit"},
        {a16, b16, 19, 0, "a change of 16 counts for nothing"},
    };
    for (const Row& r : rows) {
        auto base = Grey(160, 120, r.base);
        d.Init(Header(160, 120, 24));
        d.SetRatio(0);
        ASSERT_EQ(d.Compare(base), 1);
        auto moved = base;
        for (int k = 0; k < r.samples; ++k)
            SetSample(moved, 160, k, r.changed);
        EXPECT_EQ(d.Compare(moved), r.want) << r.rule;
        // Without motion the reference stays: the same change is seen again.
        if (r.want == 0)
            EXPECT_EQ(d.Compare(moved), 0);
        else
            EXPECT_EQ(d.Compare(moved), 0) << "after motion the frame became the reference";
    }
    EXPECT_EQ(d.Compare(std::span<const uint8_t>(frame).first(100)), 0) << "a short block is not analysed";
}

TEST(MotionDetector, SixteenAndThirtyTwoBitFramesAreSampled) {
    for (int bits : {16, 32}) {
        MotionDetector d;
        d.Init(Header(64, 48, bits));
        std::vector<uint8_t> px(DibStride(64, bits) * 48, 0);
        ASSERT_EQ(d.Compare(px), 1);
        // Black gives Y 16 and Cr, Cb 128 in every sample.
        EXPECT_EQ(d.ReferenceGrid()[0], 16);
        EXPECT_EQ(d.ReferenceGrid()[1], 128);
        EXPECT_EQ(d.ReferenceGrid()[2], 128);
        std::fill(px.begin(), px.end(), 0xFF); // white
        EXPECT_EQ(d.Compare(px), 1) << bits;
        EXPECT_GT(d.ReferenceGrid()[0], 200);
    }
    MotionDetector eight;
    eight.Init(Header(64, 48, 8));
    std::vector<uint8_t> px(64 * 48, 7);
    EXPECT_EQ(eight.Compare(px), 0) << "8-bit frames are never converted";
}

TEST(MotionSnapshots, NameFollowsTheTime) {
    std::tm tm{};
    tm.tm_year = 103, tm.tm_mon = 4, tm.tm_mday = 17, tm.tm_hour = 14, tm.tm_min = 3, tm.tm_sec = 9;
    EXPECT_EQ(SnapshotPath("/srv/web", tm), "/srv/web/logpic/2003-05-17-14-03-09.jpg");
}

namespace {

struct MotionRig {
    QTemporaryDir dir;
    std::string root = dir.path().toStdString();
    ImageSettings image;
    HeadlessMainView view;
    RecordingMessageBox box;
    int reinit = 1;
    DriverCatalog catalog{nullptr, [] { return std::vector<DriverEntry>{}; }};
    CCaptureWindow window{catalog, &view};
    std::time_t clock = 1000000000;
    MotionWatch watch{MotionWatch::Inputs{&image, [this] { return root; }, &jpeg, &view, &box, &reinit,
                                          [this] { return clock++; }}};
    JpegWriter jpeg;

    MotionRig() {
        image.UseMotion = 1;
        image.CaptureDevice = 0;
        image.MotionQuality = 75;
        window.SetUserData(this);
        catalog.Refresh();
    }
    TestPatternDevice* Pattern() { return static_cast<TestPatternDevice*>(window.Device()); }
    int Snapshots() {
        return static_cast<int>(QDir(QString::fromStdString(root + "/logpic")).entryList(QDir::Files).size());
    }
};

} // namespace

TEST(MotionWatch, FirstFrameBeepsAndLeavesASnapshotInANewLogpicFolder) {
    MotionRig rig;
    ASSERT_TRUE(rig.window.DriverConnect(0));
    rig.Pattern()->SetStill(true);
    EXPECT_EQ(rig.watch.FrameCallback(rig.window), 1);
    EXPECT_EQ(rig.reinit, 0);
    EXPECT_EQ(rig.view.Beeps(), 1);
    ASSERT_EQ(rig.Snapshots(), 1);
    EXPECT_EQ(rig.watch.Detector().ChangeLimit(),
              std::max(8, static_cast<int>(rig.watch.Detector().SampleBytes() * 0.075)));
    // The still picture again: nothing.
    EXPECT_EQ(rig.watch.FrameCallback(rig.window), 1);
    EXPECT_EQ(rig.view.Beeps(), 1);
    // Another frame size re-initialises: the next frame counts as motion again.
    for (int bits : {16, 32}) {
        rig.Pattern()->SetFormat(160, 120, bits);
        EXPECT_EQ(rig.watch.FrameCallback(rig.window), 1);
        EXPECT_EQ(rig.watch.Detector().Header().biWidth, 160);
        EXPECT_EQ(rig.watch.Detector().Header().biBitCount, bits);
    }
    EXPECT_EQ(rig.view.Beeps(), 3);
    ASSERT_EQ(rig.Snapshots(), 3);
    // Each snapshot is an upright 24-bit JPEG of the frame: white first colour bar at the top left.
    for (const QString& name : QDir(QString::fromStdString(rig.root + "/logpic")).entryList(QDir::Files)) {
        const DecodedJpeg d = DecodeJpeg(rig.root + "/logpic/" + name.toStdString());
        ASSERT_TRUE(d.ok);
        EXPECT_TRUE(Near(d.At(d.width / 14, d.height / 2 - d.height / 4), 0xFFFFFF, 40))
            << name.toStdString();
        EXPECT_TRUE(Near(d.At(d.width - 3, d.height / 2 - d.height / 4), 0x0000FF, 40)) << name.toStdString();
    }
    EXPECT_TRUE(rig.box.texts.empty());
}

TEST(MotionWatch, OffUnreadableOrNoDeviceDoesNothing) {
    MotionRig rig;
    // No driver connected: the frame cannot be read, nothing is initialised.
    EXPECT_EQ(rig.watch.FrameCallback(rig.window), 1);
    EXPECT_EQ(rig.reinit, 1);
    EXPECT_FALSE(rig.watch.Detector().Initialised());
    ASSERT_TRUE(rig.window.DriverConnect(0));
    rig.image.UseMotion = 0;
    EXPECT_EQ(rig.watch.FrameCallback(rig.window), 1);
    EXPECT_EQ(rig.view.Beeps(), 0);
    EXPECT_FALSE(QDir(QString::fromStdString(rig.root + "/logpic")).exists());
    rig.image.UseMotion = 1;
    rig.image.CaptureDevice = -1;
    EXPECT_EQ(rig.watch.FrameCallback(rig.window), 0);
    EXPECT_EQ(rig.view.Beeps(), 0);
    rig.window.SetUserData(nullptr);
    EXPECT_EQ(rig.watch.FrameCallback(rig.window), 0);
}

TEST(MotionWatch, SnapshotFolderThatCannotBeMadeIsReportedOnce) {
    MotionRig rig;
    ASSERT_TRUE(WriteBytes(rig.root + "/file", {1}));
    rig.root += "/file"; // a file where the web root should be: "logpic" cannot be made
    ASSERT_TRUE(rig.window.DriverConnect(0));
    for (int i = 0; i < 3; ++i) {
        rig.reinit = 1; // every frame is motion
        rig.watch.FrameCallback(rig.window);
    }
    EXPECT_EQ(rig.view.Beeps(), 3);
    ASSERT_EQ(rig.box.texts.size(), 1u);
    EXPECT_NE(rig.box.texts[0].find("logpic"), std::string::npos);
}

TEST(MotionWatch, SnapshotsThatCannotBeSavedAreSaidOnceUntilOneIsSavedAgain) {
    MotionRig rig;
    ASSERT_TRUE(rig.window.DriverConnect(0));
    auto motion = [&rig] {
        rig.reinit = 1; // every frame is motion
        rig.watch.FrameCallback(rig.window);
    };
    auto said = [&rig](size_t i, const std::string& what) {
        return i < rig.box.texts.size() && rig.box.texts[i].find(what) != std::string::npos;
    };
    // "logpic" is a file: said once, with the path and the reason.
    const std::string logpic = rig.root + "/logpic";
    ASSERT_TRUE(WriteBytes(logpic, {1}));
    for (int i = 0; i < 3; ++i)
        motion();
    EXPECT_EQ(rig.view.Beeps(), 3);
    ASSERT_EQ(rig.box.texts.size(), 1u);
    EXPECT_TRUE(said(0, logpic)) << rig.box.texts[0];
    EXPECT_TRUE(said(0, ErrorText(ENOTDIR))) << rig.box.texts[0];
    // A folder again: the snapshot is kept and nothing more is said.
    ASSERT_EQ(::unlink(logpic.c_str()), 0);
    ASSERT_EQ(::mkdir(logpic.c_str(), 0755), 0);
    motion();
    EXPECT_EQ(rig.Snapshots(), 1);
    EXPECT_EQ(rig.box.texts.size(), 1u);
    // The next snapshots' names are taken by folders: the write fails, said once more.
    std::vector<std::string> taken;
    for (std::time_t t = rig.clock; t < rig.clock + 3; ++t) {
        std::tm tm{};
        localtime_r(&t, &tm);
        taken.push_back(SnapshotPath(rig.root, tm));
        ASSERT_EQ(::mkdir(taken.back().c_str(), 0755), 0);
    }
    for (int i = 0; i < 3; ++i)
        motion();
    ASSERT_EQ(rig.box.texts.size(), 2u);
    EXPECT_TRUE(said(1, taken[0])) << rig.box.texts[1];
    EXPECT_TRUE(said(1, ErrorText(EISDIR))) << rig.box.texts[1];
}

namespace {

// A camera whose frames arrive by themselves, numbered in their first pixel, as a capture
// thread delivers them: the window is told of each one and takes only frames it has not
// taken before.
struct ArrivingFrames {
    DibBuffer frame;
    uint64_t number = 0;
    std::function<void()> notify;

    ArrivingFrames() {
        BITMAPINFOHEADER ih;
        DibBuffer::InitHeader(ih, 160, 120, 24);
        std::fill_n(frame.Prepare(ih), DibStride(160, 24) * 120, 90);
    }
    void Arrive() {
        ++number;
        frame.Pixels()[0] = static_cast<uint8_t>(number); // outside the sampled grid
        if (notify)
            notify();
    }
};

class ArrivingCamera final : public ICaptureDevice {
public:
    explicit ArrivingCamera(ArrivingFrames& feed) : m_feed(feed) {}
    std::string Description() const override { return "arriving"; }
    std::string BusInfo() const override { return "arriving"; }
    bool Connect() override { return true; }
    void Disconnect() override {}
    DriverCaps Caps() const override { return {}; }
    int FrameWidth() const override { return 160; }
    int FrameHeight() const override { return 120; }
    bool TakeFrame(DibBuffer& frame) override {
        return m_feed.number && frame.CopyFrom(m_feed.frame.Header(), m_feed.frame.Pixels());
    }
    bool IsDelivering() const override { return true; }
    bool TakeNewFrame(DibBuffer& frame, uint64_t& number) override {
        if (m_feed.number == number || !TakeFrame(frame))
            return false;
        number = m_feed.number;
        return true;
    }
    void SetFrameNotifier(std::function<void()> notify) override { m_feed.notify = std::move(notify); }

private:
    ArrivingFrames& m_feed;
};

} // namespace

TEST(MotionWatch, EachArrivedFrameIsCheckedOnceWhateverThePreviewRate) {
    struct Case {
        int fps, previewMs;
    };
    for (const Case c : {Case{10, 66}, Case{10, 33}, Case{30, 66}, Case{30, 33}}) {
        SCOPED_TRACE(std::to_string(c.fps) + " fps, preview every " + std::to_string(c.previewMs) + " ms");
        MotionRig rig;
        ArrivingFrames feed;
        DriverCatalog catalog{
            nullptr, [&feed] {
                return std::vector<DriverEntry>{
                    {"arriving", "arriving", [&feed] { return std::make_unique<ArrivingCamera>(feed); }, {}}};
            }};
        CCaptureWindow window{catalog, &rig.view};
        window.SetUserData(&rig);
        std::vector<int> seen;
        window.SetCallbackFrame([&](CCaptureWindow& w) {
            seen.push_back(w.CallbackFrame() ? w.CallbackFrame()->Pixels()[0] : -1);
            return rig.watch.FrameCallback(w);
        });
        ASSERT_TRUE(window.DriverConnect(1));
        window.SetPreviewRate(c.previewMs);
        window.SetPreview(true);
        // Two seconds: frames arrive at the camera's rate, the preview period passes at
        // its own, and queued work runs now and then.
        const int frames = 2 * c.fps;
        for (int ms = 0, arrived = 0; ms < 2000; ++ms) {
            if (arrived < frames && ms >= arrived * 1000 / c.fps) {
                feed.Arrive();
                ++arrived;
            }
            if (ms % c.previewMs == 0)
                window.PreviewTick();
            if (ms % 7 == 0)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        window.SetPreview(false);
        EXPECT_EQ(rig.watch.FramesChecked(), static_cast<uint64_t>(frames));
        ASSERT_EQ(seen.size(), static_cast<size_t>(frames));
        for (int i = 0; i < frames; ++i)
            EXPECT_EQ(seen[i], (i + 1) & 0xFF) << "check " << i;
        // The first frame after the start is motion; the same picture again is not.
        EXPECT_EQ(rig.view.Beeps(), 1);
    }
}
