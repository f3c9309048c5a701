// Kestrel: a live-camera web site for one owner, with or without a display.

#include "app/CommandLine.h"
#include "app/HeadlessView.h"
#include "app/HelpViewer.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "platform/SignalPipe.h"
#include "ui/CaptureDialogs.h"
#include "ui/HelpDoor.h"
#include "ui/ImageSettingsDialog.h"
#include "ui/JapaneseUi.h"
#include "ui/MainWindow.h"
#include "ui/QuitController.h"
#include "ui/ServerDialogWidgets.h"
#include "ui/SettingsDialogWidgets.h"
#include "ui/TrayController.h"
#include "ui/WidgetMessageBox.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
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

} // namespace

int main(int argc, char* argv[]) {
    // Help, version, the settings check and usage errors need no display, lock or socket.
    const CommandLine commandLine = ParseCommandLine(ArgumentsOf(argc, argv));
    if (int status = RunCommandLineAction(commandLine); status >= 0)
        return status;
    if (commandLine.headless)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ChoosePlatform();
    QApplication qapp(argc, argv);
    QApplication::setApplicationName("Kestrel");
    QApplication::setQuitOnLastWindowClosed(false);
    const bool headless = QGuiApplication::platformName() == "offscreen";
    if (!InstallJapaneseUi(qapp) && !headless)
        std::fprintf(stderr, "kestrel: Qt's Japanese catalogue qtbase_ja is not installed (Debian package "
                             "qt6-translations-l10n): Qt's own dialogs stay English\n");

    SignalPipe signalPipe; // before the main frame is built

    AppEnvironment env;
    env.settingsFile = commandLine.settingsFile;
    env.headless = headless;
    if (headless) {
        env.messageBox = std::make_unique<HeadlessMessageBox>();
    } else {
        env.messageBox = std::make_unique<WidgetMessageBox>();
        SetServerDialogsFactory([] { return std::make_unique<WidgetServerDialogs>(); });
        InstallWidgetCaptureDialogs();
        InstallWidgetSettingsDialogs();
        InstallWidgetImageSettingsDialog();
    }
    CMainApp* appPtr = nullptr;
    MainWindow* windowPtr = nullptr;
    env.makeView = [headless, &appPtr, &windowPtr]() -> std::unique_ptr<IMainView> {
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
        windowPtr = window.get();
        return window;
    };

    CMainApp app(std::move(env));
    appPtr = &app;
    // The exit command and the termination signals quit the same way.
    app.SetQuitHook([&app] { RequestQuit(app); });
    app.SetModalProbe(&ModalOrPopupOpen);
    QObject::connect(&signalPipe, &SignalPipe::terminationRequested, [&app](int) { RequestQuit(app); });

    if (!app.InitInstance())
        return app.ExitCode(); // 0 for a second copy, 1 for a start that failed
    std::unique_ptr<TrayController> tray;
    if (windowPtr && !app.Exited()) {
        tray = std::make_unique<TrayController>(app, *windowPtr, MakeSystemTrayIcon());
        InstallWidgetHelp(app.MainFrame()->Help(), *windowPtr);
    }
    QTimer::singleShot(0, [] { MarkMainLoopRunning(); }); // fires first thing in exec()
    int rc = QApplication::exec();
    tray.reset(); // before the window it watches
    app.ExitMainFrame();
    return rc;
}
