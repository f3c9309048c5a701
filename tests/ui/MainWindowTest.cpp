// The widget main window driven by the real start-up: frameless 444 x 349, the status
// controls at their rectangles with their fonts and colours, the driver list's
// notifications, closing, and a picture of the window.
//
// Runs on the offscreen platform under ctest; run it under Xvfb with QT_QPA_PLATFORM=xcb
// (scripts/screenshot.sh) to check a real display. KESTREL_SCREENSHOT=<file.png> keeps
// the picture of the window.

#include "ui/MainWindow.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "app/Skin.h"
#include "support/FreePort.h"
#include "support/RecordingMessageBox.h"

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>

#include <cstdlib>

using namespace kestrel;
using kestrel::test::RecordingMessageBox;

namespace {

// The program's start with the widget window, over a temporary configuration folder.
class WindowedApp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        // The server listens on a free port, never on port 80.
        std::ofstream(SettingsPath()) << "Windows Registry Editor Version 5.00\n\n"
                                         "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
                                      << kestrel::testing::PortLine(kestrel::testing::FreeTcpPort());
        AppEnvironment env;
        env.configFolder = m_dir.path().toStdString();
        auto box = std::make_unique<RecordingMessageBox>();
        m_box = box.get();
        env.messageBox = std::move(box);
        env.makeView = [this]() -> std::unique_ptr<IMainView> {
            auto window = std::make_unique<MainWindow>();
            window->OnCloseRequested([this] {
                ++m_closes;
                m_app->ExitMainFrame();
            });
            m_window = window.get();
            return window;
        };
        m_app = std::make_unique<CMainApp>(std::move(env));
        ASSERT_TRUE(m_app->InitInstance());
        QApplication::processEvents();
    }
    void TearDown() override { m_app.reset(); }

    template <typename T> T* Control(ControlId id) {
        T* w = qobject_cast<T*>(m_window->Control(id));
        EXPECT_NE(w, nullptr) << id;
        return w;
    }
    std::string SettingsPath() const { return m_dir.path().toStdString() + "/Kestrels.reg"; }

    QTemporaryDir m_dir;
    std::unique_ptr<CMainApp> m_app;
    MainWindow* m_window = nullptr;
    RecordingMessageBox* m_box = nullptr;
    int m_closes = 0;
};

QColor Colour(COLORREF c) {
    return QColor(GetRValue(c), GetGValue(c), GetBValue(c));
}

} // namespace

TEST_F(WindowedApp, WindowIsFramelessAndItsSizeIsFixed) {
    ASSERT_NE(m_window, nullptr);
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_TRUE(m_window->isWindow());
    EXPECT_TRUE(m_window->windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(m_window->size(), QSize(444, 349));
    EXPECT_EQ(m_window->minimumSize(), QSize(444, 349));
    EXPECT_EQ(m_window->maximumSize(), QSize(444, 349));
    EXPECT_FALSE(m_window->IsHeadless());
}

TEST_F(WindowedApp, StatusControlsSitAtTheirRectanglesWithFontsAndColours) {
    struct Row {
        ControlId id;
        QRect rect; // left, top, width, height
        int fontHeight;
        COLORREF background;
    } rows[] = {
        {IDC_UPTIME, QRect(75, 263, 50, 9), 10, RGB(184, 188, 184)},
        {IDC_VIEWER_COUNT, QRect(35, 294, 86, 9), 10, RGB(208, 216, 208)},
        {IDC_ADDRESS, QRect(34, 44, 120, 9), 10, RGB(208, 216, 208)},
    };
    for (const Row& r : rows) {
        QLabel* label = Control<QLabel>(r.id);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->geometry(), r.rect) << r.id;
        EXPECT_TRUE(label->isVisible());
        EXPECT_TRUE(label->autoFillBackground());
        EXPECT_EQ(label->alignment(), Qt::AlignLeft | Qt::AlignTop) << r.id;
        EXPECT_EQ(label->palette().color(QPalette::Window), Colour(r.background)) << r.id;
        EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(Qt::black)) << r.id;
        EXPECT_EQ(QFontInfo(label->font()).family(), "IPAPGothic") << r.id;
        QFontMetrics fm(label->font());
        EXPECT_LE(fm.ascent() + fm.descent(), r.fontHeight) << r.id;
    }

    // The capture preview took the placeholder's place at its top left.
    EXPECT_EQ(m_window->Control(IDC_PREVIEW_PLACEHOLDER), nullptr);
    QWidget* preview = m_window->findChild<QWidget*>("preview");
    ASSERT_NE(preview, nullptr);
    EXPECT_EQ(preview->geometry().topLeft(), QPoint(166, 151));

    QComboBox* drivers = Control<QComboBox>(IDC_DRIVER_LIST);
    ASSERT_NE(drivers, nullptr);
    EXPECT_EQ(drivers->geometry().topLeft(), QPoint(127, 6));
    EXPECT_EQ(drivers->width(), 175);
    EXPECT_GE(drivers->height(), 20);
    EXPECT_LT(drivers->height(), 151 - 6) << "the closed list must not cover the preview";
    EXPECT_EQ(QFontInfo(drivers->font()).family(), "IPAPGothic");
    QFontMetrics dfm(drivers->font());
    EXPECT_LE(dfm.ascent() + dfm.descent(), 13);

    QListWidget* viewers = Control<QListWidget>(IDC_VIEWER_LIST);
    ASSERT_NE(viewers, nullptr);
    EXPECT_EQ(viewers->geometry().topLeft(), QPoint(28, 59));
    EXPECT_EQ(viewers->width(), 327);
    EXPECT_TRUE(viewers->isSortingEnabled());
    QFontMetrics vfm(viewers->font());
    EXPECT_LE(vfm.ascent() + vfm.descent(), 11);

    // Every control lies inside the window.
    for (ControlId id : {IDC_UPTIME, IDC_VIEWER_COUNT, IDC_ADDRESS, IDC_DRIVER_LIST, IDC_VIEWER_LIST})
        EXPECT_TRUE(m_window->rect().contains(m_window->Control(id)->geometry())) << id;
}

