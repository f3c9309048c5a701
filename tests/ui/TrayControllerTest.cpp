// Minimising to the tray and back, the tray menu, and exit from the tray, with the widget
// window and a fake notification area.

#include "ui/TrayController.h"
#include "app/CommandIds.h"
#include "app/Composition.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "model/QuitState.h"
#include "server/WebServer.h"
#include "support/TestPorts.h"
#include "ui/MainWindow.h"
#include "ui/QuitController.h"

#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>

using namespace kestrel;

namespace {

class FakeTray final : public ITrayIcon {
public:
    explicit FakeTray(bool& available) : m_available(available) {}
    bool SystemTrayAvailable() const override { return m_available; }
    void SetVisible(bool v) override { visible = v; }
    bool IsVisible() const override { return visible; }
    void SetContextMenu(QMenu* m) override { menu = m; }
    QRect Geometry() const override { return geometry; }
    void OnActivated(std::function<void(QSystemTrayIcon::ActivationReason)> h) override {
        handler = std::move(h);
    }
    bool visible = false;
    QMenu* menu = nullptr;
    QRect geometry{1000, 0, 24, 24};
    std::function<void(QSystemTrayIcon::ActivationReason)> handler;

private:
    bool& m_available;
};

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        const std::string folder = m_dir.path().toStdString();
        std::ofstream(folder + "/Kestrels.reg")
            << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
            << "\"strRoot\"=\"" << folder << "\"\n"
            << "\"uPort\"=dword:" << std::hex << kestrel::testing::ServerTestPort() << "\n";
        AppEnvironment env;
        env.configFolder = folder;
        env.makeView = [this]() -> std::unique_ptr<IMainView> {
            auto window = std::make_unique<MainWindow>();
            window->OnCloseRequested([this] { m_app->ExitMainFrame(); });
            m_window = window.get();
            return window;
        };
        m_app = std::make_unique<CMainApp>(std::move(env));
        ASSERT_TRUE(m_app->InitInstance());
        m_app->SetModalProbe(&ModalOrPopupOpen);
        auto icon = std::make_unique<FakeTray>(m_available);
        m_icon = icon.get();
        m_tray = std::make_unique<TrayController>(*m_app, *m_window, std::move(icon));
        QApplication::processEvents();
    }
    void TearDown() override {
        m_tray.reset();
        m_app.reset();
        SetQuitPending(false);
    }
    QAction* Item(const char* role) { return m_tray->Menu().findChild<QAction*>(role); }

    QTemporaryDir m_dir;
    std::unique_ptr<CMainApp> m_app;
    MainWindow* m_window = nullptr;
    bool m_available = true;
    FakeTray* m_icon = nullptr;
    std::unique_ptr<TrayController> m_tray;
};

TEST_F(TrayTest, MenuHoldsTheTwelveItemsInOrderAndFollowsTheEnableRule) {
    ASSERT_EQ(m_icon->menu, &m_tray->Menu());
    const char* expected[][2] = {
        {"start", "スタート"},
        {"stop", "ストップ"},
        {"basicSettings", "基本設定"},
        {"serverSettings", "サーバー設定"},
        {"imageSettings", "イメージ"},
        {"videoSource", "ビデオソース"},
        {"videoFormat", "ビデオフォーマット"},
        {"videoDisplay", "ビデオ表示"},
        {"urlSettings", "URL設定"},
        {"htmlSettings", "HTML設定"},
        {"about", "バージョン情報"},
        {"exit", "終了(E&)"},
    };
    const QList<QAction*> actions = m_tray->Menu().actions();
    ASSERT_EQ(actions.size(), 12); // no separators
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(actions[i]->objectName().toStdString(), expected[i][0]);
        EXPECT_EQ(actions[i]->text().toStdString(), expected[i][1]);
    }
    // No device: the three driver dialogs are off, the rest on.
    emit m_tray->Menu().aboutToShow();
    for (QAction* a : actions) {
        const bool video = a->objectName().startsWith("video");
        EXPECT_EQ(a->isEnabled(), !video) << a->objectName().toStdString();
    }
    // While a modal dialog is open only exit can be chosen.
    QDialog dialog;
    dialog.setModal(true);
    dialog.show();
    ASSERT_TRUE(ModalOrPopupOpen());
    emit m_tray->Menu().aboutToShow();
    for (QAction* a : actions)
        EXPECT_EQ(a->isEnabled(), a->objectName() == "exit") << a->objectName().toStdString();
    dialog.close();
    emit m_tray->Menu().aboutToShow();
    EXPECT_TRUE(Item("start")->isEnabled());
}

TEST_F(TrayTest, ItemsPostTheirCommands) {
    CWebServer* server = &m_app->Parts()->WebServer();
    ASSERT_TRUE(server->IsListening());
    Item("stop")->trigger();
    EXPECT_TRUE(server->IsListening()); // never inside the menu's handling
    QApplication::processEvents();
    EXPECT_FALSE(server->IsListening());
    Item("start")->trigger();
    QApplication::processEvents();
    EXPECT_TRUE(server->IsListening());
}

