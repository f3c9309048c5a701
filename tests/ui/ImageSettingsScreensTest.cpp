// The image settings windows as a user sees them: every text of the dialogs, the popup
// and the font chooser has its glyphs in the dialog font, and a frame composed after OK
// carries the new size, the keyed overlay and the caption.
//
// KESTREL_SCREENSHOT_DIR=<folder> (scripts/screenshot.sh, under Xvfb) also keeps
// whole-screen pictures of each window there, and the composed "frame.jpg".

#include "capture/FontMapping.h"
#include "ui/CaptionDialog.h"
#include "ui/ColorButton.h"
#include "ui/ColorPopup.h"
#include "ui/FontChooser.h"
#include "ui/ImageSettingsDialog.h"

#include "app/Composition.h"
#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "capture/CaptureSubsystem.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace kestrel;

namespace {

std::string ShotFolder() {
    const char* dir = std::getenv("KESTREL_SCREENSHOT_DIR");
    return dir ? dir : "";
}

// Lets the window system draw, then keeps the whole screen as <name>.png when asked.
void Shot(const char* name) {
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
    if (ShotFolder().empty())
        return;
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
    EXPECT_TRUE(screen.save(QString::fromStdString(ShotFolder() + "/" + name + ".png"))) << name;
}

// Every character of every text shown in `root` has a glyph in the font it is drawn in.
void ExpectNoMissingGlyphs(QWidget* root) {
    std::vector<std::pair<QString, QFont>> texts;
    auto add = [&](QWidget* w, const QString& text) {
        if (!text.isEmpty())
            texts.emplace_back(text, w->font());
    };
    add(root, root->windowTitle());
    for (auto* w : root->findChildren<QAbstractButton*>())
        add(w, w->text().remove('&'));
    for (auto* w : root->findChildren<QLabel*>())
        add(w, w->text());
    for (auto* w : root->findChildren<QGroupBox*>())
        add(w, w->title());
    for (auto* w : root->findChildren<QLineEdit*>())
        add(w, w->text());
    ASSERT_FALSE(texts.empty());
    for (const auto& [text, font] : texts) {
        const QFontMetrics fm(font);
        for (QChar c : text)
            if (!c.isSpace() && c != QChar(0x2026)) {
                EXPECT_TRUE(fm.inFont(c)) << text.toStdString() << " in " << font.family().toStdString();
            }
    }
}

ImageSettings ShownSettings(const std::string& overlay) {
    ImageSettings s;
    s.UseCustomSize = 1;
    s.ImageWidth = 320;
    s.ImageHeight = 240;
    s.JpegQuality = 85;
    s.UseOverlay = 1;
    s.OverlayBmp = overlay;
    s.OverlayTransColor = RGB(255, 255, 255);
    s.UseMotion = 1;
    s.captions[0].Enabled = 1;
    s.captions[0].Text = "Kestrel ライブカメラ %Y/%m/%d";
    s.captions[1].Enabled = 1;
    s.captions[1].Text = "視聴者 %G 人 & 記録中";
    s.captions[1].HPosType = 2;
    s.captions[1].VPosType = 2;
    s.captions[2].Text = "とても長いキャプションの文字列は箱の幅に合わせて省略されます";
    return s;
}

} // namespace

TEST(ImageSettingsScreens, DialogsPopupButtonsAndFontChooser) {
    const ImageSettings settings = ShownSettings("/home/owner/WebPages/overlay.bmp");
    CImageSettingsDlg dialog(settings, QDir::tempPath().toStdString());
    dialog.show();
    Shot("image-settings");
    ExpectNoMissingGlyphs(&dialog);

    // The popup under the transparent colour's button.
    auto* colour = dialog.findChild<ColorButton*>("overlayTransColor");
    ASSERT_NE(colour, nullptr);
    bool popupSeen = false;
    QTimer::singleShot(100, [&] {
        auto* popup = qobject_cast<ColorPopup*>(QApplication::activePopupWidget());
        ASSERT_NE(popup, nullptr);
        popupSeen = true;
        Shot("color-popup");
        ExpectNoMissingGlyphs(popup);
        const QPoint under = colour->mapToGlobal(QPoint(0, colour->height()));
        EXPECT_EQ(popup->geometry().topLeft(), under);
        popup->close();
    });
    colour->click();
    EXPECT_TRUE(popupSeen);
    dialog.hide();

    Caption caption = settings.captions[1];
    caption.TextColor = RGB(255, 255, 0);
    caption.BackColor = RGB(0, 0, 128);
    CCaptionDlg captionDialog(caption);
    captionDialog.show();
    Shot("caption");
    ExpectNoMissingGlyphs(&captionDialog);
    captionDialog.hide();

    // The colour button's four states, side by side, zoomed four times.
    QWidget states;
    states.setWindowTitle("ColorButton");
    ColorButton* buttons[4];
    for (int i = 0; i < 4; ++i) {
        buttons[i] = new ColorButton(&states);
        buttons[i]->setGeometry(10 + i * 60, 10, 52, 22);
        buttons[i]->SetColor(RGB(0, 128, 255));
    }
    buttons[1]->setDown(true);
    buttons[2]->setEnabled(false);
    states.resize(260, 42);
    states.show();
    states.activateWindow();
    buttons[3]->setFocus();
    Shot("color-button-screen");
    QImage zoomed(4 * 4 * 52 + 3 * 8, 4 * 22, QImage::Format_RGB32);
    zoomed.fill(Qt::white);
    {
        QPainter p(&zoomed);
        for (int i = 0; i < 4; ++i) {
            const QImage one = buttons[i]->grab().toImage().scaled(4 * 52, 4 * 22, Qt::IgnoreAspectRatio,
                                                                   Qt::FastTransformation);
            p.drawImage(i * (4 * 52 + 8), 0, one);
        }
    }
    if (!ShotFolder().empty()) {
        EXPECT_TRUE(zoomed.save(QString::fromStdString(ShotFolder() + "/color-button-states.png")));
    }
    states.hide();

    FontChoice bold;
    bold.family = "IPAPGothic";
    bold.pointSize = 16;
    bold.bold = true;
    FontChooser chooser(bold);
    chooser.show();
    Shot("font-chooser");
    ExpectNoMissingGlyphs(&chooser);
}