TEST_F(WindowedApp, DriverListNotifiesTheUsersChoiceOnly) {
    std::vector<int> chosen;
    m_window->OnDriverChosen([&chosen](int i) { chosen.push_back(i); });
    EXPECT_EQ(m_window->DriverListItems(),
              (std::vector<std::string>{"No Driver Selected", "Kestrel Test Pattern"}));
    EXPECT_EQ(m_window->DriverListSelection(), 0);
    m_window->DriverListSelect(1);
    EXPECT_EQ(m_window->DriverListSelection(), 1);
    EXPECT_TRUE(chosen.empty()) << "a selection by the program raises no notification";
    QComboBox* combo = Control<QComboBox>(IDC_DRIVER_LIST);
    emit combo->activated(0); // what a click on the first entry delivers
    EXPECT_EQ(chosen, std::vector<int>{0});
    m_window->DriverListSelect(7);
    EXPECT_EQ(m_window->DriverListSelection(), -1) << "an index past the list selects nothing";
    for (const std::string& text : m_box->texts) // the test pattern is always there
        EXPECT_NE(text, "キャプチャデバイスが存在しません");
}

TEST_F(WindowedApp, ViewerListAndLabelsKeepTheirContent) {
    m_window->ViewerListAdd("192.168.0.20");
    m_window->ViewerListAdd("10.0.0.1");
    m_window->ViewerListAdd("172.16.0.5");
    EXPECT_EQ(m_window->ViewerListItems(),
              (std::vector<std::string>{"10.0.0.1", "172.16.0.5", "192.168.0.20"}));
    m_window->ViewerListRemove("172.16.0.5");
    m_window->ViewerListRemove("not there");
    EXPECT_EQ(m_window->ViewerListItems(), (std::vector<std::string>{"10.0.0.1", "192.168.0.20"}));
    m_window->ViewerListClear();
    EXPECT_TRUE(m_window->ViewerListItems().empty());
    m_window->SetControlText(IDC_ADDRESS, "203.0.113.7");
    EXPECT_EQ(m_window->ControlText(IDC_ADDRESS), "203.0.113.7");
    m_window->SetControlText(IDC_VIEWER_COUNT, "見ている人 3");
    EXPECT_EQ(m_window->ControlText(IDC_VIEWER_COUNT), "見ている人 3");
}

