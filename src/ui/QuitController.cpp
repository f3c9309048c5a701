#include "ui/QuitController.h"

#include "app/MainApp.h"
#include "model/QuitState.h"

#include <QApplication>
#include <QDialog>
#include <QThread>
#include <QTimer>
#include <QWidget>

namespace kestrel {

namespace {

bool g_mainLoopRunning = false;
// One close sequence at a time, however many quit requests arrive.
bool g_closing = false;

// Closes the innermost popup or modal dialog, if any.
void CloseInnermost() {
    if (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
        return;
    }
    if (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
}

void CloseFromTopLevel(CMainApp& app) {
    if (!g_mainLoopRunning || QThread::currentThread()->loopLevel() > 1) {
        // Still inside a dialog's or a menu's loop: close it and look again once it returned.
        CloseInnermost();
        QTimer::singleShot(50, [&app] { CloseFromTopLevel(app); });
        return;
    }
    g_closing = false;
    app.View().CloseFrame();
}

} // namespace

void MarkMainLoopRunning() {
    g_mainLoopRunning = true;
}

bool ModalOrPopupOpen() {
    return QApplication::activeModalWidget() || QApplication::activePopupWidget();
}

void RequestQuit(CMainApp& app) {
    SetQuitPending(true);
    if (g_closing)
        return;
    g_closing = true;
    // Never closes the frame inside the handler that asked: that may be one of the frame's own.
    QTimer::singleShot(0, [&app] { CloseFromTopLevel(app); });
}

} // namespace kestrel
