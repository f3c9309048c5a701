// Every dialog of the settings, the URL registration and the about box filled in and
// shown: no control lies outside its dialog or is squeezed below its size. Under Xvfb
// (scripts/screenshot.sh) KESTREL_SCREENSHOT_DIR=<folder> keeps a picture of each, the
// about box twice half a second apart, and the boxes of a failed link and a refused port.

#include "ui/AboutDialog.h"
#include "ui/BasicSettingsDialog.h"
#include "ui/HtmlSettingsDialog.h"
#include "ui/HyperLink.h"
#include "ui/JapaneseUi.h"
#include "ui/ServerDialogWidgets.h"
#include "ui/UrlRegistrationDialog.h"
#include "ui/WidgetMessageBox.h"

#include "support/FakeDirectoryServer.h"
#include "support/RecordingMessageBox.h"

#include <QApplication>
#include <QColorDialog>
#include <QComboBox>
#include <QFileDialog>
#include <QLayout>
#include <QLineEdit>
#include <QMovie>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTranslator>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace kestrel;
using kestrel::test::RecordingMessageBox;

namespace {

QString ShotPath(const char* name) {
    const char* dir = std::getenv("KESTREL_SCREENSHOT_DIR");
    return dir && *dir ? QString::fromUtf8(dir) + "/" + name : QString();
}

void Settle() {
    for (int i = 0; i < 5; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
}

// Shows the dialog at its fixed size, checks that every visible control fits inside it at
// no less than its minimum size, and keeps a picture when asked.
void ShowAndCheck(QDialog& dlg, const char* shot) {
    dlg.layout()->setSizeConstraint(QLayout::SetFixedSize);
    dlg.show();
    Settle();
    const QRect area = dlg.rect();
    for (QWidget* w : dlg.findChildren<QWidget*>()) {
        if (!w->isVisible() || w->isWindow())
            continue;
        const QRect r(w->mapTo(&dlg, QPoint(0, 0)), w->size());
        EXPECT_TRUE(area.contains(r)) << shot << ": " << w->metaObject()->className() << " "
                                      << w->objectName().toStdString() << " lies outside the dialog";
        // A combo box lays out its own line edit.
        const QSize min = w->minimumSizeHint();
        if (min.isValid() && !qobject_cast<QComboBox*>(w->parentWidget())) {
            EXPECT_TRUE(w->width() >= min.width() && w->height() >= min.height())
                << shot << ": " << w->metaObject()->className() << " " << w->objectName().toStdString()
                << " is squeezed " << w->width() << "x" << w->height() << " < " << min.width() << "x"
                << min.height();
        }
    }
    const QString path = ShotPath(shot);
    if (!path.isEmpty()) {
        EXPECT_TRUE(dlg.grab().save(path)) << path.toStdString();
    }
}

// Grabs the message box that `trigger` opens, then closes it.
void GrabBoxOf(const std::function<void()>& trigger, const char* shot) {
    bool seen = false;
    QTimer::singleShot(300, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            seen = true;
            const QString path = ShotPath(shot);
            if (!path.isEmpty())
                box->grab().save(path);
            box->close();
        }
    });
    trigger();
    EXPECT_TRUE(seen) << shot;
}

} // namespace

TEST(DialogPictures, SettingsDialogsFilledIn) {
    RecordingMessageBox box;
    BasicSettingsForm basic;
    basic.cgiServer = "dir.velmora.example";
    basic.urlAutoexec = true;
    basic.globalIp = "203.0.113.5";
    basic.picPass = "himitsu";
    basic.skinBmp = "/home/owner/kestrel/SkinBmp/blue/";
    CBasicSettingsDlg basicDlg(basic, box);
    ShowAndCheck(basicDlg, "basic-settings.png");

    HtmlSettings html;
    html.Template = 1;
    html.HTMLCustomSize = 1;
    html.HTMLWidth = 320;
    html.HTMLHeight = 240;
    html.Title1 = "鳥の観察日記";
    html.Link1 = "http://birds.example.jp/";
    html.Title2 = "町内会";
    html.Link2 = "http://town.example.jp/";
    html.Email = "owner@example.jp";
    html.ICQ = "12345678";
    html.Freemsg = "庭の巣箱を映しています。\n朝六時ごろが見ごろです。";
    CHtmlSettingsDlg htmlDlg(html, box);
    ShowAndCheck(htmlDlg, "html-settings.png");
}

