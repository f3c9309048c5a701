#pragma once

#include "ui/TrayIcon.h"

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <array>
#include <memory>

class QAbstractNativeEventFilter;
class QWidget;

namespace kestrel {

class CMainApp;

// One item of the tray menu: its role (the action's object name), text and command.
struct TrayMenuItem {
    const char* role;
    const char* text;
    int command;
};
extern const std::array<TrayMenuItem, 12> kTrayMenuItems;

// Minimising to the notification area and back, and the tray icon's menu. The icon is
// shown only while the main window is hidden in the tray; without a notification area
// the window is minimised as usual. It takes the main frame's minimise and command-state
// hooks while it lives, and goes quiet when the window closes.
class TrayController : public QObject {
    Q_OBJECT
public:
    TrayController(CMainApp& app, QWidget& window, std::unique_ptr<ITrayIcon> icon);
    ~TrayController() override;

    // The minimise command: into the tray when there is one, else minimised.
    void Minimize();
    // Shows the window again and removes the icon; nothing when it is not in the tray.
    void Restore();
    bool InTray() const { return m_inTray; }
    // Brings the window to the front, out of the tray when it is there, with any dialog
    // in front of it (a second start asked for it).
    void BringToFront();
    // At exit: the icon goes and the menu sends nothing more.
    void Shutdown();

    QMenu& Menu() { return m_menu; }
    // Enables every item by the router's rule; while a dialog or popup is open only exit.
    void RefreshMenu();

    // The icon was clicked (the icon's activation arrives here).
    void OnActivated(QSystemTrayIcon::ActivationReason reason);
    // A single click restores once no double-click followed it within the double-click
    // interval; this ends that wait now (tests).
    void SettlePendingClick();
    bool ClickPending() const { return m_clickTimer.isActive(); }
    // Looked at every 2 s while in the tray: when the notification area has gone, the
    // window comes back, or there would be no way to reach it.
    void CheckTrayStillThere();
    bool WatchingTray() const { return m_trayWatch.isActive(); }

    // A button pressed over the icon (screen position, time in ms) while a dialog is open:
    // the toolkit drops such clicks on the icon's window, as the dialogs are modal for the
    // whole program, so they are read from the display connection and arrive here. The
    // right button opens the menu, the left one clicks or, the second time within the
    // double-click interval, double-clicks. False when it was not for the icon.
    bool OnIconPressWhileModal(Qt::MouseButton button, QPoint at, unsigned long timeMs);

protected:
    // The window manager's minimise (the window's own state change) goes to the tray too.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CMainApp& m_app;
    QPointer<QWidget> m_window;
    std::unique_ptr<ITrayIcon> m_icon;
    QMenu m_menu;
    QTimer m_clickTimer;
    QTimer m_trayWatch;
    bool m_inTray = false;
    bool m_shutDown = false;
    unsigned long m_lastLeftPress = 0;
    bool m_leftPressed = false;
    std::unique_ptr<QAbstractNativeEventFilter> m_clicksWhileModal;
};

} // namespace kestrel
