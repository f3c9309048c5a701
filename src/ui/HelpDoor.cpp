#include "ui/HelpDoor.h"

#include "app/HelpViewer.h"
#include "app/MainFrame.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QCursor>
#include <QWidget>

namespace kestrel {

namespace {

// The status control id of `widget`, 0 for any other widget.
int ControlIdOf(const MainWindow& window, const QWidget* widget) {
    for (const ControlLayout& layout : kStatusControls)
        if (window.Control(layout.id) == widget)
            return layout.id;
    return 0;
}

} // namespace

void InstallWidgetHelp(HelpViewer& help, MainWindow& window) {
    help.SetPointerChain([&window] {
        std::vector<int> ids;
        QWidget* under = QApplication::widgetAt(QCursor::pos());
        for (QWidget* w = under ? under->parentWidget() : nullptr; w; w = w->parentWidget())
            ids.push_back(ControlIdOf(window, w));
        return ids;
    });
    help.SetCancelModes([] {
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
        if (QWidget* grabber = QWidget::mouseGrabber())
            grabber->releaseMouse();
        if (QWidget* grabber = QWidget::keyboardGrabber())
            grabber->releaseKeyboard();
    });
}

} // namespace kestrel
