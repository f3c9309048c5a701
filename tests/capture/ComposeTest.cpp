// Frame composition and the JPEG writer, on real files in a temporary web root.

#include "BmpBuilder.h"
#include "TestSupport.h"
#include "app/HeadlessView.h"
#include "capture/CaptionDraw.h"
#include "capture/CaptureSubsystem.h"
#include "capture/FontMapping.h"
#include "capture/TestPattern.h"
#include "support/RecordingMessageBox.h"

#include <gtest/gtest.h>

#include <QFile>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace kestrel;
using namespace kestrel::test;

namespace {

std::vector<uint8_t> SolidBmp(int w, int h, uint32_t rgb) {
    return BuildBmp(
        {.width = w, .height = h, .bits = 24, .pixels = Pixels24(w, h, [rgb](int, int) { return rgb; })});
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool Exists(const std::string& path) {
    return QFile::exists(QString::fromStdString(path));
}

// A capture subsystem over a headless view and a temporary web root.
struct Rig {
    QTemporaryDir dir;
    std::string root = dir.path().toStdString();
    ImageSettings image;
    HeadlessMainView view;
    RecordingMessageBox messages;
    int reinit = 0, sizeClass = kInitialClass, viewers = 0;
    unsigned lastW = 0, lastH = 0;
    std::string password;
    std::unique_ptr<CaptureSubsystem> capture;
    static constexpr int kInitialClass = -99;

    int skinClass = -99; // the class the last skin switch was for
    Rig() {
        image.CaptureDevice = -1;
        view.CreateFrame(444, 349);
        view.CreateControl(IDC_PREVIEW_PLACEHOLDER, {166, 151, 206, 191}, 0);
    }
    void Start() {
        CaptureSubsystem::Host host;
        host.image = &image;
        host.view = &view;
        host.messages = &messages;
        host.motionReinit = &reinit;
        host.lastCaptureWidth = &lastW;
        host.lastCaptureHeight = &lastH;
        host.sizeClass = &sizeClass;
        host.owner = this;
        host.webRoot = [this] { return root; };
        host.picturePassword = [this] { return password; };
        host.viewerCount = [this] { return viewers; };
        host.switchSkin = [this] { skinClass = sizeClass; };
        host.frameSizeFor = [](int cls, int& w, int& h) {
            static const int sizes[3][2] = {{444, 349}, {610, 495}, {933, 690}};
            w = sizes[cls][0], h = sizes[cls][1];
        };
        // No cameras here: only the test pattern is listed.
        capture = std::make_unique<CaptureSubsystem>(host, [] { return std::vector<DriverEntry>{}; });
        std::string name;
        capture->DriverDescription(0, name);
        capture->CreateCaptureWindow();
    }
    void Put(const std::string& name, const std::vector<uint8_t>& bytes) {
        ASSERT_TRUE(WriteBytes(root + name, bytes));
    }
    // The test pattern with a 320 x 240 overlay whose green is transparent; `colour` gives
    // each overlay pixel (0xRRGGBB, y counted from the top).
    template <typename Colour> void TestPatternWithOverlay(Colour colour) {
        image.CaptureDevice = 0;
        image.UseOverlay = 1;
        image.OverlayTransColor = RGB(0, 255, 0);
        image.OverlayBmp = root + "/overlay.bmp";
        Put("/overlay.bmp",
            BuildBmp({.width = 320, .height = 240, .bits = 24, .pixels = Pixels24(320, 240, colour)}));
    }
};

} // namespace

TEST(JpegWriter, PictureIsUprightWithColoursInPlace) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/out.jpg";
    // Red top-left quarter, blue elsewhere, in both row orders.
    for (bool topDown : {false, true}) {
        SCOPED_TRACE(topDown ? "top-down" : "bottom-up");
        const auto px = Pixels24(
            40, 30, [](int x, int y) { return x < 20 && y < 15 ? 0xFF0000u : 0x0000FFu; }, topDown);
        JpegWriter jpeg;
        EXPECT_EQ(jpeg.SetQuality(150), 100);
        EXPECT_EQ(jpeg.SetQuality(-5), 0);
        jpeg.SetQuality(90);
        ASSERT_EQ(jpeg.WriteFile(px.data(), 40, topDown ? -30 : 30, path), 0);
        const DecodedJpeg d = DecodeJpeg(path);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.width, 40);
        EXPECT_EQ(d.height, 30);
        EXPECT_TRUE(Near(d.At(5, 5), 0xFF0000, 40)) << std::hex << d.At(5, 5);
        EXPECT_TRUE(Near(d.At(35, 25), 0x0000FF, 40)) << std::hex << d.At(35, 25);
        EXPECT_TRUE(Near(d.At(35, 5), 0x0000FF, 40)) << std::hex << d.At(35, 5);
    }
}

