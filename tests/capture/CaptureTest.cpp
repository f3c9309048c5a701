// The capture window, driver selection and the test pattern, unplugging included.

#include "BmpBuilder.h"
#include "TestSupport.h"
#include "app/HeadlessView.h"
#include "capture/CaptureSubsystem.h"
#include "capture/TestPattern.h"
#include "model/SettingsKey.h"
#include "platform/SettingsStore.h"
#include "support/FakeDialogs.h"
#include "support/RecordingMessageBox.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <utility>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace kestrel;
using namespace kestrel::test;

namespace {

// A camera entry whose device never opens.
class DeadDevice final : public ICaptureDevice {
public:
    std::string Description() const override { return "Dead camera"; }
    std::string BusInfo() const override { return "usb-dead"; }
    bool Connect() override { return false; }
    void Disconnect() override {}
    DriverCaps Caps() const override { return {}; }
    int FrameWidth() const override { return 0; }
    int FrameHeight() const override { return 0; }
    bool TakeFrame(DibBuffer&) override { return false; }
    bool IsDelivering() const override { return false; }
};

// A camera with a capture thread of its own, driven by the test: it is lost and comes
// back (perhaps at another size) without the capture window doing anything.
struct CameraState {
    int width = 320, height = 240;
    bool delivering = true;
    uint64_t connections = 1;
    int opened = 0; // devices made by the driver list entry
};

class SelfReconnectingDevice final : public ICaptureDevice {
public:
    explicit SelfReconnectingDevice(CameraState& s) : m_s(s) { ++m_s.opened; }
    std::string Description() const override { return "Threaded camera"; }
    std::string BusInfo() const override { return "usb-threaded"; }
    bool Connect() override { return true; }
    void Disconnect() override {}
    DriverCaps Caps() const override { return {}; }
    int FrameWidth() const override { return m_s.width; }
    int FrameHeight() const override { return m_s.height; }
    bool TakeFrame(DibBuffer& frame) override {
        if (!m_s.delivering)
            return false;
        TestPatternDevice pattern;
        pattern.SetFormat(m_s.width, m_s.height, 24);
        pattern.Render(frame, 0, 0);
        return true;
    }
    bool IsDelivering() const override { return m_s.delivering; }
    bool ReconnectsItself() const override { return true; }
    uint64_t Connections() const override { return m_s.connections; }

private:
    CameraState& m_s;
};

struct Rig {
    QTemporaryDir dir;
    std::string root = dir.path().toStdString();
    SettingsStore store;
    ImageSettings image;
    HeadlessMainView view;
    RecordingMessageBox box;
    int reinit = 0, sizeClass = -99, pagesGenerated = 0;
    unsigned lastW = 0, lastH = 0;
    std::unique_ptr<CaptureSubsystem> capture;
    CameraState camera;
    std::vector<DriverEntry> cameras = {
        {"Dead camera", "usb-dead", [] { return std::make_unique<DeadDevice>(); }, {}}};

    int skinClass = -99; // the class the last skin switch was for
    Rig() {
        image.CaptureDevice = -1;
        view.CreateFrame(444, 349);
        view.CreateControl(IDC_PREVIEW_PLACEHOLDER, {166, 151, 206, 191}, 0);
    }
    ~Rig() { TestPatternDevice::SetUnpluggedForTest(false); }
    void Start() {
        CaptureSubsystem::Host host;
        host.image = &image;
        host.view = &view;
        host.messages = &box;
        host.store = &store;
        host.motionReinit = &reinit;
        host.lastCaptureWidth = &lastW;
        host.lastCaptureHeight = &lastH;
        host.sizeClass = &sizeClass;
        host.owner = this;
        host.webRoot = [this] { return root; };
        host.picturePassword = [] { return std::string(); };
        host.viewerCount = [] { return 0; };
        host.generatePages = [this] { ++pagesGenerated; };
        host.switchSkin = [this] { skinClass = sizeClass; };
        host.frameSizeFor = [](int cls, int& w, int& h) {
            static const int sizes[3][2] = {{444, 349}, {610, 495}, {933, 690}};
            w = sizes[cls][0], h = sizes[cls][1];
        };
        capture = std::make_unique<CaptureSubsystem>(host, [this] { return cameras; });
        std::string name;
        capture->DriverDescription(0, name);
        capture->CreateCaptureWindow();
    }
    void StoreTestPatternSize(int index) {
        CSettingsKey key(store);
        key.Create(HKEY_LOCAL_MACHINE, "Software\\Velmora\\Kestrels\\Drivers\\TestPattern");
        key.SetDword("Size", static_cast<uint32_t>(index));
    }
};

} // namespace

