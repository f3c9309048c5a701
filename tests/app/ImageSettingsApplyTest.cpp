// The image settings command without a display: the dialog's answer, and the apply step
// with the overlay rule, the preview period, the motion ratio and the next composed frame.

#include "capture/BmpBuilder.h"
#include "capture/TestSupport.h"

#include "app/Composition.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "capture/CaptureSubsystem.h"
#include "capture/ImageSettingsRules.h"
#include "platform/Paths.h"
#include "server/WebServer.h"
#include "support/RecordingMessageBox.h"
#include "support/TestPorts.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

// Below the range outgoing connections are given: another test's client cannot take it
// before the program listens.
unsigned FreePort() {
    return kestrel::testing::ServerTestPort();
}

std::vector<uint8_t> SolidBmp(int w, int h, uint32_t rgb) {
    BmpShape shape;
    shape.width = w;
    shape.height = h;
    shape.pixels = Pixels24(w, h, [rgb](int, int) { return rgb; });
    return BuildBmp(shape);
}

// Answers the dialog by running `edit` on the copy it is given; OK unless told otherwise.
class ScriptedDialog final : public IImageSettingsDialog {
public:
    explicit ScriptedDialog(std::function<bool(ImageSettings&)> edit) : m_edit(std::move(edit)) {}
    bool Edit(ImageSettings& settings, const std::string&) override { return m_edit(settings); }

private:
    std::function<bool(ImageSettings&)> m_edit;
};

// A started program over a private settings folder and web root, listening on a free port.
class ImageApply : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_root = m_dir.path().toStdString() + "/web";
        ASSERT_EQ(::mkdir(m_root.c_str(), 0755), 0);
    }
    void TearDown() override { InstallImageSettingsDialog(nullptr); }

    // Starts with `extraValues` (lines of the settings file) added to the root and port.
    void Start(const std::string& extraValues = {}) {
        std::ofstream(m_dir.path().toStdString() + "/Kestrels.reg")
            << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
            << "\"strRoot\"=\"" << m_root << "\"\n"
            << "\"uPort\"=dword:" << std::hex << FreePort() << std::dec << "\n"
            << extraValues;
        AppEnvironment env;
        env.configFolder = m_dir.path().toStdString();
        auto box = std::make_unique<RecordingMessageBox>();
        m_box = box.get();
        env.messageBox = std::move(box);
        env.makeView = [] { return std::make_unique<HeadlessMainView>(); };
        m_app = std::make_unique<CMainApp>(std::move(env));
        ASSERT_TRUE(m_app->InitInstance());
        m_box->texts.clear();
    }
    CMainFrame& Frame() { return *m_app->MainFrame(); }
    Composition& Parts() { return *m_app->Parts(); }
    CaptureSubsystem& Capture() { return Parts().Capture(); }
    // The image settings the program holds (the dialog edits a copy).
    ImageSettings& Held() { return Parts().Settings().image; }
    std::string Path(const std::string& name) const { return m_root + "/" + name; }
    void Put(const std::string& name, const std::vector<uint8_t>& bytes) {
        ASSERT_TRUE(WriteBytes(Path(name), bytes));
    }

    QTemporaryDir m_dir;
    std::string m_root;
    RecordingMessageBox* m_box = nullptr;
    std::unique_ptr<CMainApp> m_app;
};

} // namespace

