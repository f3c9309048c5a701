// The image settings widgets (offscreen): the colour button's pixels, the colour popup
// with its chooser, the caption dialog with its radio groups and font chooser, the image
// settings dialog's entries and caption boxes, and quitting with these open.

#include "capture/FontMapping.h"
#include "ui/CaptionDialog.h"
#include "ui/ColorButton.h"
#include "ui/ColorPopup.h"
#include "ui/FontChooser.h"
#include "ui/ImageSettingsDialog.h"
#include "ui/QuitController.h"

#include "app/Composition.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "capture/ColorTable.h"
#include "model/QuitState.h"

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

using namespace kestrel;

namespace {

// Runs `step` from the event loop once `ready()` holds (polled every 10 ms). After 5 s
// the test fails and whatever is open is closed, so a broken flow never hangs.
void When(std::function<bool()> ready, std::function<void()> step) {
    auto* timer = new QTimer;
    auto started = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout,
                     [timer, started, ready = std::move(ready), step = std::move(step)] {
                         if (ready()) {
                             timer->stop();
                             timer->deleteLater();
                             step();
                         } else if (++*started > 500) {
                             timer->stop();
                             timer->deleteLater();
                             ADD_FAILURE() << "the awaited window never appeared";
                             if (QWidget* p = QApplication::activePopupWidget())
                                 p->close();
                             if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                                 d->reject();
                         }
                     });
    timer->start(10);
}

template <typename T> T* Modal() {
    return qobject_cast<T*>(QApplication::activeModalWidget());
}
template <typename T> std::function<bool()> ModalIs() {
    return [] { return Modal<T>() != nullptr; };
}

// Answers every message box with OK and keeps its text.
class MessageCatcher {
public:
    MessageCatcher() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (auto* box = Modal<QMessageBox>()) {
                texts.push_back(box->text().toStdString());
                box->accept();
            }
        });
        m_timer.start(5);
    }
    std::vector<std::string> texts;

private:
    QTimer m_timer;
};