TEST(DialogPictures, UrlRegistrationWithAFetchedList) {
    QTemporaryDir dir;
    kestrel::test::FakeDirectoryServer server("OK");
    server.SetReply(kCategoryListPath, 200, "#code,name\r\n10,Animals\r\n20,Town\r\n30,Nature\r\n");
    RecordingMessageBox box;
    std::vector<std::string> opened;
    SetLinkOpener([&](const std::string& t) {
        opened.push_back(t);
        return kOpenSucceeded;
    });
    UrlRegSettings values;
    values.UserID = "taro";
    values.Password = "secret";
    values.Title = "庭の巣箱カメラ";
    values.Description = "シジュウカラの子育てを中継中";
    values.Cate = 2;
    UrlRegistration::Context c;
    c.cgiServer = server.Host();
    c.port = 8080;
    c.pageAddress = "203.0.113.5";
    c.categoryPath = dir.path().toStdString() + "/category.csv";
    UrlRegistration session(values, box, c);
    CUrlRegistrationDlg dlg(session, box);
    dlg.UpdateCategories();
    EXPECT_EQ(dlg.m_cate->count(), 3);
    EXPECT_EQ(dlg.m_cate->currentText(), "Nature");
    dlg.m_ownPage->FollowLink(); // visited
    ShowAndCheck(dlg, "url-registration.png");
    dlg.activateWindow();
    dlg.m_siteTop->setFocus(); // focused
    Settle();
    EXPECT_TRUE(dlg.m_ownPage->IsVisited());
    const QString path = ShotPath("url-registration.png");
    if (!path.isEmpty())
        dlg.grab().save(path);
    SetLinkOpener({});
}

TEST(DialogPictures, AboutBoxTwiceHalfASecondApart) {
    CAboutDlg dlg("Version 2.10");
    ShowAndCheck(dlg, "about-1.png");
    const QImage first = dlg.grab().toImage();
    const int firstFrame = dlg.m_movie ? dlg.m_movie->currentFrameNumber() : -1;
    for (int i = 0; i < 25; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    ASSERT_NE(dlg.m_movie, nullptr);
    EXPECT_NE(dlg.m_movie->currentFrameNumber(), firstFrame);
    const QImage second = dlg.grab().toImage();
    EXPECT_NE(first, second);
    const QString path = ShotPath("about-2.png");
    if (!path.isEmpty())
        second.save(path);
}

TEST(DialogPictures, QtChoosersInJapanese) {
    // The skin field's file chooser and the full colour chooser, as the program shows them.
    ASSERT_TRUE(InstallJapaneseUi(*qApp));
    RecordingMessageBox box;
    BasicSettingsForm basic;
    CBasicSettingsDlg basicDlg(basic, box);
    basicDlg.show();
    Settle();
    QString fileTitle;
    GrabBoxOf(
        [&] {
            QTimer::singleShot(200, [&] {
                if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()))
                    fileTitle = d->findChild<QLabel*>(QStringLiteral("lookInLabel"))->text();
            });
            basicDlg.findChild<QPushButton*>(QStringLiteral("browseSkin"))->click();
        },
        "file-chooser-ja.png");
    EXPECT_FALSE(fileTitle.isEmpty());
    EXPECT_NE(fileTitle, QStringLiteral("Look in:"));
    QColorDialog colours(Qt::black);
    colours.setOption(QColorDialog::DontUseNativeDialog);
    GrabBoxOf([&] { colours.exec(); }, "color-chooser-ja.png");
    for (auto* t : qApp->findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(t);
        delete t;
    }
    QLocale::setDefault(QLocale::c());
}

TEST(DialogPictures, BoxesOfAFailedLinkAndARefusedPort) {
    SetLinkOpener([](const std::string&) { return kOpenNoAssociation; });
    CHyperLink link(QStringLiteral("https://www.velmora.example/"));
    link.Attach();
    GrabBoxOf([&] { link.FollowLink(); }, "cant-open-link.png");
    SetLinkOpener({});

    WidgetMessageBox widgetBox;
    ServerPropertiesData data{"/home/owner/WebPages", 80, true, false, false};
    CServerPropertiesDlg server(data, nullptr, &widgetBox);
    server.m_port->setText("70000");
    ShowAndCheck(server, "server-port-dialog.png");
    GrabBoxOf([&] { server.accept(); }, "server-port-refused.png");
    EXPECT_EQ(server.result(), QDialog::Rejected);
}
