// The skin's rules without a display: the window's shape from a background, the picture
// each element shows, hit tests and clicks, painting a face, the built-in pictures, skin
// folders that cannot be used, and the main frame keeping the face in step with the
// server, the capture device, the pointer and the idle step.

#include "app/Skin.h"
#include "app/Composition.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "capture/BmpBuilder.h"
#include "capture/CaptureSubsystem.h"
#include "server/HitLog.h"
#include "server/WebServer.h"
#include "support/RecordingMessageBox.h"
#include "support/TestPorts.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

using namespace kestrel;
using kestrel::test::BmpShape;
using kestrel::test::BuildBmp;
using kestrel::test::RecordingMessageBox;

namespace {

constexpr QRgb kKey = qRgb(57, 44, 83);

std::set<std::pair<int, int>> Points(const QRegion& region, int w, int h) {
    std::set<std::pair<int, int>> out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (region.contains(QPoint(x, y)))
                out.insert({x, y});
    return out;
}

QImage FromBytes(const std::vector<uint8_t>& bmp) {
    CDib dib;
    if (dib.Read(bmp) == 0)
        return {};
    return dib.Image();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

QImage Solid(int w, int h, QRgb colour) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// The twelve button pictures of a skin folder, each filled with `colour`.
void WriteButtons(const SkinNames& names, QRgb colour) {
    for (SkinFile f :
         {kSkinCaptureOff, kSkinCaptureOn, kSkinEndOff, kSkinEndOver, kSkinHelpOff, kSkinHelpOver,
          kSkinSmallOff, kSkinSmallOver, kSkinStartOff, kSkinStartOn, kSkinStopOff, kSkinStopOn})
        ASSERT_TRUE(Solid(14, 20, colour).save(QString::fromStdString(names[f]), "BMP"));
}

QImage Painted(const SkinFace& face) {
    QImage out(face.windowWidth, face.windowHeight, QImage::Format_RGB32);
    QPainter painter(&out);
    PaintSkinFace(painter, face, SkinPictureIdsFor(SkinState{}));
    return out;
}

} // namespace

TEST(SkinRegion, WindowIsEveryPixelUnlikeTheBottomLeftOne) {
    // 3 x 2, bottom row key-A-key, top row A-key-A: the top middle is a hole inside.
    const std::set<std::pair<int, int>> expected = {{1, 1}, {0, 0}, {2, 0}};
    const RGBQUAD key{83, 44, 57, 0}, red{0, 0, 250, 0};
    struct Row {
        const char* name;
        BmpShape shape;
    } rows[] = {
        {"1 bit", {3, 2, 1, BI_RGB, {key, red}, {0x40, 0, 0, 0, 0xA0, 0, 0, 0}}},
        {"4 bits", {3, 2, 4, BI_RGB, {key, red}, {0x01, 0x00, 0, 0, 0x10, 0x10, 0, 0}}},
        {"8 bits", {3, 2, 8, BI_RGB, {key, red}, {0, 1, 0, 0, 1, 0, 1, 0}}},
        // 5-5-5: key (7, 5, 10), red (31, 0, 0).
        {"16 bits",
         {3,
          2,
          16,
          BI_RGB,
          {},
          {0xAA, 0x1C, 0x00, 0x7C, 0xAA, 0x1C, 0, 0, 0x00, 0x7C, 0xAA, 0x1C, 0x00, 0x7C, 0, 0}}},
        {"24 bits", {3, 2, 24, BI_RGB, {}, {83, 44, 57,  0,  0,  250, 83, 44, 57,  0, 0, 0,
                                            0,  0,  250, 83, 44, 57,  0,  0,  250, 0, 0, 0}}},
        // The fourth byte differs between the two key pixels and is not compared.
        {"32 bits", {3, 2, 32, BI_RGB, {}, {83, 44, 57,  0x00, 0,  0,  250, 0x00, 83, 44, 57,  0x7F,
                                            0,  0,  250, 0xFF, 83, 44, 57,  0xFF, 0,  0,  250, 0x00}}},
    };
    for (const Row& r : rows) {
        const QImage picture = FromBytes(BuildBmp(r.shape));
        ASSERT_FALSE(picture.isNull()) << r.name;
        EXPECT_EQ(Points(RegionFromBitmap(picture), 3, 2), expected) << r.name;
    }

    // A key colour only at the bottom left: a rectangle without that pixel.
    QImage onlyCorner = Solid(40, 30, qRgb(10, 20, 30));
    onlyCorner.setPixel(0, 29, kKey);
    const QRegion corner = RegionFromBitmap(onlyCorner);
    EXPECT_EQ(corner.boundingRect(), QRect(0, 0, 40, 30));
    EXPECT_FALSE(corner.contains(QPoint(0, 29)));
    EXPECT_TRUE(corner.contains(QPoint(1, 29)));
    EXPECT_TRUE(corner.contains(QPoint(0, 28)));
    EXPECT_EQ(Points(corner, 40, 30).size(), 40u * 30u - 1u);

    // All key, or no picture: nothing.
    EXPECT_TRUE(RegionFromBitmap(Solid(8, 8, kKey)).isEmpty());
    EXPECT_TRUE(RegionFromBitmap(QImage()).isEmpty());
}

TEST(SkinPictures, EachElementShowsThePictureOfItsState) {
    auto id = [](SkinElement e, auto&& change) {
        SkinState s;
        s.formatEnabled = s.sourceEnabled = s.displayEnabled = true;
        change(s);
        return SkinPictureId(e, s);
    };
    auto none = [](SkinState&) {};
    // The meter: nothing below one viewer, 1 to 11 bars, the last one also for more.
    for (auto [count, picture] : {std::pair{-1, 189}, {0, 189}, {1, 177}, {11, 187}, {12, 187}, {500, 187}})
        EXPECT_EQ(id(kElemMeter, [c = count](SkinState& s) { s.viewerCount = c; }), picture) << count;
    // Start and stop follow whether the server listens.
    EXPECT_EQ(id(kElemStop, [](SkinState& s) { s.serverListening = true; }), 161);
    EXPECT_EQ(id(kElemStart, [](SkinState& s) { s.serverListening = true; }), 163);
    EXPECT_EQ(id(kElemStop, none), 164);
    EXPECT_EQ(id(kElemStart, none), 160);
    EXPECT_EQ(id(kElemCapture, [](SkinState& s) { s.previewEnabled = 1; }), 174);
    EXPECT_EQ(id(kElemCapture, [](SkinState& s) { s.previewEnabled = 2; }), 175);
    EXPECT_EQ(id(kElemLamp, [](SkinState& s) { s.activityLamp = 1; }), 138);
    EXPECT_EQ(id(kElemLamp, none), 139);
    // Normal and hover pictures.
    struct Hover {
        SkinElement e;
        int normal, hover;
    } hovers[] = {{kElemLogo, 172, 173}, {kElemRow1, 144, 145},     {kElemRow2, 154, 153},
                  {kElemRow3, 152, 158}, {kElemRow4, 156, 155},     {kElemRow5, 151, 157},
                  {kElemRow6, 146, 147}, {kElemRow7, 149, 150},     {kElemRow8, 199, 198},
                  {kElemHelp, 165, 176}, {kElemMinimise, 170, 171}, {kElemClose, 168, 169}};
    for (const Hover& h : hovers) {
        EXPECT_EQ(id(h.e, none), h.normal) << h.e;
        EXPECT_EQ(id(h.e, [e = h.e](SkinState& s) { s.hover[e] = true; }), h.hover) << h.e;
    }
    // A disabled video row is greyed whether or not the pointer is on it.
    for (bool in : {false, true}) {
        auto disabled = [in](SkinState& s) {
            s.formatEnabled = s.sourceEnabled = s.displayEnabled = false;
            s.hover[kElemRow4] = s.hover[kElemRow5] = s.hover[kElemRow6] = in;
        };
        EXPECT_EQ(id(kElemRow4, disabled), 191);
        EXPECT_EQ(id(kElemRow5, disabled), 190);
        EXPECT_EQ(id(kElemRow6, disabled), 192);
    }
}

TEST(SkinInput, RectanglesAreHalfOpen) {
    struct Row {
        int x, y;
        int element; // -1: none
    } rows[] = {
        {23, 6, kElemLogo},   {116, 34, kElemLogo}, {117, 6, -1},          {22, 6, -1},
        {30, 143, kElemRow1}, {30, 144, kElemRow2}, {127, 248, kElemRow8}, {128, 248, -1},
        {30, 249, -1},        {1, 33, kElemLamp},   {372, 28, kElemClose}, {373, 28, -1},
    };
    for (const Row& r : rows) {
        const auto hover = SkinHoverAt(r.x, r.y);
        for (int e = 0; e < kSkinElementCount; ++e)
            EXPECT_EQ(hover[e], e == r.element) << r.x << "," << r.y << " element " << e;
    }
}

TEST(SkinInput, ClickTableSendsEachElementsCommand) {
    const std::set<int> enabled = {CmdVideoFormat, CmdVideoSource, CmdVideoDisplay};
    auto on = [&](int id) { return enabled.count(id) != 0; };
    auto off = [](int) { return false; };
    using V = std::vector<SkinCommand>;
    struct Row {
        int x, y;
        bool listening;
        bool videoEnabled;
        V expected;
    } rows[] = {
        {164, 101, true, true, {{CmdPreview, false}}},
        {240, 120, true, true, {{CmdStop, false}}},
        {240, 120, false, true, {}}, // stop while stopped: nothing
        {300, 100, false, true, {{CmdStart, false}}},
        {300, 100, true, true, {}},
        {50, 130, true, true, {{CmdBasicSettings, false}}},
        {50, 150, true, true, {{CmdServerSettings, false}}},
        {50, 160, true, true, {{CmdImageSettings, false}}},
        {50, 180, true, true, {{CmdVideoFormat, false}}},
        {50, 190, true, true, {{CmdVideoSource, false}}},
        {50, 210, true, true, {{CmdVideoDisplay, false}}},
        {50, 180, true, false, {}},
        {50, 190, true, false, {}},
        {50, 210, true, false, {}},
        {50, 220, true, true, {{CmdUrlRegistration, false}}},
        {50, 240, true, true, {{CmdHtmlSettings, false}}},
        {22, 10, true, true, {{CmdAbout, false}}}, // clicks one pixel left of the hover picture
        {115, 10, true, true, {{CmdAbout, false}}},
        {116, 10, true, true, {}},
        {311, 9, true, true, {{CmdHelp, false}}},
        {341, 9, true, true, {{kSysMinimize, true}}},
        {359, 9, true, true, {{CmdExit, false}}},
        {5, 340, true, true, {}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(
            SkinClickCommands(r.x, r.y, r.listening, r.videoEnabled ? std::function<bool(int)>(on) : off),
            r.expected)
            << r.x << "," << r.y;
}

TEST(SkinPaint, FaceShowsEachElementsPictureClippedToItsRectangle) {
    SkinFace face;
    face.sizeClass = 0;
    face.windowWidth = 444;
    face.windowHeight = 349;
    face.background = Solid(446, 350, qRgb(1, 2, 3));
    auto colour = [](int id) { return qRgb(id, 255 - id, (id * 7) & 0xFF); };
    for (int id : SkinElementPictureIds())
        face.pictures[id] = Solid(98, 40, colour(id)); // larger than most rectangles
    SkinState state;
    state.viewerCount = 5;
    state.hover[kElemRow2] = true;
    face.pictures[165] = QImage(); // help: a missing picture draws nothing
    const SkinPictureIds ids = SkinPictureIdsFor(state);

    QImage canvas(444, 349, QImage::Format_RGB32);
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    PaintSkinFace(painter, face, ids);
    painter.end();
    for (const SkinElementInfo& e : kSkinElements) {
        const QRgb expected = e.element == kElemHelp ? qRgb(1, 2, 3) : colour(ids[e.element]);
        EXPECT_EQ(canvas.pixel(e.rect.left, e.rect.top), expected) << e.element;
        EXPECT_EQ(canvas.pixel(e.rect.right - 1, e.rect.bottom - 1), expected) << e.element;
    }
    // Clipped: below the stop button and right of the capture button the background shows.
    EXPECT_EQ(canvas.pixel(240, 127), qRgb(1, 2, 3));
    EXPECT_EQ(canvas.pixel(231, 110), qRgb(1, 2, 3));
    EXPECT_EQ(canvas.pixel(443, 348), qRgb(1, 2, 3));
}

TEST(SkinBuiltIn, EveryPictureAtItsSizeAndTheShapeHoldsEveryElement) {
    // Collect the ids each element can show, over every state.
    std::map<int, QSize> sizes;
    for (const SkinElementInfo& e : kSkinElements)
        for (int flags = 0; flags < 64; ++flags)
            for (int count = 0; count <= 12; ++count) {
                SkinState s;
                s.serverListening = flags & 1;
                s.previewEnabled = (flags >> 1) & 1;
                s.activityLamp = (flags >> 2) & 1;
                s.formatEnabled = s.sourceEnabled = s.displayEnabled = (flags >> 3) & 1;
                s.hover[e.element] = (flags >> 4) & 1;
                s.viewerCount = count;
                sizes[SkinPictureId(e.element, s)] = QSize(e.width, e.height);
            }
    ASSERT_EQ(sizes.size(), 47u);
    EXPECT_EQ(std::set<int>(SkinElementPictureIds().begin(), SkinElementPictureIds().end()).size(), 47u);
    for (const auto& [id, size] : sizes) {
        const QImage picture = BuiltInSkinPicture(id);
        ASSERT_FALSE(picture.isNull()) << id;
        EXPECT_EQ(picture.size(), size) << id;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                ASSERT_NE(picture.pixel(x, y) & 0xFFFFFF, kKey & 0xFFFFFF) << id << " at " << x << "," << y;
    }
    // Hover pictures are lighter than the normal ones.
    for (auto [normal, hover] : {std::pair{144, 145}, {165, 176}, {172, 173}})
        EXPECT_GT(BuiltInSkinPicture(hover)
                      .scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                      .pixelColor(0, 0)
                      .lightness(),
                  BuiltInSkinPicture(normal)
                      .scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                      .pixelColor(0, 0)
                      .lightness())
            << normal;

    for (int cls : {0, 1, 2}) {
        const SkinBackground* bg = SkinBackgroundFor(cls);
        ASSERT_NE(bg, nullptr);
        const QImage picture = BuiltInSkinPicture(bg->resourceId);
        ASSERT_EQ(picture.size(), QSize(bg->width, bg->height)) << cls;
        // Key at the corners and around the shape, never inside: on every row the
        // window is one run.
        for (QPoint corner : {QPoint(0, 0), QPoint(bg->width - 1, 0), QPoint(0, bg->height - 1),
                              QPoint(bg->width - 1, bg->height - 1)})
            EXPECT_EQ(picture.pixel(corner) & 0xFFFFFF, kKey & 0xFFFFFF) << cls;
        const QRegion region = RegionFromBitmap(picture);
        for (int y = 0; y < bg->height; ++y) {
            int runs = 0;
            for (int x = 0; x < bg->width; ++x)
                runs += region.contains(QPoint(x, y)) && !region.contains(QPoint(x - 1, y)) ? 1 : 0;
            ASSERT_LE(runs, 1) << "a hole in row " << y << " of class " << cls;
        }
        QRegion holds;
        for (const SkinElementInfo& e : kSkinElements)
            holds += QRect(e.rect.left, e.rect.top, e.rect.Width(), e.rect.Height());
        for (const ControlLayout& c : kStatusControls)
            holds += QRect(c.rect.left, c.rect.top, c.rect.Width(),
                           c.id == IDC_DRIVER_LIST ? 24 : c.rect.Height());
        const int previewWidth[] = {176, 320, 640}, previewHeight[] = {144, 240, 480};
        holds += QRect(166, 151, previewWidth[cls], previewHeight[cls]);
        EXPECT_EQ(holds.subtracted(region), QRegion()) << cls;
        EXPECT_TRUE(QRect(0, 0, bg->windowWidth, bg->windowHeight)
                        .contains(region.boundingRect().adjusted(0, 0, -2, -1)))
            << cls;
    }
    EXPECT_EQ(SkinBackgroundFor(-99), SkinBackgroundFor(0));
    EXPECT_EQ(SkinBackgroundFor(3), nullptr);
    EXPECT_FALSE(ProgramIcon().pixmap(16, 16).isNull());
}

TEST(SkinFolder, UnusableBackgroundsFallBackToTheBuiltInOne) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/";
    const SkinNames names = MakeSkinNames(folder);
    EXPECT_EQ(names[kSkinCaptureOff], folder + "captrue_off.bmp");
    EXPECT_EQ(names[kSkinStopOver], folder + "stop_over.bmp");

    QImage good = Solid(446, 350, qRgb(200, 10, 10));
    good.setPixel(0, 349, kKey);
    ASSERT_TRUE(good.save(QString::fromStdString(names[kSkinBase]), "BMP"));
    WriteButtons(names, qRgb(0, 0, 220));
    QImage stop = Solid(100, 100, qRgb(0, 200, 0)); // larger than its rectangle
    ASSERT_TRUE(stop.save(QString::fromStdString(names[kSkinStopOn]), "BMP"));
    // The folder's face: its background and buttons, the built-in rows.
    std::shared_ptr<SkinFace> face = LoadSkinFace(0, &names);
    ASSERT_TRUE(face);
    EXPECT_TRUE(face->fallbackPath.empty());
    EXPECT_TRUE(face->fromFolder);
    EXPECT_EQ(face->background.pixel(10, 10), qRgb(200, 10, 10));
    EXPECT_EQ(face->region.boundingRect(), QRect(0, 0, 444, 349)) << "clipped to the window";
    EXPECT_EQ(face->pictures[164].size(), QSize(100, 100));
    EXPECT_EQ(face->pictures[144].size(), QSize(98, 15));
    EXPECT_EQ(Painted(*face).pixel(365, 15), qRgb(0, 0, 220)) << "the folder's close button";

    // One button picture missing: the whole built-in skin, drawn as the built-in face is.
    std::shared_ptr<SkinFace> builtIn = LoadSkinFace(0, nullptr);
    ASSERT_TRUE(QFile::remove(QString::fromStdString(names[kSkinEndOff])));
    std::shared_ptr<SkinFace> fallback = LoadSkinFace(0, &names);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->fallbackPath, names[kSkinEndOff]);
    EXPECT_FALSE(fallback->fromFolder);
    const QImage want = Painted(*builtIn), got = Painted(*fallback);
    for (const SkinElementInfo& e : kSkinElements) {
        const QRect r(e.rect.left, e.rect.top, e.rect.Width(), e.rect.Height());
        EXPECT_EQ(got.copy(r), want.copy(r)) << "element " << e.element;
    }
    EXPECT_NE(got.copy(359, 9, 14, 20).pixel(5, 5), qRgb(0, 0, 220));
    WriteButtons(names, qRgb(0, 0, 220));

    // An unusable background: the built-in skin too.
    const QImage builtInBackground = BuiltInSkinPicture(148);
    auto check = [&](const char* what) {
        std::shared_ptr<SkinFace> f = LoadSkinFace(0, &names);
        ASSERT_TRUE(f) << what;
        EXPECT_EQ(f->fallbackPath, names[kSkinBase]) << what;
        EXPECT_EQ(f->background, builtInBackground) << what;
        EXPECT_FALSE(f->region.isEmpty()) << what;
    };
    const QString base = QString::fromStdString(names[kSkinBase]);
    std::string bytes;
    {
        std::ifstream in(names[kSkinBase], std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    WriteBytes(names[kSkinBase], bytes.substr(0, bytes.size() / 2));
    check("truncated");
    ASSERT_TRUE(Solid(2049, 4, qRgb(1, 1, 1)).save(base, "BMP"));
    check("wider than 2048");
    ASSERT_TRUE(Solid(16, 16, qRgb(1, 1, 1)).save(base, "PNG"));
    check("a PNG named .bmp");
    ASSERT_TRUE(Solid(16, 16, kKey).save(base, "BMP"));
    check("all key colour");
    ASSERT_TRUE(QFile::remove(base));
    check("missing");
    ASSERT_TRUE(QDir().mkdir(base));
    check("a folder");
}

// The frame keeps the face in step with what it shows.
namespace {

// A port nobody listens on (below the range outgoing connections are given, so another
// test's client cannot take it meanwhile), or, when `hold` is set, one this test keeps busy.
int Port(int* held = nullptr) {
    if (!held)
        return static_cast<int>(kestrel::testing::ServerTestPort());
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    if (held) {
        ::listen(fd, 1);
        *held = fd;
    } else {
        ::close(fd);
    }
    return ntohs(a.sin_port);
}

class SkinApp {
public:
    SkinApp(int port, const std::string& extra = "") {
        const std::string folder = m_dir.path().toStdString();
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08x", port);
        WriteBytes(
            folder + "/Kestrels.reg",
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
            "\"uPort\"=dword:" +
                std::string(hex) + "\n\"strRoot\"=\"" + folder + "/www\"\n" + extra);
        AppEnvironment env;
        env.configFolder = folder;
        auto box = std::make_unique<RecordingMessageBox>();
        m_box = box.get();
        env.messageBox = std::move(box);
        env.makeView = [this]() -> std::unique_ptr<IMainView> {
            auto v = std::make_unique<HeadlessMainView>();
            m_view = v.get();
            return v;
        };
        m_app = std::make_unique<CMainApp>(std::move(env));
    }
    CMainApp* operator->() { return m_app.get(); }
    CMainFrame& Frame() { return *m_app->MainFrame(); }
    Composition& Parts() { return *m_app->Parts(); }
    HeadlessMainView& View() { return *m_view; }
    RecordingMessageBox& Box() { return *m_box; }
    std::string Folder() const { return m_dir.path().toStdString(); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<CMainApp> m_app;
    RecordingMessageBox* m_box = nullptr;
    HeadlessMainView* m_view = nullptr;
};

std::vector<int> Elements(std::initializer_list<SkinElement> list) {
    return std::vector<int>(list.begin(), list.end());
}

} // namespace

TEST(SkinFrame, StartAndStopPicturesFollowTheListeningSocket) {
    int busy = -1;
    const int port = Port(&busy);
    SkinApp app(port);
    ASSERT_TRUE(app->InitInstance());
    // The start failed: the skin says stopped.
    ASSERT_FALSE(app.Parts().WebServer().IsListening());
    EXPECT_EQ(app.View().SkinPictures()[kElemStop], 164);
    EXPECT_EQ(app.View().SkinPictures()[kElemStart], 160);
    ::close(busy);
    // Started and stopped again, as the tray does: both buttons follow, nothing else.
    ASSERT_TRUE(app.Frame().StartServer());
    EXPECT_EQ(app.View().SkinPictures()[kElemStop], 161);
    EXPECT_EQ(app.View().SkinPictures()[kElemStart], 163);
    EXPECT_EQ(app.View().ChangedElements(), Elements({kElemStop, kElemStart}));
    app.Frame().StopServer();
    EXPECT_EQ(app.View().SkinPictures()[kElemStart], 160);
    EXPECT_EQ(app.View().ChangedElements(), Elements({kElemStop, kElemStart}));
    // The skin's buttons: queued, run from the event loop.
    EXPECT_FALSE(app.Frame().OnSkinLButtonDown(300, 100));
    EXPECT_FALSE(app.Parts().WebServer().IsListening()) << "nothing runs inside the mouse handler";
    QCoreApplication::processEvents();
    EXPECT_TRUE(app.Parts().WebServer().IsListening());
    EXPECT_EQ(app.View().SkinPictures()[kElemStart], 163);
    app.Frame().OnSkinLButtonDown(250, 120);
    QCoreApplication::processEvents();
    EXPECT_FALSE(app.Parts().WebServer().IsListening());
    EXPECT_EQ(app.View().SkinPictures()[kElemStop], 164);
    EXPECT_TRUE(app.Frame().OnSkinLButtonDown(360, 10)) << "the close button ends the window";
}

TEST(SkinFrame, VideoRowsAreGreyedFromTheStartWithoutADevice) {
    SkinApp app(Port());
    ASSERT_TRUE(app->InitInstance());
    ASSERT_NE(app.View().Skin(), nullptr);
    EXPECT_EQ(app.View().SkinClass(), -99);
    EXPECT_EQ(app.View().Skin()->windowWidth, 444);
    EXPECT_EQ(app.View().SkinPictures()[kElemRow4], 191);
    EXPECT_EQ(app.View().SkinPictures()[kElemRow5], 190);
    EXPECT_EQ(app.View().SkinPictures()[kElemRow6], 192);
    // The pointer repaints only what it crosses; greyed rows stay greyed.
    app.Frame().OnSkinMouseMove(50, 135);
    EXPECT_EQ(app.View().ChangedElements(), Elements({kElemRow1}));
    app.Frame().OnSkinMouseMove(50, 150);
    EXPECT_EQ(app.View().ChangedElements(), Elements({kElemRow1, kElemRow2}));
    app.Frame().OnSkinMouseMove(50, 180);
    EXPECT_EQ(app.View().ChangedElements(), Elements({kElemRow2}));
    EXPECT_EQ(app.View().SkinPictures()[kElemRow4], 191);
    app.Frame().OnSkinMouseMove(50, 150);
    app.Frame().OnSkinMouseLeave();
    EXPECT_EQ(app.View().SkinPictures()[kElemRow2], 154);
    // A click on a greyed row sends nothing; the painted face shows the greyed picture.
    const QImage painted = app.View().PaintedFace();
    EXPECT_EQ(painted.pixel(30, 204), BuiltInSkinPicture(192).pixel(0, 0));
}

TEST(SkinFrame, TestPatternEnablesItsRowsAndItsSizeSwitchesTheSkin) {
    SkinApp app(Port(), "\"CaptureDevice\"=dword:00000000\n");
    ASSERT_TRUE(app->InitInstance());
    ASSERT_EQ(app.Parts().Settings().image.CaptureDevice, 0);
    // The test pattern's 320 x 240 frames: class 1, its background and size.
    EXPECT_EQ(app.View().SkinClass(), 1);
    EXPECT_EQ(app.View().Width(), 610);
    EXPECT_EQ(app.View().Skin()->background.size(), QSize(610, 495));
    EXPECT_EQ(app.View().SkinPictures()[kElemRow4], 156);
    EXPECT_EQ(app.View().SkinPictures()[kElemRow5], 151);
    EXPECT_EQ(app.View().SkinPictures()[kElemRow6], 192) << "the test pattern has no display dialog";
    // Choosing no device greys the rows at once, without a pointer move.
    app.View().ChooseDriver(0);
    EXPECT_EQ(app.View().SkinPictures()[kElemRow4], 191);
    EXPECT_EQ(app.View().SkinPictures()[kElemRow5], 190);
    // The preview toggle repaints the capture button.
    const int before = app.View().SkinPictures()[kElemCapture];
    app.Parts().Capture().TogglePreview();
    EXPECT_NE(app.View().SkinPictures()[kElemCapture], before);
    EXPECT_EQ(app.View().ChangedElements(), Elements({kElemCapture}));
}

TEST(SkinFrame, MeterAndLampFollowTheIdleStep) {
    const int port = Port();
    SkinApp app(port);
    ASSERT_TRUE(app->InitInstance());
    ASSERT_TRUE(app.Parts().WebServer().IsListening());
    EXPECT_EQ(app.View().SkinPictures()[kElemMeter], 189);
    // One real request from this machine.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string request = "GET /nothing-here HTTP/1.0\r\n\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    char buf[4096];
    bool closed = false;
    for (int i = 0; i < 2000 && !closed; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        closed = n == 0;
    }
    ::close(fd);
    ASSERT_TRUE(closed) << "no answer";
    app.Parts().ServiceIdle();
    EXPECT_EQ(app.Parts().HitTracker().ViewerCount(), 1);
    EXPECT_EQ(app.View().SkinPictures()[kElemMeter], 177);
    EXPECT_EQ(app.View().SkinPictures()[kElemLamp], app.Parts().HitTracker().ActivityLamp() ? 138 : 139);
}

TEST(SkinFrame, BrokenSkinFolderFallsBackWithOneMessageFromTheEventLoop) {
    QTemporaryDir skins;
    const std::string folder = skins.path().toStdString() + "/myskin/";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    QImage base = Solid(446, 350, qRgb(10, 200, 10));
    base.setPixel(0, 349, kKey);
    ASSERT_TRUE(base.save(QString::fromStdString(folder + "base.bmp"), "BMP")); // no base1.bmp
    WriteButtons(MakeSkinNames(folder), qRgb(0, 0, 220));
    SkinApp app(Port(), "\"SkinBmp\"=\"" + folder + "\"\n\"CaptureDevice\"=dword:00000000\n");
    ASSERT_TRUE(app->InitInstance());
    ASSERT_EQ(app.View().SkinClass(), 1);
    EXPECT_EQ(app.View().Skin()->background, BuiltInSkinPicture(136));
    EXPECT_TRUE(app.Box().texts.empty()) << "the message waits for the event loop";
    QCoreApplication::processEvents();
    ASSERT_EQ(app.Box().texts.size(), 1u);
    EXPECT_EQ(app.Box().texts[0],
              "スキン画像を読み込めません：\n" + folder + "base1.bmp\nスキン全体に内蔵のスキンを使います。");
    // The same path again in this run: no second message.
    app.Frame().SwitchSkin();
    QCoreApplication::processEvents();
    EXPECT_EQ(app.Box().texts.size(), 1u);
    // The folder stays in use: class 0 (no device) is drawn from its base.bmp.
    SkinApp noDevice(Port(), "\"SkinBmp\"=\"" + folder + "\"\n");
    ASSERT_TRUE(noDevice->InitInstance());
    EXPECT_EQ(noDevice.View().Skin()->background.pixel(5, 5), qRgb(10, 200, 10));
    QCoreApplication::processEvents();
    EXPECT_TRUE(noDevice.Box().texts.empty());
}

TEST(SkinFrame, SkinFolderClearedAtCreationLoadsTheBuiltInSkin) {
    QTemporaryDir skins;
    const std::string stored = skins.path().toStdString() + "/blue"; // no final separator
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(stored)));
    QImage base = Solid(446, 350, qRgb(10, 10, 200));
    base.setPixel(0, 349, kKey);
    ASSERT_TRUE(base.save(QString::fromStdString(stored + "base.bmp"), "BMP")); // "…/bluebase.bmp"
    SkinApp app(Port(), "\"SkinBmp\"=\"" + stored + "\"\n");
    ASSERT_TRUE(app->InitInstance());
    ASSERT_EQ(app.Parts().Settings().basic.SkinBmp, "");
    EXPECT_EQ(app.Frame().SkinFileNames()[kSkinBase], stored + "base.bmp") << "names built before creation";
    ASSERT_NE(app.View().Skin(), nullptr);
    EXPECT_FALSE(app.View().Skin()->fromFolder);
    EXPECT_EQ(app.View().Skin()->background, BuiltInSkinPicture(148));
    QCoreApplication::processEvents();
    EXPECT_TRUE(app.Box().texts.empty());
}