TEST_F(ImageApply, HeldOverlayIsKeptOnANewPathUntilSwitchedOffAndOn) {
    Start();
    Put("a.bmp", SolidBmp(8, 6, 0xFF0000));
    Put("b.bmp", SolidBmp(10, 4, 0x00FF00));
    ImageSettings s = Held();
    s.UseOverlay = 1;
    s.OverlayBmp = Path("a.bmp");
    Frame().ApplyImageSettings(s);
    ASSERT_NE(Capture().Overlay(), nullptr);
    EXPECT_EQ(Capture().Overlay()->Width(), 8);

    s.OverlayBmp = Path("b.bmp");
    Frame().ApplyImageSettings(s);
    EXPECT_EQ(Capture().Overlay()->Width(), 8) << "a new path waits for off and on";
    EXPECT_EQ(Held().OverlayBmp, Path("b.bmp"));

    s.UseOverlay = 0;
    Frame().ApplyImageSettings(s);
    EXPECT_EQ(Capture().Overlay(), nullptr);
    s.UseOverlay = 1;
    Frame().ApplyImageSettings(s);
    ASSERT_NE(Capture().Overlay(), nullptr);
    EXPECT_EQ(Capture().Overlay()->Width(), 10);
    EXPECT_TRUE(m_box->texts.empty());
}