TEST_F(WindowedApp, ClosingTheWindowRunsTheExitOnceAndSavesTheSettings) {
    EXPECT_TRUE(m_window->close());
    EXPECT_EQ(m_closes, 1);
    EXPECT_TRUE(m_app->Exited());
    EXPECT_FALSE(m_window->HasControl(IDC_DRIVER_LIST));
    QFile file(QString::fromStdString(SettingsPath()));
    ASSERT_TRUE(file.exists());
    EXPECT_EQ(file.permissions() &
                  (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
              QFile::Permissions());
    m_window->CloseFrame(); // a second close request changes nothing
    EXPECT_EQ(m_closes, 1);
}

TEST_F(WindowedApp, ViewerListShowsWholeRowsAndCoversNoButton) {
    QListWidget* viewers = Control<QListWidget>(IDC_VIEWER_LIST);
    ASSERT_NE(viewers, nullptr);
    m_window->show();
    for (int count : {1, 3, 10}) {
        m_window->ViewerListClear();
        for (int i = 0; i < count; ++i)
            m_window->ViewerListAdd("192.168.0." + std::to_string(10 + i));
        QApplication::processEvents();
        const QRect g = viewers->geometry();
        EXPECT_LE(g.top() + g.height(), 94) << count;
        for (SkinElement e : {kElemStart, kElemStop, kElemCapture}) {
            const Rect& r = kSkinElements[e].rect;
            EXPECT_FALSE(g.intersects(QRect(r.left, r.top, r.Width(), r.Height())))
                << count << " covers " << e;
        }
        // The rows seen from the top fill the view exactly: no row is cut at the bottom.
        const int row = viewers->sizeHintForRow(0);
        ASSERT_GT(row, 0);
        EXPECT_EQ(viewers->viewport()->height() % row, 0)
            << count << ": view " << viewers->viewport()->height();
        EXPECT_GE(viewers->viewport()->height() / row, 1) << count;
        for (int i = 0; i < count; ++i) {
            const QRect item = viewers->visualItemRect(viewers->item(i));
            if (item.top() < viewers->viewport()->height()) {
                EXPECT_LE(item.bottom(), viewers->viewport()->height() - 1) << count << " row " << i;
            }
        }
    }
    // The smallest list still holds one row.
    EXPECT_EQ(WholeRowsHeight(*viewers, 3), 2 * viewers->frameWidth() + viewers->sizeHintForRow(0));
}

TEST_F(WindowedApp, PictureShowsTheStatusColoursWhereTheControlsAre) {
    m_window->SetControlText(IDC_ADDRESS, "203.0.113.7");
    m_window->SetControlText(IDC_UPTIME, "0:00");
    for (const char* viewer : {"192.168.0.20", "10.0.0.1", "172.16.0.5"})
        m_window->ViewerListAdd(viewer);
    QApplication::processEvents();
    QImage picture = m_window->grab().toImage();
    ASSERT_EQ(picture.size(), QSize(444, 349) * picture.devicePixelRatio());
    if (const char* out = std::getenv("KESTREL_SCREENSHOT")) {
        EXPECT_TRUE(picture.save(out)) << out;
    }
    auto at = [&](int x, int y) { return QColor(picture.pixel(x, y)); };
    // The empty viewer-count display is all background; the uptime display's right end too.
    EXPECT_EQ(at(118, 298), Colour(RGB(208, 216, 208)));
    EXPECT_EQ(at(123, 270), Colour(RGB(184, 188, 184)));
    // The address line carries dark text on its background.
    int dark = 0;
    for (int x = 34; x < 154; ++x)
        for (int y = 44; y < 53; ++y)
            dark += at(x, y).lightness() < 100 ? 1 : 0;
    EXPECT_GT(dark, 10) << "no text drawn in the address line";
}

namespace {

// Stands in for the frame to see what the window forwards.
class RecordingInput : public ISkinInput {
public:
    void OnSkinMouseMove(int x, int y) override { moves.push_back({x, y}); }
    void OnSkinMouseLeave() override { ++leaves; }
    bool OnSkinLButtonDown(int x, int y) override {
        presses.push_back({x, y});
        return closeOnPress;
    }
    void OnInputEvent() override { ++inputs; }
    std::vector<QPoint> moves, presses;
    int leaves = 0, inputs = 0;
    bool closeOnPress = false;
};

void Send(QWidget* to, QEvent::Type type, QPoint at, Qt::MouseButtons held) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, QPointF(at), QPointF(to->mapToGlobal(at)), button, held, Qt::NoModifier);
    QApplication::sendEvent(to, &event);
}

QRect ElementRect(SkinElement e) {
    const Rect& r = kSkinElements[e].rect;
    return QRect(r.left, r.top, r.Width(), r.Height());
}

} // namespace