template <typename T> T* Child(QWidget* parent, const char* name) {
    T* w = parent->findChild<T*>(QString::fromUtf8(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

QRgb Pixel(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFF;
}
constexpr QRgb kBlack = 0x000000, kWhite = 0xFFFFFF, kGrey = 0x808080, kFace = 0xC0C0C0;

QImage Grab(ColorButton& button) {
    return button.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

TEST(ColorButtonPixels, NormalPressedDisabledAndFocused) {
    QWidget window;
    window.resize(100, 60);
    QPalette pal;
    pal.setColor(QPalette::Button, QColor(0xC0, 0xC0, 0xC0));
    window.setPalette(pal);
    ColorButton button(&window);
    button.setGeometry(10, 10, 40, 20);
    button.SetColor(0xFF0000FF); // a stored value with its fourth byte set
    EXPECT_EQ(button.Color(), 0xFF0000FFu);

    QImage img = Grab(button);
    struct Px {
        int x, y;
        QRgb want;
    };
    const Px normal[] = {
        {0, 0, kFace},      {39, 19, kBlack}, {0, 19, kBlack},  {39, 0, kBlack}, {38, 18, kGrey},
        {1, 18, kGrey},     {1, 1, kWhite},   {37, 1, kWhite},  {1, 17, kWhite}, {38, 1, kGrey},
        {29, 4, kGrey},     {29, 15, kGrey},  {29, 16, kFace},  {30, 4, kWhite}, {29, 3, kFace},
        {31, 9, kFace},     {32, 9, kBlack},  {36, 9, kBlack},  {37, 9, kFace},  {32, 10, kFace},
        {33, 10, kBlack},   {35, 10, kBlack}, {34, 11, kBlack}, {33, 11, kFace}, {5, 4, kBlack},
        {24, 15, kBlack},   {24, 4, kBlack},  {25, 4, kFace},   {5, 16, kFace},  {6, 5, 0xFF0000},
        {23, 14, 0xFF0000},
    };
    for (const Px& p : normal)
        EXPECT_EQ(Pixel(img, p.x, p.y), p.want) << "normal " << p.x << "," << p.y;
    EXPECT_EQ(button.Color(), 0xFF0000FFu) << "painting never changes the stored value";

    button.setDown(true);
    img = Grab(button);
    const Px pressed[] = {
        {0, 0, kGrey},   {0, 18, kGrey},  {0, 19, kWhite},  {39, 0, kWhite},  {39, 19, kWhite},
        {1, 1, kBlack},  {1, 18, kBlack}, {38, 1, kBlack},  {33, 10, kBlack}, {37, 10, kBlack},
        {38, 10, kFace}, {6, 5, kBlack},  {7, 6, 0xFF0000}, {30, 5, kGrey},
    };
    for (const Px& p : pressed)
        EXPECT_EQ(Pixel(img, p.x, p.y), p.want) << "pressed " << p.x << "," << p.y;
    button.setDown(false);

    button.setEnabled(false);
    img = Grab(button);
    const Px disabled[] = {{32, 9, kGrey},   {35, 9, kGrey},   {36, 9, kWhite}, {33, 10, kGrey},
                           {35, 10, kWhite}, {34, 11, kWhite}, {5, 4, kFace},   {10, 10, kFace}};
    for (const Px& p : disabled)
        EXPECT_EQ(Pixel(img, p.x, p.y), p.want) << "disabled " << p.x << "," << p.y;
    button.setEnabled(true);

    window.show();
    window.activateWindow();
    button.setFocus();
    QApplication::processEvents();
    ASSERT_TRUE(button.hasFocus());
    img = Grab(button);
    const Px focused[] = {{3, 3, kBlack}, {4, 3, kFace},   {5, 3, kBlack}, {35, 3, kBlack},
                          {36, 3, kFace}, {3, 15, kBlack}, {3, 16, kFace}};
    for (const Px& p : focused)
        EXPECT_EQ(Pixel(img, p.x, p.y), p.want) << "focused " << p.x << "," << p.y;
}

class PopupTest : public ::testing::Test {
protected:
    void SetUp() override {
        SharedColorTable().Reset();
        m_window.resize(300, 200);
        m_below = new QPushButton("below", &m_window);
        m_below->setGeometry(150, 150, 100, 30);
        m_button = new ColorButton(&m_window);
        m_button->setGeometry(10, 10, 52, 22);
        m_button->SetColor(RGB(1, 1, 1));
        m_window.show();
        QApplication::processEvents();
    }
    void TearDown() override { SharedColorTable().Reset(); }
    ColorPopup* Popup() const {
        auto* p = qobject_cast<ColorPopup*>(QApplication::activePopupWidget());
        return p && p->isVisible() ? p : nullptr;
    }
    std::function<bool()> PopupShown() const {
        return [this] { return Popup() != nullptr; };
    }

    QWidget m_window;
    QPushButton* m_below = nullptr;
    ColorButton* m_button = nullptr;
};

TEST_F(PopupTest, CellClickPicksAndPlacesUnderTheButton) {
    QPoint at;
    When(PopupShown(), [&] {
        at = Popup()->pos();
        QTest::mouseClick(Child<QWidget>(Popup(), "cell5114"), Qt::LeftButton);
    });
    m_button->click();
    EXPECT_EQ(at, m_button->mapToGlobal(QPoint(0, m_button->height())));
    EXPECT_EQ(m_button->Color(), RGB(255, 0, 0));
    EXPECT_EQ(SharedColorTable().Rank(13), 1);
}

TEST_F(PopupTest, KeyboardMovesBetweenCellsAndChooses) {
    // The focus starts on the most recent cell (5101 at first); right, down: 5106.
    When(PopupShown(), [&] {
        EXPECT_TRUE(Child<QWidget>(Popup(), "cell5101")->hasFocus());
        for (Qt::Key k : {Qt::Key_Right, Qt::Key_Down, Qt::Key_Return})
            QTest::keyClick(QApplication::focusWidget(), k);
    });
    m_button->click();
    EXPECT_EQ(m_button->Color(), RGB(128, 0, 128));
    EXPECT_EQ(SharedColorTable().Rank(5), 1);

    // Below the last row lies "その他..."; up from it is the last row; Esc cancels.
    bool otherFocused = false;
    When(PopupShown(), [&] {
        EXPECT_TRUE(Child<QWidget>(Popup(), "cell5106")->hasFocus());
        for (int i = 0; i < 6; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        otherFocused = Child<QWidget>(Popup(), "otherColor")->hasFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
        EXPECT_TRUE(Child<QWidget>(Popup(), "cell5117")->hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    });
    m_button->click();
    EXPECT_TRUE(otherFocused);
    EXPECT_EQ(m_button->Color(), RGB(128, 0, 128));
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);

    // Edges hold.
    EXPECT_EQ(NextPopupPlace(0, Qt::Key_Left), 0);
    EXPECT_EQ(NextPopupPlace(2, Qt::Key_Up), 2);
    EXPECT_EQ(NextPopupPlace(19, Qt::Key_Right), 19);
    EXPECT_EQ(NextPopupPlace(20, Qt::Key_Down), 20);
}

TEST_F(PopupTest, PressOutsideCancelsAndReachesNothingBelow) {
    int pressed = 0;
    QObject::connect(m_below, &QPushButton::pressed, [&] { ++pressed; });
    When(PopupShown(), [&] {
        ColorPopup* p = Popup();
        QTest::mousePress(p->windowHandle(), Qt::LeftButton, {},
                          p->mapFromGlobal(m_below->mapToGlobal(QPoint(5, 5))));
    });
    m_button->click();
    EXPECT_EQ(m_button->Color(), RGB(1, 1, 1));
    EXPECT_EQ(pressed, 0);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
}

TEST_F(PopupTest, OtherColourThroughTheChooser) {
    // Cancel in the chooser: the popup is back in place; then Esc cancels it.
    QPoint first, again;
    When(PopupShown(), [&] {
        first = Popup()->pos();
        When(ModalIs<QColorDialog>(), [&] {
            EXPECT_EQ(Modal<QColorDialog>()->currentColor(), QColor(Qt::black));
            EXPECT_FALSE(Modal<QColorDialog>()->testOption(QColorDialog::ShowAlphaChannel));
            Modal<QColorDialog>()->reject();
            When(PopupShown(), [&] {
                again = Popup()->pos();
                QTest::keyClick(Popup(), Qt::Key_Escape);
            });
        });
        Child<QPushButton>(Popup(), "otherColor")->click();
    });
    m_button->click();
    EXPECT_EQ(again, first);
    EXPECT_EQ(m_button->Color(), RGB(1, 1, 1));

    // A colour of the table selects that cell and changes no colour; a new one replaces
    // the least recently used cell.
    struct Row {
        QColor pick;
        int cell;
    } rows[] = {{QColor(0, 0, 128), 4}, {QColor(1, 2, 3), 10}};
    for (const Row& row : rows) {
        When(PopupShown(), [&] {
            When(ModalIs<QColorDialog>(), [&] {
                Modal<QColorDialog>()->setCurrentColor(row.pick);
                Modal<QColorDialog>()->accept();
            });
            Child<QPushButton>(Popup(), "otherColor")->click();
        });
        m_button->click();
        EXPECT_EQ(m_button->Color(), RGB(row.pick.red(), row.pick.green(), row.pick.blue()));
        EXPECT_EQ(SharedColorTable().Rank(row.cell), 1);
    }
    EXPECT_EQ(SharedColorTable().Colour(4), RGB(0, 0, 128));
    EXPECT_EQ(SharedColorTable().Colour(10), RGB(1, 2, 3));
}

TEST(CaptionDialogTest, RadioGroupsBothWaysAndAStoredSeven) {
    struct Row {
        int value, want;
    } rows[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {7, -1}};
    for (const Row& r : rows) {
        Caption c;
        c.HPosType = r.value;
        c.VPosType = r.value;
        c.BackType = r.value <= 1 ? r.value : r.value == 7 ? 7 : 1;
        CCaptionDlg dlg(c);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(Child<QRadioButton>(&dlg, ("hPosType" + std::to_string(i)).c_str())->isChecked(),
                      i == r.value);
            EXPECT_EQ(Child<QRadioButton>(&dlg, ("vPosType" + std::to_string(i)).c_str())->isChecked(),
                      i == r.value);
        }
        dlg.accept();
        ASSERT_EQ(dlg.result(), QDialog::Accepted);
        EXPECT_EQ(dlg.Result().HPosType, r.want);
        EXPECT_EQ(dlg.Result().VPosType, r.want);
        EXPECT_EQ(dlg.Result().BackType, r.value == 7 ? -1 : std::min(r.value, 1));
    }
    // Clicking sets the value.
    CCaptionDlg dlg{Caption()};
    Child<QRadioButton>(&dlg, "hPosType2")->click();
    Child<QRadioButton>(&dlg, "backType1")->click();
    dlg.accept();
    EXPECT_EQ(dlg.Result().HPosType, 2);
    EXPECT_EQ(dlg.Result().BackType, 1);
}

TEST(CaptionDialogTest, EntriesAreCheckedOnOk) {
    MessageCatcher messages;
    Caption c;
    c.XPos = INT32_MAX; // hand-edited: shown clamped
    CCaptionDlg dlg(c);
    EXPECT_EQ(Child<QLineEdit>(&dlg, "xPos")->text(), "4096");
    Child<QLineEdit>(&dlg, "yPos")->setText(" -12 ");
    std::string text;
    for (int i = 0; i < 341; ++i)
        text += "字";
    Child<QLineEdit>(&dlg, "text")->setText(QString::fromStdString(text + "a"));
    dlg.accept();
    EXPECT_NE(dlg.result(), QDialog::Accepted);
    ASSERT_EQ(messages.texts.size(), 1u);
    EXPECT_EQ(messages.texts[0], "キャプションは1023バイト以内で入力してください（現在1024バイト）。");

    Child<QLineEdit>(&dlg, "text")->setText(QString::fromStdString(text));
    Child<QLineEdit>(&dlg, "xPos")->setText("4097");
    dlg.accept();
    EXPECT_NE(dlg.result(), QDialog::Accepted);
    ASSERT_EQ(messages.texts.size(), 2u);
    EXPECT_EQ(messages.texts[1], "-4096から4096までの整数を入力してください。");

    Child<QLineEdit>(&dlg, "xPos")->setText("+4096");
    dlg.accept();
    ASSERT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.Result().XPos, 4096);
    EXPECT_EQ(dlg.Result().YPos, -12);
    EXPECT_EQ(dlg.Result().Text, text);
    EXPECT_EQ(messages.texts.size(), 2u);
}

TEST(CaptionDialogTest, FontChooserWritesOnlyWhatChanged) {
    const Caption start; // the "System" record, cell height 16, bold
    struct Row {
        const char* what;
        std::function<void(FontChooser&)> change;
        std::function<void(const LOGFONTA&)> check;
    } rows[] = {
        {"nothing", [](FontChooser&) {},
         [&](const LOGFONTA& lf) { EXPECT_EQ(std::memcmp(&lf, &start.FontInfo, sizeof lf), 0); }},
        {"style only", [](FontChooser& f) { Child<QListWidget>(&f, "style")->setCurrentRow(0); },
         [](const LOGFONTA& lf) {
             EXPECT_EQ(lf.lfHeight, 16);
             EXPECT_EQ(lf.lfWeight, FW_NORMAL);
             EXPECT_EQ(FaceNameOf(lf), "System");
         }},
        {"12 pt bold IPAPGothic",
         [](FontChooser& f) {
             auto* families = Child<QListWidget>(&f, "family");
             families->setCurrentItem(families->findItems("IPAGothic", Qt::MatchExactly).value(0));
             families->setCurrentItem(families->findItems("IPAPGothic", Qt::MatchExactly).value(0));
             Child<QLineEdit>(&f, "size")->setText("12");
         },
         [](const LOGFONTA& lf) {
             EXPECT_EQ(lf.lfHeight, -16);
             EXPECT_EQ(lf.lfWeight, FW_BOLD);
             EXPECT_EQ(lf.lfCharSet, SHIFTJIS_CHARSET);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CCaptionDlg dlg(start);
        When(ModalIs<FontChooser>(), [&] {
            FontChooser* f = Modal<FontChooser>();
            EXPECT_EQ(Child<QListWidget>(f, "style")->currentRow(), 2) << "opens on 太字";
            row.change(*f);
            Child<QPushButton>(f, "accept")->click();
        });
        Child<QPushButton>(&dlg, "fontInfo")->click();
        dlg.accept();
        row.check(dlg.Result().FontInfo);
    }
    // The "System" record opens on the Japanese fallback; offered families fit the record.
    for (const QString& f : ChooserFamilies())
        EXPECT_LE(f.toUtf8().size(), 31) << f.toStdString();
}

TEST(CaptionDialogTest, FontSizeOutsideTheRangeIsRefused) {
    MessageCatcher messages;
    FontChooser chooser(FontChoiceFromLogFont(DefaultCaptionLogFont()));
    for (const char* typed : {"0", "301", "abc"}) {
        Child<QLineEdit>(&chooser, "size")->setText(typed);
        chooser.accept();
        EXPECT_NE(chooser.result(), QDialog::Accepted) << typed;
    }
    EXPECT_EQ(messages.texts, (std::vector<std::string>{"1から300までの整数を入力してください。",
                                                        "1から300までの整数を入力してください。",
                                                        "整数を入力してください。"}));
}

class ImageDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_settings.captions[0].Text = "a&b";
        m_settings.captions[0].Enabled = 1;
        m_settings.captions[1].Text = "second";
    }
    std::string Root() const { return m_dir.path().toStdString(); }

    QTemporaryDir m_dir;
    ImageSettings m_settings;
};

TEST_F(ImageDialogTest, StoredValuesShownAndReadBack) {
    m_settings.CapFPS = 5;
    m_settings.ImageWidth = 99999;
    m_settings.JpegQuality = 150;
    CImageSettingsDlg dlg(m_settings, Root());
    EXPECT_EQ(dlg.windowTitle(), "イメージ設定");
    EXPECT_EQ(Child<QComboBox>(&dlg, "capFPS")->currentIndex(), -1);
    EXPECT_EQ(Child<QLineEdit>(&dlg, "imageWidth")->text(), "4096");
    auto* box = Child<QCheckBox>(&dlg, "caption0");
    EXPECT_EQ(box->text(), "a&&b");
    EXPECT_EQ(box->toolTip(), "a&b");
    EXPECT_TRUE(box->isChecked());
    EXPECT_FALSE(Child<QCheckBox>(&dlg, "caption1")->isChecked());
    dlg.accept();
    ASSERT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.Result().CapFPS, static_cast<uint32_t>(-1));
    EXPECT_EQ(dlg.Result().ImageWidth, 4096);
    EXPECT_EQ(dlg.Result().JpegQuality, 100);
}

TEST_F(ImageDialogTest, SizeEntriesAreCheckedOnOk) {
    MessageCatcher messages;
    CImageSettingsDlg dlg(m_settings, Root());
    auto* width = Child<QLineEdit>(&dlg, "imageWidth");
    for (const char* typed : {"99999", "-5", "", "abc"}) {
        width->setText(typed);
        dlg.accept();
        EXPECT_NE(dlg.result(), QDialog::Accepted) << typed;
    }
    EXPECT_EQ(messages.texts,
              (std::vector<std::string>{"0から4096までの整数を入力してください。",
                                        "0から4096までの整数を入力してください。", "整数を入力してください。",
                                        "整数を入力してください。"}));
    width->setText(" 0 ");
    Child<QLineEdit>(&dlg, "overlayBmp")->setText("pictures/over.bmp");
    dlg.accept();
    ASSERT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.Result().ImageWidth, 0);
    EXPECT_EQ(dlg.Result().OverlayBmp, QDir::currentPath().toStdString() + "/pictures/over.bmp");
}

TEST_F(ImageDialogTest, CaptionBoxesOpenTheCaptionDialogOnlyWhenSwitchedOn) {
    CImageSettingsDlg dlg(m_settings, Root());
    Child<QLineEdit>(&dlg, "imageWidth")->setText("321"); // typed elsewhere: must survive
    int opened = 0;
    // Switching off opens nothing.
    auto* box0 = Child<QCheckBox>(&dlg, "caption0");
    box0->click();
    EXPECT_FALSE(box0->isChecked());
    // Switching on and cancelling: on, with the old text.
    auto* box1 = Child<QCheckBox>(&dlg, "caption1");
    When(ModalIs<CCaptionDlg>(), [&] {
        ++opened;
        Child<QLineEdit>(Modal<CCaptionDlg>(), "text")->setText("ignored");
        Modal<CCaptionDlg>()->reject();
    });
    box1->click();
    EXPECT_TRUE(box1->isChecked());
    EXPECT_EQ(box1->text(), "second");
    // Off and on again, this time OK with a new text.
    box1->click();
    When(ModalIs<CCaptionDlg>(), [&] {
        ++opened;
        Child<QLineEdit>(Modal<CCaptionDlg>(), "text")->setText("x&y");
        Modal<CCaptionDlg>()->accept();
    });
    box1->click();
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(box1->text(), "x&&y");
    EXPECT_EQ(Child<QLineEdit>(&dlg, "imageWidth")->text(), "321");
    dlg.accept();
    EXPECT_EQ(dlg.Result().captions[0].Enabled, 0u);
    EXPECT_EQ(dlg.Result().captions[1].Enabled, 1u);
    EXPECT_EQ(dlg.Result().captions[1].Text, "x&y");
    EXPECT_EQ(dlg.Result().ImageWidth, 321);
}

TEST_F(ImageDialogTest, FileChooserFillsThePathOnlyForAPicture) {
    MessageCatcher messages;
    const std::string good = Root() + "/lower.bmp", bad = Root() + "/Broken.BMP";
    {
        QImage img(4, 4, QImage::Format_RGB888);
        img.fill(Qt::red);
        ASSERT_TRUE(img.save(QString::fromStdString(good), "BMP"));
        std::ofstream(bad) << "not a picture";
    }
    CImageSettingsDlg dlg(m_settings, Root());
    auto* path = Child<QLineEdit>(&dlg, "overlayBmp");
    path->setText("/before.bmp");
    Child<QLineEdit>(&dlg, "imageHeight")->setText("77");
    for (const std::string& pick : {bad, good}) {
        When(ModalIs<QFileDialog>(), [&] {
            QFileDialog* f = Modal<QFileDialog>();
            EXPECT_EQ(f->directory().absolutePath().toStdString(), Root());
            EXPECT_EQ(f->nameFilters(), QStringList{"Bitmap (*.BMP)"});
            // Typed as a user would (selectFile leaves a focused name field alone).
            auto* name = f->findChild<QLineEdit*>("fileNameEdit");
            if (!name) {
                ADD_FAILURE() << "no file name field";
                f->reject();
                return;
            }
            name->setText(QString::fromStdString(pick));
            QMetaObject::invokeMethod(f, "accept");
            if (f->isVisible()) {
                ADD_FAILURE() << "the chooser stayed open on " << f->selectedFiles().join(',').toStdString();
                f->reject();
            }
        });
        Child<QPushButton>(&dlg, "browseOverlay")->click();
    }
    ASSERT_EQ(messages.texts.size(), 1u);
    EXPECT_EQ(messages.texts[0],
              "オーバーレイファイルを読み込めません：\n" + bad + "\nBMPファイルではないか、壊れています");
    EXPECT_EQ(path->text().toStdString(), good);
    EXPECT_EQ(Child<QLineEdit>(&dlg, "imageHeight")->text(), "77");
}

TEST_F(ImageDialogTest, CancelLeavesEveryField) {
    WidgetImageSettingsDialog widget;
    ImageSettings s = m_settings;
    When(ModalIs<CImageSettingsDlg>(), [&] {
        CImageSettingsDlg* d = Modal<CImageSettingsDlg>();
        Child<QLineEdit>(d, "imageWidth")->setText("640");
        Child<QCheckBox>(d, "useOverlay")->click();
        Child<QSlider>(d, "jpegQuality")->setValue(3);
        Child<QPushButton>(d, "cancel")->click();
    });
    EXPECT_FALSE(widget.Edit(s, Root()));
    EXPECT_EQ(s.ImageWidth, m_settings.ImageWidth);
    EXPECT_EQ(s.UseOverlay, m_settings.UseOverlay);
    EXPECT_EQ(s.JpegQuality, m_settings.JpegQuality);
}

// Quitting with the caption dialog and the popup's chooser open closes everything, opens
// nothing again and applies nothing.
TEST(ImageDialogQuit, ChooserAndCaptionDialogCloseAndNothingIsApplied) {
    QTemporaryDir dir;
    AppEnvironment env;
    env.configFolder = dir.path().toStdString();
    QEventLoop frameClosed;
    CMainApp* appPtr = nullptr;
    ImageSettings atClose;
    env.makeView = [&]() -> std::unique_ptr<IMainView> {
        auto view = std::make_unique<HeadlessMainView>();
        view->OnCloseRequested([&] {
            atClose = appPtr->Parts()->Settings().image;
            appPtr->ExitMainFrame();
            frameClosed.quit();
        });
        return view;
    };
    CMainApp app(std::move(env));
    appPtr = &app;
    ASSERT_TRUE(app.InitInstance());
    app.SetQuitHook([&app] { RequestQuit(app); });
    InstallWidgetImageSettingsDialog();
    const ImageSettings before = app.Parts()->Settings().image;
    bool chooserSeen = false;
    int captionDialogs = 0;

    When(ModalIs<CImageSettingsDlg>(), [&] {
        Child<QLineEdit>(Modal<CImageSettingsDlg>(), "imageWidth")->setText("999");
        When(ModalIs<CCaptionDlg>(), [&] {
            ++captionDialogs;
            When([] { return QApplication::activePopupWidget() != nullptr; },
                 [&] {
                     When(ModalIs<QColorDialog>(), [&] {
                         chooserSeen = true;
                         RequestQuit(app);
                     });
                     Child<QPushButton>(QApplication::activePopupWidget(), "otherColor")->click();
                 });
            Child<ColorButton>(Modal<CCaptionDlg>(), "textColor")->click();
        });
        Child<QCheckBox>(Modal<CImageSettingsDlg>(), "caption2")->click();
    });
    QTimer::singleShot(0, [&] {
        MarkMainLoopRunning();
        app.MainFrame()->OnCommand(60004);
    });
    frameClosed.exec();
    InstallImageSettingsDialog(nullptr);
    SetQuitPending(false);

    EXPECT_TRUE(chooserSeen);
    EXPECT_EQ(captionDialogs, 1);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_EQ(atClose.ImageWidth, before.ImageWidth);
    EXPECT_EQ(atClose.captions[2].Enabled, before.captions[2].Enabled);
}
