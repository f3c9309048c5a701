#include "ui/TrayController.h"

#include "app/CommandIds.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "ui/QuitController.h"

#include <QAbstractNativeEventFilter>
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

// A button press as the display connection delivers it: the core protocol's event, or the
// input extension's (which Qt asks for where the server has it), wrapped in a generic event.
struct XButtonPress {
    uint8_t responseType;
    uint8_t button;
    uint16_t sequence;
    uint32_t time;
    uint32_t root, event, child;
    int16_t rootX, rootY, eventX, eventY;
    uint16_t state;
    uint8_t sameScreen, pad;
};
struct XiButtonPress {
    uint8_t responseType;
    uint8_t extension;
    uint16_t sequence;
    uint32_t length;
    uint16_t eventType;
    uint16_t deviceId;
    uint32_t time;
    uint32_t detail;
    uint32_t root, event, child;
    uint32_t fullSequence; // put here by the connection library for every generic event
    int32_t rootX, rootY, eventX, eventY; // 16.16 fixed point
};
constexpr uint8_t kXButtonPress = 4, kXGenericEvent = 35;
constexpr uint16_t kXiButtonPress = 4;

// Hands the presses of the X display connection to the tray controller while a dialog is
// open; everything else goes on as usual.
class ClicksWhileModal final : public QAbstractNativeEventFilter {
public:
    explicit ClicksWhileModal(TrayController& tray) : m_tray(tray) {}
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t" || !QApplication::activeModalWidget() ||
            QApplication::activePopupWidget())
            return false;
        const auto type8 = static_cast<const uint8_t*>(message)[0] & 0x7f;
        auto buttonOf = [](uint32_t b) {
            return b == 1 ? Qt::LeftButton : b == 3 ? Qt::RightButton : Qt::NoButton;
        };
        if (type8 == kXButtonPress) {
            const auto* e = static_cast<const XButtonPress*>(message);
            return m_tray.OnIconPressWhileModal(buttonOf(e->button), QPoint(e->rootX, e->rootY), e->time);
        }
        if (type8 == kXGenericEvent) {
            const auto* e = static_cast<const XiButtonPress*>(message);
            if (e->eventType != kXiButtonPress)
                return false;
            return m_tray.OnIconPressWhileModal(buttonOf(e->detail), QPoint(e->rootX >> 16, e->rootY >> 16),
                                                e->time);
        }
        return false;
    }

private:
    TrayController& m_tray;
};
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
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        m_clicksWhileModal = std::make_unique<ClicksWhileModal>(*this);
        QCoreApplication::instance()->installNativeEventFilter(m_clicksWhileModal.get());
    }
}

TrayController::~TrayController() {
    if (m_clicksWhileModal)
        QCoreApplication::instance()->removeNativeEventFilter(m_clicksWhileModal.get());
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
    // A dialog opened from the tray comes back in front of the window.
    if (QWidget* dialog = QApplication::activeModalWidget()) {
        dialog->raise();
        dialog->activateWindow();
    }
}

void TrayController::BringToFront() {
    if (m_inTray) {
        Restore();
        return;
    }
    if (m_shutDown || !m_window)
        return;
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
    if (QWidget* dialog = QApplication::activeModalWidget()) {
        dialog->raise();
        dialog->activateWindow();
    }
}

bool TrayController::OnIconPressWhileModal(Qt::MouseButton button, QPoint at, unsigned long timeMs) {
    if (!m_inTray || m_shutDown || button == Qt::NoButton || !m_icon->IsVisible() ||
        !m_icon->Geometry().contains(at))
        return false;
    if (button == Qt::RightButton) {
        m_menu.popup(at);
        return true;
    }
    const bool second = m_leftPressed && timeMs - m_lastLeftPress <=
                                             static_cast<unsigned long>(QApplication::doubleClickInterval());
    m_leftPressed = !second;
    m_lastLeftPress = timeMs;
    OnActivated(second ? QSystemTrayIcon::DoubleClick : QSystemTrayIcon::Trigger);
    return true;
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
