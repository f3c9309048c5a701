#include "ui/TrayIcon.h"

#include <QFile>
#include <QPainter>
#include <QPixmap>

namespace kestrel {

namespace {

class SystemTrayIcon final : public ITrayIcon {
public:
    SystemTrayIcon() : m_icon(KestrelIcon()) {
        m_icon.setToolTip("Kestrel");
        QObject::connect(&m_icon, &QSystemTrayIcon::activated,
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             if (m_handler)
                                 m_handler(reason);
                         });
    }
    bool SystemTrayAvailable() const override { return QSystemTrayIcon::isSystemTrayAvailable(); }
    void SetVisible(bool visible) override { m_icon.setVisible(visible); }
    bool IsVisible() const override { return m_icon.isVisible(); }
    void SetContextMenu(QMenu* menu) override { m_icon.setContextMenu(menu); }
    QRect Geometry() const override { return m_icon.geometry(); }
    void OnActivated(std::function<void(QSystemTrayIcon::ActivationReason)> handler) override {
        m_handler = std::move(handler);
    }

private:
    QSystemTrayIcon m_icon;
    std::function<void(QSystemTrayIcon::ActivationReason)> m_handler;
};

} // namespace

QIcon KestrelIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString path = QString(":/skin/icon128-%1.png").arg(size);
        if (QFile::exists(path))
            icon.addFile(path, QSize(size, size));
    }
    if (!icon.isNull())
        return icon;
    // Without the built-in pictures: a plain mark, so the tray entry is never empty.
    QPixmap mark(32, 32);
    mark.fill(Qt::transparent);
    QPainter p(&mark);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(57, 44, 83));
    p.setPen(Qt::NoPen);
    p.drawEllipse(2, 2, 28, 28);
    return QIcon(mark);
}

std::unique_ptr<ITrayIcon> MakeSystemTrayIcon() {
    return std::make_unique<SystemTrayIcon>();
}

} // namespace kestrel