TEST(JpegWriter, FailedWriteKeepsThePreviousFileAndTheWriterUsable) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/frame.jpg";
    const auto px = Pixels24(8, 8, [](int, int) { return 0x808080u; });
    JpegWriter jpeg;
    ASSERT_EQ(jpeg.WriteFile(px.data(), 8, 8, path), 0);
    const std::string before = ReadText(path);
    EXPECT_EQ(jpeg.WriteFile(px.data(), 8, 8, dir.path().toStdString() + "/missing/frame.jpg"), -1);
    EXPECT_EQ(jpeg.WriteFile(nullptr, 8, 8, path), -1);
    EXPECT_EQ(jpeg.WriteFile(px.data(), 70000, 8, path), -1);
    EXPECT_EQ(ReadText(path), before);
    EXPECT_EQ(jpeg.WriteFile(px.data(), 8, 8, path), 0);
    // Nothing but the file itself is left in the folder (no temporary files).
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1);
}

TEST(JpegWriter, EncoderErrorIsAFailedWriteAndTheNextWriteWorks) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/frame.jpg";
    // Noise does not compress: the encoder's first output flush is a full buffer.
    std::vector<uint8_t> noise(DibStride(256, 24) * 256);
    uint32_t seed = 1;
    for (uint8_t& b : noise)
        b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    const auto small = Pixels24(8, 8, [](int, int) { return 0x336699u; });
    JpegWriter jpeg;
    jpeg.SetQuality(95);
    ASSERT_EQ(jpeg.WriteFile(small.data(), 8, 8, path), 0);
    const std::string before = ReadText(path);
    // Files may not grow past 1000 bytes: the library's write fails inside the encoder.
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = 1000;
    setrlimit(RLIMIT_FSIZE, &tight);
    const int failed = jpeg.WriteFile(noise.data(), 256, 256, path);
    const std::string message = jpeg.LastError();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);
    EXPECT_EQ(failed, -1);
    // The library's own message ("Output file write error ..."): the error manager caught it.
    EXPECT_NE(message.find("write error"), std::string::npos) << message;
    EXPECT_EQ(ReadText(path), before) << "the previous file stays whole";
    ASSERT_EQ(jpeg.WriteFile(noise.data(), 256, 256, path), 0) << "the shared encoder is ready again";
    const DecodedJpeg d = DecodeJpeg(path);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.width, 256);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1);
}

