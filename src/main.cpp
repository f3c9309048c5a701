// Kestrel: a live-camera web site for one owner, with or without a display.

#include "app/HeadlessView.h"
#include "app/MainApp.h"
#include "platform/SignalPipe.h"
#include "ui/CaptureDialogs.h"
#include "ui/MainWindow.h"
#include "ui/ServerDialogWidgets.h"
#include "ui/WidgetMessageBox.h"

#include <QApplication>
#include <QThread>
#include <QTimer>

#include <cstdlib>

using namespace kestrel;

namespace {

// Chooses the display before the application object exists: an explicit
// QT_QPA_PLATFORM is kept; without any display the program runs offscreen; with one it
// tries it and falls back to offscreen when it cannot be reached.
void ChoosePlatform() {
    if (std::getenv("QT_QPA_PLATFORM"))
        return;
    const char* x = std::getenv("DISPLAY");
    const char* wl = std::getenv("WAYLAND_DISPLAY");
    bool hasDisplay = (x && *x) || (wl && *wl);
    ::setenv("QT_QPA_PLATFORM", hasDisplay ? "xcb;offscreen" : "offscreen", 1);
}

// Set once the program's own event loop runs. Until then a signal can only be seen inside
// a message box shown during start-up, whose loop is the only one.
bool g_mainLoopRunning = false;

// Closes the main frame from the top-level event loop: modal dialogs are dismissed first.
void CloseFromTopLevel(CMainApp& app) {
    if (!g_mainLoopRunning || QThread::currentThread()->loopLevel() > 1) {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
        QTimer::singleShot(50, [&app] { CloseFromTopLevel(app); });
        return;
    }
    app.View().CloseFrame();
}

} // namespace

int main(int argc, char* argv[]) {
    ChoosePlatform();
    QApplication qapp(argc, argv);
    QApplication::setApplicationName("Kestrel");
    QApplication::setQuitOnLastWindowClosed(false);
    const bool headless = QGuiApplication::platformName() == "offscreen";

    SignalPipe signalPipe;  // before the main frame is built

    AppEnvironment env;
    if (headless) {
        env.messageBox = std::make_unique<HeadlessMessageBox>();
    } else {
        env.messageBox = std::make_unique<WidgetMessageBox>();
        SetServerDialogsFactory([] { return std::make_unique<WidgetServerDialogs>(); });
        InstallWidgetCaptureDialogs();
    }
    CMainApp* appPtr = nullptr;
    env.makeView = [headless, &appPtr]() -> std::unique_ptr<IMainView> {
        auto closeHandler = [&appPtr] {
            appPtr->ExitMainFrame();
            QCoreApplication::exit(appPtr->ExitCode());
        };
        if (headless) {
            auto view = std::make_unique<HeadlessMainView>();
            view->OnCloseRequested(closeHandler);
            return view;
        }
        auto window = std::make_unique<MainWindow>();
        window->OnCloseRequested(closeHandler);
        return window;
    };

    CMainApp app(std::move(env));
    appPtr = &app;
    QObject::connect(&signalPipe, &SignalPipe::terminationRequested, [&app](int) { CloseFromTopLevel(app); });

    if (!app.InitInstance())
        return app.ExitCode();  // 0 for a second copy, 1 for a start that failed
    QTimer::singleShot(0, [] { g_mainLoopRunning = true; });  // fires first thing in exec()
    int rc = QApplication::exec();
    app.ExitMainFrame();
    return rc;
}