TEST_F(WindowedApp, WindowIsCutToTheSkinAndShowsItsFace) {
    const SkinFace* face = m_window->Skin();
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(m_window->mask(), face->region);
    EXPECT_FALSE(m_window->mask().contains(QPoint(0, 0))) << "the corner is cut away";
    EXPECT_TRUE(m_window->mask().contains(QPoint(200, 200)));
    const QImage picture = m_window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    // The first row's picture where nothing covers it, the greyed video display row (no
    // device is chosen in a fresh start).
    const QImage row1 = BuiltInSkinPicture(144), row6 = BuiltInSkinPicture(192);
    for (QPoint p : {QPoint(0, 0), QPoint(50, 7), QPoint(97, 14)})
        EXPECT_EQ(picture.pixel(p + QPoint(30, 129)), row1.pixel(p)) << p.x() << "," << p.y();
    EXPECT_EQ(picture.pixel(QPoint(30, 204)), row6.pixel(0, 0));
}

TEST_F(WindowedApp, HoverRepaintsOnlyTheRowsThePointerCrosses) {
    Send(m_window, QEvent::MouseMove, QPoint(50, 135), Qt::NoButton);
    EXPECT_EQ(m_window->SkinPictures()[kElemRow1], 145);
    EXPECT_EQ(m_window->LastRepaints(), std::vector<QRect>{ElementRect(kElemRow1)});
    Send(m_window, QEvent::MouseMove, QPoint(50, 136), Qt::NoButton);
    EXPECT_TRUE(m_window->LastRepaints().empty()) << "an unchanged picture is not repainted";
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(m_window, &leave);
    EXPECT_EQ(m_window->SkinPictures()[kElemRow1], 144) << "leaving the window ends the hover";
}

TEST_F(WindowedApp, PressesReachTheFaceExceptThroughControlsAndSecondPresses) {
    RecordingInput input;
    m_window->SetSkinInput(&input);
    Send(m_window, QEvent::MouseButtonPress, QPoint(240, 120), Qt::LeftButton);
    Send(m_window, QEvent::MouseButtonRelease, QPoint(240, 120), Qt::NoButton);
    // The second press of a double-click does nothing.
    Send(m_window, QEvent::MouseButtonDblClick, QPoint(240, 120), Qt::LeftButton);
    Send(m_window, QEvent::MouseButtonRelease, QPoint(240, 120), Qt::NoButton);
    EXPECT_EQ(input.presses, std::vector<QPoint>{QPoint(240, 120)});
    // The viewer list covers the stop button's top and takes that click itself.
    QWidget* list = m_window->Control(IDC_VIEWER_LIST);
    ASSERT_NE(list, nullptr);
    QWidget* viewport = static_cast<QListWidget*>(list)->viewport();
    Send(viewport, QEvent::MouseButtonPress, viewport->mapFrom(m_window, QPoint(240, 105)), Qt::LeftButton);
    EXPECT_EQ(input.presses.size(), 1u);
    EXPECT_GT(input.inputs, 0) << "input on a control arms the idle pass";
    m_window->SetSkinInput(m_app->MainFrame());
}

TEST_F(WindowedApp, DragMovesTheWindowOnlyPastTheDragDistance) {
    RecordingInput input;
    m_window->SetSkinInput(&input);
    const QPoint start = m_window->pos();
    const QPoint at(300, 300);
    Send(m_window, QEvent::MouseButtonPress, at, Qt::LeftButton);
    Send(m_window, QEvent::MouseMove, at + QPoint(1, 0), Qt::LeftButton);
    EXPECT_EQ(m_window->pos(), start) << "a click is no drag";
    Send(m_window, QEvent::MouseMove, at + QPoint(40, 25), Qt::LeftButton);
    EXPECT_EQ(m_window->pos(), start + QPoint(40, 25));
    Send(m_window, QEvent::MouseButtonRelease, at + QPoint(40, 25), Qt::NoButton);
    // A press on the close button never becomes a drag.
    input.closeOnPress = true;
    const QPoint moved = m_window->pos();
    Send(m_window, QEvent::MouseButtonPress, QPoint(360, 10), Qt::LeftButton);
    Send(m_window, QEvent::MouseMove, QPoint(420, 60), Qt::LeftButton);
    EXPECT_EQ(m_window->pos(), moved);
    m_window->SetSkinInput(m_app->MainFrame());
}