TEST(ComposeRules, CameraOffPictureTable) {
    struct Row {
        unsigned w, h;
        int device;
        const char* file;
    };
    const Row rows[] = {
        {176, 144, 0, "/off176x144.bmp"}, {800, 600, 0, "/off640x480.bmp"}, {320, 240, -1, "/off160x120.bmp"},
        {80, 60, -1, "/off80x60.bmp"},    {0, 0, -1, "/off80x60.bmp"},      {320, 240, 0, "/off320x240.bmp"},
        {160, 120, 2, "/off160x120.bmp"}, {640, 480, 0, "/off640x480.bmp"}, {81, 60, 0, "/off160x120.bmp"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(OffPictureName(r.w, r.h, r.device), r.file) << r.w << "x" << r.h << " device " << r.device;
}

TEST(ComposeRules, CustomSizes) {
    struct Row {
        bool custom;
        int setting, picture, want;
        const char* rule;
    };
    const Row rows[] = {
        {false, 7, 320, 320, "custom size off: the picture's size"},
        {true, 1, 320, 160, "1 halves"},
        {true, 2, 240, 480, "2 doubles"},
        {true, 4, 176, 704, "4 times"},
        {true, 0, 320, 320, "0 takes the picture's own size"},
        {true, -5, 320, 320, "below 0 acts as 0"},
        {true, 5, 320, 5, "5 and up are pixels"},
        {true, 640, 0, 640, "pixels also for an unreadable picture"},
        {true, 9000, 320, 4096, "clamped to 4096"},
        {true, 4, 1280, 4096, "a multiple is clamped too"},
        {true, 2, 0, 0, "an empty picture doubled is still empty"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(OutputDimension(r.custom, r.setting, r.picture), r.want) << r.rule;
}

TEST(ComposeFrame, TestPatternWithOverlayAndCaptionWritesBothPictures) {
    Rig rig;
    rig.viewers = 7;
    // Overlay: green (transparent) everywhere except a red square at the top right.
    rig.TestPatternWithOverlay(
        [](int x, int y) { return x >= 250 && x < 310 && y >= 10 && y < 50 ? 0xFF0000u : 0x00FF00u; });
    Caption& c = rig.image.captions[0];
    c.Enabled = 1;
    c.HPosType = 0;
    c.VPosType = 2;
    c.TextColor = RGB(0, 0, 0);
    c.BackColor = RGB(255, 255, 255);
    c.BackType = 0;
    c.Text = "%Y-%m-%d %H:%M:%S viewers %G";
    rig.Start();
    ASSERT_NE(rig.capture->Window(), nullptr);
    ASSERT_EQ(rig.image.CaptureDevice, 0);
    EXPECT_EQ(rig.lastW, 320u);
    EXPECT_EQ(rig.lastH, 240u);
    EXPECT_EQ(rig.sizeClass, 1);
    EXPECT_EQ(rig.view.Width(), 610);
    EXPECT_EQ(rig.skinClass, 1);
    static_cast<TestPatternDevice*>(rig.capture->Window()->Device())->SetStill(true);

    rig.capture->ComposeFrame();
    const DecodedJpeg frame = DecodeJpeg(rig.root + "/frame.jpg");
    ASSERT_TRUE(frame.ok);
    EXPECT_EQ(frame.width, 320);
    EXPECT_EQ(frame.height, 240);
    EXPECT_TRUE(Near(frame.At(280, 30), 0xFF0000, 40)) << "overlay square";
    EXPECT_TRUE(Near(frame.At(300, 100), 0x0000FF, 40)) << "last colour bar shows through the overlay";
    EXPECT_TRUE(Near(frame.At(20, 50), 0xFFFFFF, 40)) << "first colour bar";
    // The caption's opaque cell at the bottom left: mostly white where the ramp is dark.
    int white = 0;
    for (int y = 232; y < 240; ++y)
        for (int x = 0; x < 60; ++x)
            white += Near(frame.At(x, y), 0xFFFFFF, 60);
    EXPECT_GT(white, 60 * 8 / 4);
    // The grabbed frame also lands in "capframe.bmp" (written in the background).
    ASSERT_TRUE(rig.capture->Composer().FlushCapFrame());
    DibBuffer capframe;
    ASSERT_TRUE(capframe.LoadBmp(rig.root + "/capframe.bmp", DibBuffer::kAllDepths));
    EXPECT_EQ(capframe.Width(), 320);
    EXPECT_EQ(capframe.Height(), 240) << "bottom-up";
    const DecodedJpeg small = DecodeJpeg(rig.root + "/framei.jpg");
    ASSERT_TRUE(small.ok);
    EXPECT_EQ(small.width, 118);
    EXPECT_EQ(small.height, 90);
    EXPECT_TRUE(Near(small.At(103, 11), 0xFF0000, 60)) << std::hex << small.At(103, 11);

    if (const char* keep = std::getenv("KESTREL_KEEP_FRAME")) {
        QFile::remove(QString(keep) + "/frame.jpg");
        QFile::copy(QString::fromStdString(rig.root + "/frame.jpg"), QString(keep) + "/frame.jpg");
        QFile::remove(QString(keep) + "/framei.jpg");
        QFile::copy(QString::fromStdString(rig.root + "/framei.jpg"), QString(keep) + "/framei.jpg");
    }
}

TEST(ComposeFrame, CameraOffUsesThePictureOfTheLastFrameSize) {
    Rig rig;
    // Before any driver was connected the last size is 0 x 0: the smallest picture.
    rig.Put("/off80x60.bmp", SolidBmp(80, 60, 0x00C000));
    rig.Start();
    rig.capture->ComposeFrame();
    const DecodedJpeg frame = DecodeJpeg(rig.root + "/frame.jpg");
    ASSERT_TRUE(frame.ok);
    EXPECT_EQ(frame.width, 80);
    EXPECT_EQ(frame.height, 60);
    EXPECT_TRUE(Near(frame.At(40, 30), 0x00C000, 30));
    // Custom size 1 x 2 on it.
    rig.image.UseCustomSize = 1;
    rig.image.ImageWidth = 1;
    rig.image.ImageHeight = 2;
    rig.capture->ComposeFrame();
    const DecodedJpeg scaled = DecodeJpeg(rig.root + "/frame.jpg");
    EXPECT_EQ(scaled.width, 40);
    EXPECT_EQ(scaled.height, 120);
}

TEST(ComposeFrame, WebRootPicturesAboveTheirCapCountAsMissingAndAreSaidOncePerVersion) {
    Rig rig;
    rig.password = "secret";
    rig.Put("/off80x60.bmp", SolidBmp(81, 60, 0x00C000));
    rig.Put("/nophone.bmp", SolidBmp(641, 90, 0xFFFF00));
    rig.Start();
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i)
        rig.capture->ComposeFrame();
    const std::string said = ::testing::internal::GetCapturedStderr();
    // Missing: nothing is composed, and the small picture is not made from "nophone.bmp".
    EXPECT_FALSE(Exists(rig.root + "/frame.jpg"));
    EXPECT_EQ(said, "kestrel: " + rig.root +
                        "/off80x60.bmp is 81 x 60 pixels, larger than 80 x 60: it is not "
                        "used (as if it were missing); make it smaller\n");
    // A new version within the cap is taken at once; "nophone.bmp" too large shows black.
    rig.Put("/off80x60.bmp", SolidBmp(80, 60, 0x00C000));
    ::testing::internal::CaptureStderr();
    rig.capture->ComposeFrame();
    rig.capture->ComposeFrame();
    const std::string second = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(Near(DecodeJpeg(rig.root + "/frame.jpg").At(40, 30), 0x00C000, 30));
    EXPECT_TRUE(Near(DecodeJpeg(rig.root + "/framei.jpg").At(59, 45), 0x000000, 8));
    EXPECT_EQ(second, "kestrel: " + rig.root +
                          "/nophone.bmp is 641 x 90 pixels, larger than 640 x 480: it is not "
                          "used (as if it were missing); make it smaller\n");
}

TEST(ComposeFrame, RowsReadFromTheFrameGiveTheBytesOfAWholeCopy) {
    // Only the rows the overlay and the captions write are copied out of the frame. The
    // files and the stream picture must be those of the frame copied whole and drawn on.
    Rig rig;
    rig.viewers = 3;
    // A logo whose first and last rows are single pixels, so a row missed at either end shows.
    rig.TestPatternWithOverlay([](int x, int y) {
        return (y == 100 && x == 7) || (y > 100 && y < 140 && x > 200) || (y == 140 && x == 319) ? 0xC01020u
                                                                                                 : 0x00FF00u;
    });
    // Captions at the top (opaque cell), the bottom (smoothed text only, blended with the
    // frame) and a hand-placed one partly above the picture.
    const struct {
        int hPos, vPos, x, y, back;
        const char* text;
    } placed[] = {{0, 0, 0, 0, 0, "Kestrel %G"}, {2, 2, 0, 0, 1, "bottom right"}, {3, 3, 40, -6, 1, "above"}};
    for (size_t i = 0; i < std::size(placed); ++i) {
        Caption& c = rig.image.captions[i];
        c.Enabled = 1;
        c.HPosType = placed[i].hPos, c.VPosType = placed[i].vPos;
        c.XPos = placed[i].x, c.YPos = placed[i].y;
        c.BackType = placed[i].back;
        c.TextColor = RGB(250, 240, 10);
        c.BackColor = RGB(20, 20, 90);
        c.Text = placed[i].text;
    }
    rig.Start();
    static_cast<TestPatternDevice*>(rig.capture->Window()->Device())->SetStill(true);
    rig.capture->ComposeFrame();
    std::vector<uint8_t> stream;
    bool cameraOff = true;
    int64_t capturedUs = 0;
    ASSERT_TRUE(rig.capture->Composer().ComposeToMemory(stream, cameraOff, capturedUs));

    // The same picture composed on a whole copy of the (still) frame.
    const DibBuffer& grabbed = rig.capture->Window()->LastFrame();
    ASSERT_EQ(grabbed.BitCount(), 24);
    Surface whole = MakeSurface(320, 240);
    const PixelRect all{0, 0, 320, 240};
    ASSERT_TRUE(DrawBgrRows(whole, *grabbed.Info(), grabbed.Pixels(), all, all));
    CDib overlay;
    ASSERT_TRUE(overlay.Load(rig.image.OverlayBmp));
    ASSERT_TRUE(overlay.DrawTransparent(whole, all, all, rig.image.OverlayTransColor));
    const std::tm noTime{};
    for (size_t i = 0; i < std::size(placed); ++i) {
        const Caption& c = rig.image.captions[i];
        CaptionStamp().Draw(whole, c, FontFromLogFont(c.FontInfo), ExpandCaptionCodes(c.Text, noTime, 3), all,
                            noTime);
    }
    JpegWriter jpeg;
    jpeg.SetQuality(rig.image.JpegQuality);
    std::vector<uint8_t> expected;
    ASSERT_EQ(jpeg.Encode(whole.constBits(), 320, -240, expected), 0);
    EXPECT_TRUE(ReadText(rig.root + "/frame.jpg") == std::string(expected.begin(), expected.end()));
    EXPECT_TRUE(stream == expected);
    BITMAPINFOHEADER ih;
    DibBuffer::InitHeader(ih, 320, -240, 24);
    DibBuffer small;
    ASSERT_TRUE(small.ResizeFrom({reinterpret_cast<const uint8_t*>(&ih), sizeof ih},
                                 {whole.constBits(), static_cast<size_t>(whole.sizeInBytes())}, 118, 90));
    ASSERT_EQ(jpeg.Encode(small.Pixels().data(), 118, -90, expected), 0);
    EXPECT_TRUE(ReadText(rig.root + "/framei.jpg") == std::string(expected.begin(), expected.end()));
    // Asked for as a surface, the composition holds the whole picture too.
    const Surface& surface = rig.capture->Composer().Compose();
    EXPECT_TRUE(surface == whole);
}

TEST(ComposeFrame, StreamPictureIsComposedInMemoryWithoutWritingAnyFile) {
    Rig rig;
    rig.image.CaptureDevice = 0;
    rig.Start();
    static_cast<TestPatternDevice*>(rig.capture->Window()->Device())->SetStill(true);
    std::vector<uint8_t> jpeg;
    bool cameraOff = true;
    int64_t capturedUs = 0;
    const int64_t before = WallClockUs();
    ASSERT_TRUE(rig.capture->Composer().ComposeToMemory(jpeg, cameraOff, capturedUs));
    EXPECT_FALSE(cameraOff);
    // The frame is stamped when the device hands it over, within the composition.
    EXPECT_GE(capturedUs, before);
    EXPECT_LE(capturedUs, WallClockUs());
    ASSERT_TRUE(rig.capture->Composer().FlushCapFrame());
    for (const char* name : {"/frame.jpg", "/framei.jpg", "/capframe.bmp"})
        EXPECT_FALSE(Exists(rig.root + name)) << name;
    rig.Put("/stream.jpg", jpeg);
    const DecodedJpeg frame = DecodeJpeg(rig.root + "/stream.jpg");
    ASSERT_TRUE(frame.ok);
    EXPECT_EQ(frame.width, 320);
    EXPECT_EQ(frame.height, 240);
    EXPECT_TRUE(Near(frame.At(20, 50), 0xFFFFFF, 40)) << "first colour bar";
    // Camera off: the camera-off picture, and the caller is told.
    rig.image.CaptureDevice = -1;
    rig.Put("/off160x120.bmp", SolidBmp(160, 120, 0x00C000));
    ASSERT_TRUE(rig.capture->Composer().ComposeToMemory(jpeg, cameraOff, capturedUs));
    EXPECT_TRUE(cameraOff);
    EXPECT_GT(capturedUs, 0);
    rig.Put("/stream.jpg", jpeg);
    EXPECT_EQ(DecodeJpeg(rig.root + "/stream.jpg").width, 160);
}

TEST(ComposeFrame, MissingSourceWritesNothingAndKeepsThePreviousFiles) {
    Rig rig;
    rig.Start();
    rig.Put("/frame.jpg", {1, 2, 3});
    rig.capture->ComposeFrame();
    EXPECT_EQ(ReadText(rig.root + "/frame.jpg"), std::string("\1\2\3"));
    EXPECT_FALSE(Exists(rig.root + "/framei.jpg"));
}

TEST(ComposeFrame, UnreadableSourceGivesBlackOnlyWithAPixelSize) {
    Rig rig;
    rig.Put("/off80x60.bmp", {'B', 'M', 0, 0, 0});
    rig.Start();
    rig.capture->ComposeFrame(); // 0 x 0: nothing written
    EXPECT_FALSE(Exists(rig.root + "/frame.jpg"));
    rig.image.UseCustomSize = 1;
    rig.image.ImageWidth = 64;
    rig.image.ImageHeight = 48;
    rig.capture->ComposeFrame();
    const DecodedJpeg frame = DecodeJpeg(rig.root + "/frame.jpg");
    ASSERT_TRUE(frame.ok);
    EXPECT_EQ(frame.width, 64);
    EXPECT_TRUE(Near(frame.At(30, 20), 0x000000, 8));
}

TEST(ComposeFrame, PicturePasswordShowsNoPhoneNeverTheCamera) {
    Rig rig;
    rig.image.CaptureDevice = 0;
    rig.password = "secret";
    // An 8-bit 50 x 40 picture, all palette entry 1 (yellow): resampled to 118 x 90 24-bit.
    std::vector<RGBQUAD> palette(256);
    palette[1] = {0, 255, 255, 0};
    rig.Put("/nophone.bmp", BuildBmp({.width = 50,
                                      .height = 40,
                                      .bits = 8,
                                      .palette = palette,
                                      .pixels = std::vector<uint8_t>(52 * 40, 1)}));
    rig.Start();
    rig.capture->ComposeFrame();
    DecodedJpeg small = DecodeJpeg(rig.root + "/framei.jpg");
    ASSERT_TRUE(small.ok);
    EXPECT_EQ(small.width, 118);
    EXPECT_EQ(small.height, 90);
    EXPECT_TRUE(Near(small.At(59, 45), 0xFFFF00, 30)) << std::hex << small.At(59, 45);
    // The camera's frame was composed from memory; no request can carry the password to
    // "capframe.bmp", so it is never written.
    EXPECT_TRUE(DecodeJpeg(rig.root + "/frame.jpg").ok);
    rig.capture->ComposeFrame();
    EXPECT_TRUE(rig.capture->Composer().FlushCapFrame());
    EXPECT_FALSE(Exists(rig.root + "/capframe.bmp"));
    // Without the password it is written again.
    rig.password.clear();
    rig.capture->ComposeFrame();
    EXPECT_TRUE(rig.capture->Composer().FlushCapFrame());
    EXPECT_TRUE(Exists(rig.root + "/capframe.bmp"));
    ASSERT_EQ(::unlink((rig.root + "/capframe.bmp").c_str()), 0);
    rig.password = "secret";
    // Unreadable: black, still not the camera.
    rig.Put("/nophone.bmp", {'x'});
    rig.capture->ComposeFrame();
    small = DecodeJpeg(rig.root + "/framei.jpg");
    ASSERT_TRUE(small.ok);
    for (auto [x, y] : {std::pair{5, 5}, std::pair{60, 45}, std::pair{110, 80}})
        EXPECT_TRUE(Near(small.At(x, y), 0x000000, 8)) << x << "," << y;
}

TEST(ComposeFrame, NoPhonePictureIsMadeOncePerVersionOfTheFile) {
    Rig rig;
    rig.password = "secret";
    rig.Put("/off80x60.bmp", SolidBmp(80, 60, 0x808080));
    const std::string path = rig.root + "/nophone.bmp";
    rig.Put("/nophone.bmp", SolidBmp(118, 90, 0xFFFF00));
    struct stat first {};
    ASSERT_EQ(::stat(path.c_str(), &first), 0);
    rig.Start();
    rig.capture->ComposeFrame();
    EXPECT_TRUE(Near(DecodeJpeg(rig.root + "/framei.jpg").At(59, 45), 0xFFFF00, 30));
    // Other pixels, same size and modification time: the picture made before is kept.
    rig.Put("/nophone.bmp", SolidBmp(118, 90, 0x0000FF));
    const timespec times[2] = {first.st_atim, first.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    rig.capture->ComposeFrame();
    EXPECT_TRUE(Near(DecodeJpeg(rig.root + "/framei.jpg").At(59, 45), 0xFFFF00, 30))
        << "read again for a request although the file did not change";
    // A new modification time: read again.
    const timespec later[2] = {first.st_atim, {first.st_mtim.tv_sec + 1, first.st_mtim.tv_nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
    rig.capture->ComposeFrame();
    EXPECT_TRUE(Near(DecodeJpeg(rig.root + "/framei.jpg").At(59, 45), 0x0000FF, 30));
}

TEST(ComposeFrame, OverlayWithASideAbove4096IsRefusedAndSaidOnce) {
    Rig rig;
    rig.Put("/off80x60.bmp", SolidBmp(80, 60, 0x808080));
    rig.image.UseOverlay = 1;
    rig.image.OverlayBmp = rig.root + "/overlay.bmp";
    rig.Put("/overlay.bmp", SolidBmp(4097, 2, 0xFF0000));
    rig.Start();
    for (int i = 0; i < 3; ++i)
        rig.capture->ComposeFrame();
    EXPECT_EQ(rig.messages.texts, std::vector<std::string>{OverlayTooLargeMessage(rig.image.OverlayBmp)});
    EXPECT_NE(rig.messages.texts[0].find("4096"), std::string::npos);
    // The frame is still made, without the overlay.
    EXPECT_TRUE(Near(DecodeJpeg(rig.root + "/frame.jpg").At(40, 30), 0x808080, 30));
}