TEST_F(ImageApply, UnreadableOverlayIsReportedOnceAfterRateAndRatioChanged) {
    Start();
    Put("text.bmp", {'n', 'o', 't', ' ', 'a', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e'});
    ASSERT_EQ(::mkdir(Path("folder.bmp").c_str(), 0755), 0);
    Put("wide.bmp", SolidBmp(kMaxBmpDimension + 1, 2, 0xFF0000));
    struct Row {
        const char* name;
        std::string reason;
    } rows[] = {
        {"missing.bmp", ErrorText(ENOENT)},
        {"text.bmp", kNotABmpReason},
        {"folder.bmp", ErrorText(EISDIR)},
        {"wide.bmp", OverlayTooLargeReason()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ImageSettings before = Held();
        before.UseOverlay = 0;
        before.CapFPS = 1;
        before.MotionQuality = 10;
        Frame().ApplyImageSettings(before);
        m_box->texts.clear();

        ImageSettings s = before;
        s.UseOverlay = 1;
        s.OverlayBmp = Path(row.name);
        s.CapFPS = 0;
        s.MotionQuality = 90;
        Frame().ApplyImageSettings(s);
        EXPECT_EQ(Capture().Overlay(), nullptr);
        EXPECT_EQ(Capture().Window()->PreviewRate(), 66);
        EXPECT_DOUBLE_EQ(Capture().Motion().Detector().Ratio(), 0.09);
        ASSERT_EQ(m_box->texts.size(), 1u);
        EXPECT_EQ(m_box->texts[0],
                  "オーバーレイファイルを読み込めません：\n" + Path(row.name) + "\n" + row.reason);
    }
}

TEST_F(ImageApply, OverlayUnreadableAtStartIsSilentAndLoadsOnceMended) {
    Put("late.bmp", {'B', 'M', 0, 0});
    Start("\"UseOverlay\"=dword:00000001\n\"OverlayBmp\"=\"" + m_root + "/late.bmp\"\n");
    EXPECT_TRUE(m_box->texts.empty());
    EXPECT_EQ(Capture().Overlay(), nullptr);
    Put("late.bmp", SolidBmp(5, 5, 0x0000FF));
    Frame().ApplyImageSettings(Held());
    ASSERT_NE(Capture().Overlay(), nullptr);
    EXPECT_EQ(Capture().Overlay()->Width(), 5);
    EXPECT_TRUE(m_box->texts.empty());
}

TEST_F(ImageApply, PreviewPeriodFollowsTheRateChoiceOnly) {
    Start();
    struct Row {
        uint32_t capFps;
        int period;
    } rows[] = {{0, 66}, {1, 33}, {5, 33}, {0, 66}, {7, 66}};
    for (const Row& row : rows) {
        ImageSettings s = Held();
        s.CapFPS = row.capFps;
        Frame().ApplyImageSettings(s);
        EXPECT_EQ(Capture().Window()->PreviewRate(), row.period) << row.capFps;
        EXPECT_EQ(Held().CapFPS, row.capFps);
    }
}

TEST_F(ImageApply, DialogEditsACopyAndDeviceAndPreviewStayAsHeld) {
    Start();
    const ImageSettings start = Held();
    // Without a display the dialog answers Cancel: nothing changes.
    Frame().OpenImageSettings();
    EXPECT_EQ(Held().JpegQuality, start.JpegQuality);

    bool sawCopy = false;
    InstallImageSettingsDialog(std::make_unique<ScriptedDialog>([&](ImageSettings& s) {
        sawCopy = &s != &Held();
        // Made while the dialog is open: the preview switch and a device change.
        Held().PreviewEnabled = 0;
        Held().CaptureDevice = 0;
        s.JpegQuality = 20;
        s.captions[3].Text = "edited";
        s.captions[3].Enabled = 1;
        return false;
    }));
    Frame().OpenImageSettings();
    EXPECT_TRUE(sawCopy);
    EXPECT_EQ(Held().JpegQuality, start.JpegQuality) << "Cancel keeps every field";
    EXPECT_EQ(Held().captions[3].Text, start.captions[3].Text);

    InstallImageSettingsDialog(std::make_unique<ScriptedDialog>([&](ImageSettings& s) {
        Held().PreviewEnabled = 1;
        Held().CaptureDevice = -1;
        s.JpegQuality = 20;
        s.UseMotion = 1;
        s.captions[3].Text = "edited";
        return true;
    }));
    Frame().OpenImageSettings();
    EXPECT_EQ(Held().JpegQuality, 20);
    EXPECT_EQ(Held().UseMotion, 1u);
    EXPECT_EQ(Held().captions[3].Text, "edited");
    EXPECT_EQ(Held().PreviewEnabled, 1u);
    EXPECT_EQ(Held().CaptureDevice, -1);
}

TEST_F(ImageApply, NextFrameHasTheNewSizeQualityOverlayAndCaption) {
    Start();
    // No driver has been connected: the camera-off picture for the smallest size.
    Put("off80x60.bmp", SolidBmp(80, 60, 0x808080));
    // Keyed overlay: white is transparent, a blue band on the right half shows.
    BmpShape overlay;
    overlay.width = 160;
    overlay.height = 120;
    overlay.pixels = Pixels24(160, 120, [](int x, int) { return x < 80 ? 0xFFFFFFu : 0x0000FFu; });
    Put("overlay.bmp", BuildBmp(overlay));

    auto compose = [&](int quality) {
        ImageSettings s = Held();
        s.UseCustomSize = 1;
        s.ImageWidth = 200;
        s.ImageHeight = 100;
        s.JpegQuality = quality;
        s.UseOverlay = 1;
        s.OverlayBmp = Path("overlay.bmp");
        s.OverlayTransColor = RGB(255, 255, 255);
        Caption& c = s.captions[0];
        c.Enabled = 1;
        c.Text = "        "; // blanks: the whole cell shows the background
        c.HPosType = 0;
        c.VPosType = 0;
        c.BackType = 0;
        c.BackColor = RGB(255, 0, 0);
        Frame().ApplyImageSettings(s);
        Parts().WebServer().Hooks().composeFrame(); // as a picture request does
        return DecodeJpeg(Path("frame.jpg"));
    };
    const DecodedJpeg fine = compose(95);
    const auto fineBytes = std::filesystem::file_size(Path("frame.jpg"));
    ASSERT_TRUE(fine.ok);
    EXPECT_EQ(fine.width, 200);
    EXPECT_EQ(fine.height, 100);
    EXPECT_TRUE(Near(fine.At(8, 6), 0xFF0000, 40)) << std::hex << fine.At(8, 6);     // caption cell
    EXPECT_TRUE(Near(fine.At(60, 80), 0x808080, 24)) << std::hex << fine.At(60, 80); // keyed away
    EXPECT_TRUE(Near(fine.At(160, 80), 0x0000FF, 40)) << std::hex << fine.At(160, 80);
    compose(5);
    EXPECT_LT(std::filesystem::file_size(Path("frame.jpg")), fineBytes) << "the new quality is used";
}