TEST(CaptureRules, SizeClassesAndPreviewPeriods) {
    struct Row {
        int w, h, cls;
    };
    for (const Row& r : {Row{176, 144, 0}, Row{320, 480, 1}, Row{640, 480, 2}, Row{320, 240, 1},
                         Row{80, 60, 0}, Row{177, 144, 1}, Row{1280, 720, 2}, Row{0, 0, 0}})
        EXPECT_EQ(SizeClassFor(r.w, r.h), r.cls) << r.w << "x" << r.h;
    EXPECT_EQ(PreviewPeriodFor(0), 66);
    EXPECT_EQ(PreviewPeriodFor(1), 33);
    EXPECT_EQ(PreviewPeriodFor(2), 0);
}

TEST(CaptureRules, DriverSettingsKeyNames) {
    EXPECT_EQ(DriverSettings::KeyName("usb-0000:00:14.0-1"), "usb-0000:00:14.0-1");
    EXPECT_EQ(DriverSettings::KeyName("platform:vivid 0/x\\y"), "platform:vivid_0_x_y");
    EXPECT_EQ(DriverSettings::KeyName("caf\xC3\xA9"), "caf__");
    EXPECT_EQ(DriverSettings::KeyName(""), "_");
}

TEST(CaptureWindowSetup, NeedsThePlaceholderAndTakesItsCorner) {
    Rig none;
    none.view.DestroyControl(IDC_PREVIEW_PLACEHOLDER);
    none.Start();
    EXPECT_EQ(none.capture->Window(), nullptr);

    Rig rig;
    rig.image.CapFPS = 1;
    rig.Start();
    ASSERT_NE(rig.capture->Window(), nullptr);
    EXPECT_FALSE(rig.view.HasControl(IDC_PREVIEW_PLACEHOLDER));
    const Rect g = rig.view.PreviewGeometry();
    EXPECT_EQ(g.left, 166);
    EXPECT_EQ(g.top, 151);
    EXPECT_EQ(g.Width(), 160);
    EXPECT_EQ(g.Height(), 120);
    EXPECT_EQ(rig.capture->Window()->PreviewRate(), 33);
    EXPECT_EQ(rig.reinit, 1);
    EXPECT_EQ(rig.image.CaptureDevice, -1);
    EXPECT_EQ(rig.capture->Window()->GetUserData(), &rig);
    std::string name;
    ASSERT_TRUE(rig.capture->DriverDescription(0, name));
    EXPECT_EQ(name, "Kestrel Test Pattern");
    ASSERT_TRUE(rig.capture->DriverDescription(1, name));
    EXPECT_EQ(name, "Dead camera");
    EXPECT_FALSE(rig.capture->DriverDescription(2, name));
}

