#include "ui/TrayController.h"

#include "app/CommandIds.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "ui/QuitController.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <QWindowStateChangeEvent>

namespace kestrel {

const std::array<TrayMenuItem, 12> kTrayMenuItems = {{
    {"start", "スタート", CmdStart},
    {"stop", "ストップ", CmdStop},
    {"basicSettings", "基本設定", CmdBasicSettings},
    {"serverSettings", "サーバー設定", CmdServerSettings},
    {"imageSettings", "イメージ", CmdImageSettings},
    {"videoSource", "ビデオソース", CmdVideoSource},
    {"videoFormat", "ビデオフォーマット", CmdVideoFormat},
    {"videoDisplay", "ビデオ表示", CmdVideoDisplay},
    {"urlSettings", "URL設定", CmdUrlRegistration},
    {"htmlSettings", "HTML設定", CmdHtmlSettings},
    {"about", "バージョン情報", CmdAbout},
    {"exit", "終了(E&)", CmdExit},
}};

namespace {
constexpr int kTrayWatchMs = 2000;
} // namespace

TrayController::TrayController(CMainApp& app, QWidget& window, std::unique_ptr<ITrayIcon> icon)
    : m_app(app), m_window(&window), m_icon(std::move(icon)) {
    for (const TrayMenuItem& item : kTrayMenuItems) {
        QAction* action = m_menu.addAction(QString::fromUtf8(item.text));
        action->setObjectName(item.role);
        const int command = item.command;
        // Posted: no command, and so no dialog, runs inside the menu's handling.
        connect(action, &QAction::triggered, this, [this, command] {
            if (CMainFrame* frame = m_app.MainFrame(); frame && !m_shutDown)
                frame->PostCommand(command);
        });
    }
    connect(&m_menu, &QMenu::aboutToShow, this, &TrayController::RefreshMenu);
    m_icon->SetContextMenu(&m_menu);
    m_icon->OnActivated([this](QSystemTrayIcon::ActivationReason reason) { OnActivated(reason); });

    m_clickTimer.setSingleShot(true);
    connect(&m_clickTimer, &QTimer::timeout, this, &TrayController::Restore);
    m_trayWatch.setInterval(kTrayWatchMs);
    connect(&m_trayWatch, &QTimer::timeout, this, &TrayController::CheckTrayStillThere);
    m_window->installEventFilter(this);
    // The frame's minimise and its changes of command states come here.
    if (CMainFrame* frame = m_app.MainFrame()) {
        frame->MinimizeHook = [this] { Minimize(); };
        frame->CommandStatesChangedHook = [this] { RefreshMenu(); };
    }
    RefreshMenu();
}

TrayController::~TrayController() {
    if (m_window)
        m_window->removeEventFilter(this);
    if (CMainFrame* frame = m_app.MainFrame()) {
        frame->MinimizeHook = nullptr;
        frame->CommandStatesChangedHook = nullptr;
    }
    Shutdown();
}

void TrayController::RefreshMenu() {
    CMainFrame* frame = m_app.MainFrame();
    const bool blocked = ModalOrPopupOpen();
    for (QAction* action : m_menu.actions()) {
        for (const TrayMenuItem& item : kTrayMenuItems) {
            if (action->objectName() != item.role)
                continue;
            const bool exit = item.command == CmdExit;
            action->setEnabled(!m_shutDown && frame &&
                               (exit || (!blocked && frame->IsCommandEnabled(item.command))));
        }
    }
}

void TrayController::Minimize() {
    if (m_shutDown || !m_window)
        return;
    if (!m_icon->SystemTrayAvailable()) {
        m_window->showMinimized();
        return;
    }
    m_inTray = true;
    // Hidden, not minimised: a window the window manager minimised comes back normal.
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->hide();
    RefreshMenu();
    m_icon->SetVisible(true);
    m_trayWatch.start();
}

void TrayController::Restore() {
    m_clickTimer.stop();
    if (!m_inTray)
        return;
    m_inTray = false;
    m_trayWatch.stop();
    m_icon->SetVisible(false);
    if (m_shutDown || !m_window)
        return;
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
}

void TrayController::Shutdown() {
    m_shutDown = true;
    m_clickTimer.stop();
    m_trayWatch.stop();
    m_icon->SetVisible(false);
    m_inTray = false;
}

void TrayController::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    if (!m_inTray)
        return;
    if (reason == QSystemTrayIcon::DoubleClick) {
        Restore();
    } else if (reason == QSystemTrayIcon::Trigger) {
        // A double-click first arrives as a single click: wait whether the second follows,
        // or the window would come back and go again.
        m_clickTimer.start(QApplication::doubleClickInterval());
    }
}

void TrayController::SettlePendingClick() {
    if (m_clickTimer.isActive())
        Restore();
}

void TrayController::CheckTrayStillThere() {
    if (m_inTray && !m_icon->SystemTrayAvailable())
        Restore();
}

bool TrayController::eventFilter(QObject* watched, QEvent* event) {
    // The window closes at exit: the icon goes with it.
    if (watched == m_window && event->type() == QEvent::Close)
        Shutdown();
    if (watched == m_window && event->type() == QEvent::WindowStateChange &&
        (m_window->windowState() & Qt::WindowMinimized) && !m_shutDown && m_icon->SystemTrayAvailable()) {
        // The window manager minimised the window: put it in the tray instead, once the
        // state change is through. The minimise goes through the router like the button's.
        QTimer::singleShot(0, this, [this] {
            CMainFrame* frame = m_app.MainFrame();
            if (frame && m_window && (m_window->windowState() & Qt::WindowMinimized))
                frame->OnSysCommand(kSysMinimize);
        });
    }
    return QObject::eventFilter(watched, event);
}

} // namespace kestrel