TEST_F(TrayTest, MinimiseHidesIntoTheTrayOnlyWhenThereIsOne) {
    m_window->show();
    m_app->MainFrame()->OnSysCommand(kSysMinimize);
    EXPECT_TRUE(m_window->isHidden());
    EXPECT_TRUE(m_icon->visible);
    EXPECT_TRUE(m_tray->WatchingTray());

    // Restoring twice is restoring once.
    m_tray->Restore();
    m_tray->Restore();
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_FALSE(m_window->isMinimized());
    EXPECT_FALSE(m_icon->visible);
    EXPECT_FALSE(m_tray->WatchingTray());

    // No notification area: an ordinary minimise, the window never hidden.
    m_available = false;
    m_app->MainFrame()->OnSysCommand(kSysMinimize);
    EXPECT_FALSE(m_window->isHidden());
    EXPECT_FALSE(m_icon->visible);
    EXPECT_FALSE(m_tray->InTray());
}

TEST_F(TrayTest, WindowManagersMinimiseGoesToTheTrayToo) {
    m_window->show();
    m_window->setWindowState(Qt::WindowMinimized);
    QApplication::processEvents();
    EXPECT_TRUE(m_tray->InTray());
    EXPECT_TRUE(m_window->isHidden());
    m_tray->Restore();
    EXPECT_FALSE(m_window->isMinimized()); // back as it was, not minimised
    EXPECT_TRUE(m_window->isVisible());
}

TEST_F(TrayTest, SingleClickWaitsForADoubleClickDoubleClickRestoresAtOnce) {
    m_window->show();
    m_tray->Minimize();
    m_icon->handler(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(m_window->isHidden()); // not yet: a second click may follow
    EXPECT_TRUE(m_tray->ClickPending());
    m_icon->handler(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_FALSE(m_tray->ClickPending());
    EXPECT_FALSE(m_icon->visible);

    m_tray->Minimize();
    m_icon->handler(QSystemTrayIcon::Context);
    m_icon->handler(QSystemTrayIcon::MiddleClick);
    EXPECT_TRUE(m_window->isHidden());
    m_icon->handler(QSystemTrayIcon::Trigger);
    m_tray->SettlePendingClick(); // the double-click interval passed without a second click
    EXPECT_TRUE(m_window->isVisible());
}

TEST_F(TrayTest, TrayGoneWhileHiddenBringsTheWindowBack) {
    m_window->show();
    m_tray->Minimize();
    m_tray->CheckTrayStillThere();
    EXPECT_TRUE(m_window->isHidden());
    m_available = false;
    m_tray->CheckTrayStillThere();
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_FALSE(m_tray->InTray());
}

TEST_F(TrayTest, ExitFromTheHiddenTraySavesAndRemovesTheIcon) {
    const std::string settings = m_dir.path().toStdString() + "/Kestrels.reg";
    std::ofstream(settings, std::ios::trunc) << "";
    m_window->show();
    m_tray->Minimize();
    Item("exit")->trigger();
    for (int i = 0; i < 3 && !m_app->Exited(); ++i)
        QApplication::processEvents();
    EXPECT_TRUE(m_app->Exited());
    EXPECT_FALSE(m_icon->visible);
    std::ifstream in(settings);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"uPort\""), std::string::npos);
    // The menu sends nothing after exit.
    emit m_tray->Menu().aboutToShow();
    EXPECT_FALSE(Item("exit")->isEnabled());
}

TEST_F(TrayTest, WhileADialogIsOpenTheIconOpensItsMenuRestoresAndExits) {
    // A dialog opened from the hidden window's tray: presses on the icon (read from the
    // display connection while the dialog holds the program) still reach the tray.
    const QPoint icon(1010, 10);
    m_app->SetQuitHook([this] { RequestQuit(*m_app); });
    MarkMainLoopRunning();
    m_window->show();
    m_tray->Minimize();
    QDialog dialog;
    bool menuShown = false, restoredWithDialog = false, exitOnly = true;
    QTimer::singleShot(50, [&] {
        ASSERT_TRUE(dialog.isVisible());
        EXPECT_FALSE(m_tray->OnIconPressWhileModal(Qt::RightButton, QPoint(5, 5), 1)); // not on the icon
        EXPECT_TRUE(m_tray->OnIconPressWhileModal(Qt::RightButton, icon, 2));
        menuShown = QApplication::activePopupWidget() == &m_tray->Menu();
        for (QAction* a : m_tray->Menu().actions())
            exitOnly = exitOnly && a->isEnabled() == (a->objectName() == "exit");
        m_tray->Menu().close();
        // Two presses within the double-click interval: the window is back, the dialog open.
        EXPECT_TRUE(m_tray->OnIconPressWhileModal(Qt::LeftButton, icon, 1000));
        EXPECT_TRUE(m_window->isHidden());
        EXPECT_TRUE(m_tray->OnIconPressWhileModal(Qt::LeftButton, icon, 1100));
        restoredWithDialog = m_window->isVisible() && dialog.isVisible() && !m_icon->visible;
        // Hidden again; 終了 from the menu closes the dialog and the program.
        m_tray->Minimize();
        m_tray->OnIconPressWhileModal(Qt::RightButton, icon, 5000);
        Item("exit")->trigger();
    });
    // The dialog runs inside the program's own loop, as it does from the tray.
    QEventLoop programLoop;
    QTimer::singleShot(0, [&] { dialog.exec(); });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (m_app->Exited() || !dialog.isVisible())
            programLoop.quit();
    });
    poll.start(20);
    QTimer::singleShot(5000, &programLoop, &QEventLoop::quit);
    programLoop.exec();
    for (int i = 0; i < 50 && !m_app->Exited(); ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    EXPECT_TRUE(menuShown);
    EXPECT_TRUE(exitOnly);
    EXPECT_TRUE(restoredWithDialog);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(m_app->Exited());
    EXPECT_FALSE(m_icon->visible);
}

} // namespace