TEST(ImageSettingsScreens, FrameComposedAfterOk) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString() + "/web";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(root)));
    // Overlay: a white field (keyed away) with a red frame and a green block.
    QImage overlay(160, 120, QImage::Format_RGB888);
    overlay.fill(Qt::white);
    {
        QPainter p(&overlay);
        p.setPen(QPen(Qt::red, 4));
        p.drawRect(2, 2, 155, 115);
        p.fillRect(120, 10, 30, 20, Qt::green);
    }
    ASSERT_TRUE(overlay.save(QString::fromStdString(root + "/overlay.bmp"), "BMP"));
    std::ofstream(dir.path().toStdString() + "/Kestrels.reg")
        << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
        << "\"strRoot\"=\"" << root << "\"\n\"uPort\"=dword:00000000\n\"CaptureDevice\"=dword:00000000\n";
    AppEnvironment env;
    env.configFolder = dir.path().toStdString();
    env.makeView = [] { return std::make_unique<HeadlessMainView>(); };
    CMainApp app(std::move(env));
    ASSERT_TRUE(app.InitInstance());
    CMainFrame& frame = *app.MainFrame();
    Composition& parts = *app.Parts();
    InstallWidgetImageSettingsDialog();

    ImageSettings wanted = ShownSettings(root + "/overlay.bmp");
    wanted.captions[0].HPosType = 3;
    wanted.captions[0].XPos = 8;
    wanted.captions[0].VPosType = 0;
    wanted.captions[0].TextColor = RGB(255, 255, 0);
    wanted.captions[0].BackColor = RGB(0, 0, 128);
    wanted.captions[1].BackType = 1;
    wanted.captions[1].TextColor = RGB(255, 255, 255);
    QTimer::singleShot(50, [&] {
        auto* d = qobject_cast<CImageSettingsDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        // What the user would have set: fields typed, boxes checked, captions edited.
        d->findChild<QAbstractButton*>("useCustomSize1")->click();
        d->findChild<QLineEdit*>("imageWidth")->setText("320");
        d->findChild<QLineEdit*>("imageHeight")->setText("240");
        d->findChild<QCheckBox*>("useOverlay")->setChecked(true);
        d->findChild<QLineEdit*>("overlayBmp")->setText(QString::fromStdString(wanted.OverlayBmp));
        d->findChild<ColorButton*>("overlayTransColor")->SetColor(RGB(255, 255, 255));
        for (int i : {0, 1}) {
            QTimer::singleShot(50, [&, i] {
                auto* c = qobject_cast<CCaptionDlg*>(QApplication::activeModalWidget());
                ASSERT_NE(c, nullptr);
                const Caption& w = wanted.captions[static_cast<size_t>(i)];
                c->findChild<QAbstractButton*>(QString("hPosType%1").arg(w.HPosType))->click();
                c->findChild<QAbstractButton*>(QString("vPosType%1").arg(w.VPosType))->click();
                c->findChild<QAbstractButton*>(QString("backType%1").arg(w.BackType))->click();
                c->findChild<QLineEdit*>("xPos")->setText(QString::number(w.XPos));
                c->findChild<ColorButton*>("textColor")->SetColor(w.TextColor);
                c->findChild<ColorButton*>("backColor")->SetColor(w.BackColor);
                c->findChild<QLineEdit*>("text")->setText(QString::fromStdString(w.Text));
                Shot(i == 0 ? "caption-edit" : "caption-edit-2");
                c->accept();
            });
            d->findChild<QCheckBox*>(QString("caption%1").arg(i))->click();
        }
        Shot("image-settings-edited");
        d->findChild<QPushButton*>("accept")->click();
    });
    frame.OnCommand(60004);
    InstallImageSettingsDialog(nullptr);

    EXPECT_EQ(parts.Settings().image.ImageWidth, 320);
    EXPECT_EQ(parts.Settings().image.captions[0].Text, wanted.captions[0].Text);
    ASSERT_NE(parts.Capture().Overlay(), nullptr);
    parts.Capture().ComposeFrame();
    QImage jpeg(QString::fromStdString(root + "/frame.jpg"));
    ASSERT_EQ(jpeg.size(), QSize(320, 240));
    // The caption's dark blue cell at its own place, with yellow letters on it.
    int blue = 0, yellow = 0;
    for (int x = 8; x < 200; ++x)
        for (int y = 0; y < 14; ++y) {
            const QColor c = jpeg.pixelColor(x, y);
            blue += c.blue() > 90 && c.red() < 70 && c.green() < 70 ? 1 : 0;
            yellow += c.red() > 180 && c.green() > 180 && c.blue() < 90 ? 1 : 0;
        }
    EXPECT_GT(blue, 400);
    EXPECT_GT(yellow, 100);
    const QColor edge = jpeg.pixelColor(6, 120);
    EXPECT_GT(edge.red(), 180);
    EXPECT_LT(edge.green(), 80);
    if (!ShotFolder().empty()) {
        EXPECT_TRUE(jpeg.save(QString::fromStdString(ShotFolder() + "/frame.jpg")) &&
                    jpeg.scaled(640, 480).save(QString::fromStdString(ShotFolder() + "/frame-2x.png")));
    }
    app.ExitMainFrame();
}
