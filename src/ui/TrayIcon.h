#pragma once

#include <QSystemTrayIcon>

#include <functional>
#include <memory>

class QMenu;

namespace kestrel {

// The notification-area icon as the tray controller uses it; tests put a fake in its place.
class ITrayIcon {
public:
    virtual ~ITrayIcon() = default;
    // Whether the desktop has a notification area now.
    virtual bool SystemTrayAvailable() const = 0;
    virtual void SetVisible(bool visible) = 0;
    virtual bool IsVisible() const = 0;
    virtual void SetContextMenu(QMenu* menu) = 0;
    virtual void OnActivated(std::function<void(QSystemTrayIcon::ActivationReason)> handler) = 0;
    // Where the icon lies on the screen; empty when unknown.
    virtual QRect Geometry() const { return {}; }
};

// The program's icon (16 to 256 pixels).
QIcon KestrelIcon();

// The real icon: QSystemTrayIcon with the program's icon and the tip "Kestrel".
std::unique_ptr<ITrayIcon> MakeSystemTrayIcon();

} // namespace kestrel