TEST(CaptureSelection, ConnectResizeAndReskin) {
    Rig rig;
    rig.StoreTestPatternSize(2); // 176 x 144, kept by the driver from an earlier run
    rig.image.CaptureDevice = 0;
    rig.Start();
    ASSERT_EQ(rig.image.CaptureDevice, 0);
    EXPECT_EQ(rig.lastW, 176u);
    EXPECT_EQ(rig.lastH, 144u);
    EXPECT_EQ(rig.sizeClass, 0);
    EXPECT_EQ(rig.view.Width(), 444);
    EXPECT_EQ(rig.view.Height(), 349);
    EXPECT_EQ(rig.skinClass, 0);
    EXPECT_EQ(rig.view.PreviewGeometry().Width(), 176);
    EXPECT_TRUE(rig.capture->Window()->PreviewOn());

    // The same driver again: only the motion flag.
    rig.reinit = 0;
    rig.capture->OnDriverListChosen(1);
    EXPECT_EQ(rig.reinit, 1);
    EXPECT_TRUE(rig.capture->Window()->IsConnected());

    // A driver that cannot be opened.
    rig.capture->OnDriverListChosen(2);
    EXPECT_EQ(rig.image.CaptureDevice, -1);
    ASSERT_EQ(rig.box.texts.size(), 1u);
    EXPECT_EQ(rig.box.texts[0], kCannotOpenDeviceMessage);
    EXPECT_FALSE(rig.capture->Window()->IsConnected());

    // Back to the test pattern, then "No Driver Selected".
    rig.capture->OnDriverListChosen(1);
    EXPECT_EQ(rig.image.CaptureDevice, 0);
    rig.reinit = 0;
    rig.capture->OnDriverListChosen(0);
    EXPECT_EQ(rig.image.CaptureDevice, -1);
    EXPECT_EQ(rig.reinit, 1);
    EXPECT_FALSE(rig.capture->Window()->IsConnected());
    EXPECT_EQ(rig.capture->Caps().hasFormatDialog, false);
}

TEST(CaptureSelection, FormatDialogChangesSizeStoresItAndRegeneratesPages) {
    Rig rig;
    rig.image.CaptureDevice = 0;
    rig.Start();
    EXPECT_EQ(rig.sizeClass, 1);
    const DriverCaps caps = rig.capture->Caps();
    EXPECT_TRUE(caps.hasFormatDialog);
    EXPECT_TRUE(caps.hasSourceDialog);
    EXPECT_FALSE(caps.hasDisplayDialog);

    InstallCaptureDialogs(std::make_unique<ChoosingCaptureDialogs>("Size", "640 x 480"));
    rig.reinit = 0;
    rig.capture->OnVideoFormat();
    InstallCaptureDialogs(nullptr);
    EXPECT_EQ(rig.lastW, 640u);
    EXPECT_EQ(rig.lastH, 480u);
    EXPECT_EQ(rig.sizeClass, 2);
    EXPECT_EQ(rig.view.Width(), 933);
    EXPECT_EQ(rig.pagesGenerated, 1);
    EXPECT_EQ(rig.reinit, 1);
    StoredKey* key = rig.store.FindKey("Software\\Velmora\\Kestrels\\Drivers\\TestPattern");
    ASSERT_NE(key, nullptr);
    ASSERT_NE(key->Find("Size"), nullptr);
    // A new device object reads it back.
    TestPatternDevice again(&rig.store);
    EXPECT_EQ(again.FrameWidth(), 640);

    // Headless dialogs are cancelled: nothing changes.
    rig.capture->OnVideoFormat();
    EXPECT_EQ(rig.lastW, 640u);
}

TEST(CaptureWindow, SavedFramesAreBottomUpBmpsInTheDriversFormat) {
    DriverCatalog catalog(nullptr, [] { return std::vector<DriverEntry>{}; });
    catalog.Refresh();
    CCaptureWindow window(catalog, nullptr);
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/capframe.bmp";
    EXPECT_FALSE(window.GrabFrameNoStop());
    EXPECT_FALSE(window.FileSaveDib(path));
    ASSERT_TRUE(window.DriverConnect(0));
    for (int bits : {16, 24, 32}) {
        static_cast<TestPatternDevice*>(window.Device())->SetFormat(80, 60, bits);
        ASSERT_TRUE(window.GrabFrameNoStop());
        ASSERT_TRUE(window.FileSaveDib(path));
        DibBuffer back;
        ASSERT_TRUE(back.LoadBmp(path, DibBuffer::kAllDepths));
        EXPECT_EQ(back.BitCount(), bits);
        EXPECT_EQ(back.Height(), 60) << "bottom-up";
        EXPECT_EQ(back.Info()->biCompression, BI_RGB) << "16-bit frames are plain 5-5-5";
        CDib dib;
        ASSERT_GT(dib.Load(path), 0u);
        // The first colour bar (white) at the top left below the counter.
        EXPECT_TRUE(Near(dib.Image().pixel(5, 12) & 0xFFFFFF, 0xFFFFFF, 8)) << bits;
        EXPECT_TRUE(Near(dib.Image().pixel(77, 12) & 0xFFFFFF, 0x0000FF, 8)) << bits;
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1) << "no temporary file left behind";
}

TEST(TestPattern, FrameDrawnOverAnEarlierOneEqualsAFreshOne) {
    // Two buffers taken in turn (as the grabbed and the preview frame are), each drawn over
    // what it held; every frame must equal one drawn into an empty buffer.
    struct Step {
        uint32_t counter;
        std::time_t clock; // 0: a still picture, no clock
        int buffer;
        bool spoil; // the buffer's owner writes into it first
    };
    const Step steps[] = {{1, 1000, 0, false},  {2, 1000, 1, false},  {9, 1001, 0, false},
                          {10, 1001, 1, false}, {99, 0, 0, false},    {100, 1002, 1, false},
                          {101, 1002, 0, true}, {40, 1003, 1, false}, {41, 0, 1, false},
                          {42, 1004, 0, false}};
    for (auto [w, h] : {std::pair{640, 480}, std::pair{80, 60}, std::pair{7, 5}, std::pair{2, 400}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        TestPatternDevice device;
        device.SetFormat(w, h, 24);
        DibBuffer buffers[2];
        for (const Step& s : steps) {
            SCOPED_TRACE(s.counter);
            DibBuffer& frame = buffers[s.buffer];
            if (s.spoil && !frame.IsEmpty())
                frame.Pixels()[frame.Pixels().size() / 2] ^= 0xFF;
            device.Render(frame, s.counter, s.clock);
            TestPatternDevice fresh;
            fresh.SetFormat(w, h, 24);
            DibBuffer want;
            fresh.Render(want, s.counter, s.clock);
            // Read through a const view: writable access would clear the buffer's tag.
            const DibBuffer& got = frame;
            ASSERT_EQ(got.Header(), want.Header());
            ASSERT_TRUE(got.Pixels() == want.Pixels());
        }
        // Another size and back: the buffer is drawn whole again.
        device.SetFormat(w + 1, h, 24);
        device.Render(buffers[0], 5, 1000);
        device.SetFormat(w, h, 24);
        device.Render(buffers[0], 6, 1000);
        TestPatternDevice fresh;
        fresh.SetFormat(w, h, 24);
        DibBuffer want;
        fresh.Render(want, 6, 1000);
        EXPECT_TRUE(std::as_const(buffers[0]).Pixels() == want.Pixels());
    }
}

TEST(CaptureWindow, PreviewRunsHeadlessAndCallsTheFrameCallback) {
    DriverCatalog catalog(nullptr, [] { return std::vector<DriverEntry>{}; });
    HeadlessMainView view;
    CCaptureWindow window(catalog, &view);
    int calls = 0;
    window.SetCallbackFrame([&](CCaptureWindow& w) {
        ++calls;
        w.GrabFrameNoStop(); // grabbing from the callback never calls it again
        w.PreviewTick();
        return 1;
    });
    ASSERT_TRUE(window.DriverConnect(0));
    window.PreviewTick();
    EXPECT_EQ(calls, 0) << "preview off";
    window.SetPreview(true);
    window.PreviewTick();
    window.PreviewTick();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(window.PreviewFrames(), 2u);
    EXPECT_EQ(view.PreviewFrames(), 0) << "headless paints nothing";
    EXPECT_TRUE(window.GrabFrameNoStop());
    EXPECT_EQ(calls, 2);
    // The timer drives it too.
    window.SetPreviewRate(5);
    QElapsedTimer t;
    t.start();
    while (calls < 5 && t.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_GE(calls, 5);
}

TEST(CaptureUnplug, CameraOffPictureWhileGoneAndReconnectedWhenBack) {
    Rig rig;
    rig.image.CaptureDevice = 0;
    rig.Start();
    CCaptureWindow* window = rig.capture->Window();
    window->SetReconnectInterval(std::chrono::milliseconds(0));
    static_cast<TestPatternDevice*>(window->Device())->SetStill(true);
    ASSERT_TRUE(WriteBytes(
        rig.root + "/off320x240.bmp",
        BuildBmp({.width = 320, .height = 240, .bits = 24, .pixels = Pixels24(320, 240, [](int, int) {
                                                               return 0xFF00FFu;
                                                           })})));
    rig.capture->ComposeFrame();
    DecodedJpeg d = DecodeJpeg(rig.root + "/frame.jpg");
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(Near(d.At(20, 50), 0xFFFFFF, 40)) << "the camera";

    TestPatternDevice::SetUnpluggedForTest(true);
    rig.reinit = 0;
    EXPECT_FALSE(window->GrabFrameNoStop());
    rig.capture->ComposeFrame();
    d = DecodeJpeg(rig.root + "/frame.jpg");
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(Near(d.At(20, 50), 0xFF00FF, 40)) << "the camera-off picture, not a stale capframe.bmp";
    EXPECT_EQ(rig.image.CaptureDevice, 0) << "the choice is kept while the camera is away";
    EXPECT_EQ(rig.reinit, 0);

    TestPatternDevice::SetUnpluggedForTest(false);
    EXPECT_TRUE(window->GrabFrameNoStop()) << "found again by its bus information";
    EXPECT_EQ(rig.reinit, 1) << "the motion detector starts afresh";
    static_cast<TestPatternDevice*>(window->Device())->SetStill(true);
    rig.capture->ComposeFrame();
    d = DecodeJpeg(rig.root + "/frame.jpg");
    EXPECT_TRUE(Near(d.At(20, 50), 0xFFFFFF, 40)) << "the camera again";
}

// A camera that is absent or busy when the program starts keeps its place in the settings
// and is connected once it can be opened; the owner is told once.
TEST(CaptureUnplug, CameraMissingAtStartStaysChosenAndConnectsWhenItAppears) {
    Rig rig;
    rig.StoreTestPatternSize(2); // 176 x 144
    rig.image.CaptureDevice = 0;
    TestPatternDevice::SetUnpluggedForTest(true);
    rig.Start();
    CCaptureWindow* window = rig.capture->Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(rig.image.CaptureDevice, 0) << "the stored choice survives a failed start";
    EXPECT_FALSE(window->IsConnected());
    EXPECT_TRUE(window->WaitingForDriver());
    window->SetReconnectInterval(std::chrono::milliseconds(0));
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(window->GrabFrameNoStop());
    ASSERT_EQ(rig.box.texts.size(), 1u) << "said once, not at every attempt";
    EXPECT_EQ(rig.box.texts[0], kCannotOpenDeviceMessage);

    TestPatternDevice::SetUnpluggedForTest(false);
    rig.reinit = 0;
    EXPECT_TRUE(window->GrabFrameNoStop()) << "connected at the next attempt";
    EXPECT_FALSE(window->WaitingForDriver());
    EXPECT_EQ(rig.image.CaptureDevice, 0);
    EXPECT_EQ(rig.lastW, 176u) << "the frame size follows the late connection";
    EXPECT_EQ(rig.sizeClass, 0);
    EXPECT_TRUE(window->PreviewOn());
    EXPECT_EQ(rig.pagesGenerated, 1) << "pages follow the new picture size";
    EXPECT_EQ(rig.reinit, 1);
    EXPECT_EQ(rig.box.texts.size(), 1u);
}

TEST(CaptureUnplug, OwnersChoiceEndsTheWaitForAMissingCamera) {
    Rig rig;
    rig.image.CaptureDevice = 0;
    TestPatternDevice::SetUnpluggedForTest(true);
    rig.Start();
    ASSERT_TRUE(rig.capture->Window()->WaitingForDriver());
    rig.capture->OnDriverListChosen(0); // "No Driver Selected"
    EXPECT_EQ(rig.image.CaptureDevice, -1);
    EXPECT_FALSE(rig.capture->Window()->WaitingForDriver());
    TestPatternDevice::SetUnpluggedForTest(false);
    rig.capture->Window()->SetReconnectInterval(std::chrono::milliseconds(0));
    EXPECT_FALSE(rig.capture->Window()->GrabFrameNoStop()) << "the wait is over, nothing connects by itself";
    EXPECT_EQ(rig.image.CaptureDevice, -1);
}

TEST(CaptureUnplug, CameraBackAtAnotherSizeResizesReskinsAndRegeneratesThePages) {
    Rig rig;
    rig.image.CaptureDevice = 0;
    rig.Start();
    CCaptureWindow* window = rig.capture->Window();
    window->SetReconnectInterval(std::chrono::milliseconds(0));
    ASSERT_EQ(rig.lastW, 320u);
    ASSERT_EQ(rig.sizeClass, 1);
    struct Row {
        int storedSize; // index into the test pattern's sizes while it is away
        unsigned w, h;
        int sizeClass, frameWidth;
        bool pagesAgain;
    } rows[] = {
        {5, 640, 480, 2, 933, true},  // another camera in the port
        {5, 640, 480, 2, 933, false}, // the same one again: nothing changes
        {1, 160, 120, 0, 444, true},
    };
    for (const Row& r : rows) {
        const int pages = rig.pagesGenerated;
        TestPatternDevice::SetUnpluggedForTest(true);
        EXPECT_FALSE(window->GrabFrameNoStop());
        rig.StoreTestPatternSize(r.storedSize);
        TestPatternDevice::SetUnpluggedForTest(false);
        rig.reinit = 0;
        EXPECT_TRUE(window->GrabFrameNoStop());
        EXPECT_EQ(rig.reinit, 1);
        EXPECT_EQ(std::make_pair(rig.lastW, rig.lastH), std::make_pair(r.w, r.h)) << r.storedSize;
        EXPECT_EQ(rig.sizeClass, r.sizeClass) << r.storedSize;
        EXPECT_EQ(rig.view.Width(), r.frameWidth) << r.storedSize;
        EXPECT_EQ(window->Geometry().Width(), static_cast<int>(r.w)) << r.storedSize;
        EXPECT_EQ(rig.pagesGenerated, pages + (r.pagesAgain ? 1 : 0)) << r.storedSize;
    }
}

TEST(CaptureUnplug, CameraWithItsOwnThreadIsNeverReconnectedFromThisThread) {
    Rig rig;
    rig.cameras.push_back({"Threaded camera", "usb-threaded",
                           [&rig] { return std::make_unique<SelfReconnectingDevice>(rig.camera); }});
    rig.Start();
    rig.capture->SelectCaptureDevice(2);
    ASSERT_EQ(rig.image.CaptureDevice, 2);
    CCaptureWindow* window = rig.capture->Window();
    window->SetReconnectInterval(std::chrono::milliseconds(0));
    ASSERT_EQ(rig.camera.opened, 1);
    ASSERT_EQ(rig.lastW, 320u);
    const int pages = rig.pagesGenerated;

    rig.camera.delivering = false;
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(window->GrabFrameNoStop());
    EXPECT_EQ(rig.camera.opened, 1) << "the interface thread opened the camera itself";

    // Its thread found it again, at another size.
    rig.camera.width = 640, rig.camera.height = 480;
    rig.camera.connections = 2;
    rig.camera.delivering = true;
    rig.reinit = 0;
    rig.capture->ComposeFrame();
    EXPECT_EQ(rig.camera.opened, 1);
    EXPECT_EQ(rig.reinit, 1);
    EXPECT_EQ(std::make_pair(rig.lastW, rig.lastH), std::make_pair(640u, 480u));
    EXPECT_EQ(rig.sizeClass, 2);
    EXPECT_EQ(rig.view.Width(), 933);
    EXPECT_EQ(rig.pagesGenerated, pages + 1);
    DecodedJpeg d = DecodeJpeg(rig.root + "/frame.jpg");
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 640) << "the picture follows the new size";
}
