// Kestrel: a live-camera web site for one owner, with or without a display.

#include "app/CommandLine.h"
#include "app/HeadlessView.h"
#include "app/HelpViewer.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "platform/InstanceLock.h"
#include "platform/SignalPipe.h"
#include "ui/CaptureDialogs.h"
#include "ui/HelpDoor.h"
#include "ui/ImageSettingsDialog.h"
#include "ui/JapaneseUi.h"
#include "ui/MainWindow.h"
#include "ui/QuitController.h"
#include "ui/SecondStart.h"
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
    std::unique_ptr<TrayController> tray;
    // A second start may ask for the window from the moment it exists, start-up boxes included.
    std::unique_ptr<RaiseListener> raiseListener;
    auto bringToFront = [&tray, &windowPtr] {
        if (tray) {
            tray->BringToFront();
        } else if (windowPtr) {
            windowPtr->showNormal();
            windowPtr->raise();
            windowPtr->activateWindow();
            if (QWidget* box = QApplication::activeModalWidget()) {
                box->raise();
                box->activateWindow();
            }
        }
    };
    env.makeView = [headless, &appPtr, &windowPtr, &raiseListener,
                    &bringToFront]() -> std::unique_ptr<IMainView> {
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
        raiseListener = std::make_unique<RaiseListener>(appPtr->SettingsFilePath(), bringToFront);
        return window;
    };

    CMainApp app(std::move(env));
    appPtr = &app;
    // The exit command and the termination signals quit the same way.
    app.SetQuitHook([&app] { RequestQuit(app); });
    app.SetModalProbe(&ModalOrPopupOpen);
    QObject::connect(&signalPipe, &SignalPipe::terminationRequested, [&app](int) { RequestQuit(app); });

    if (!app.InitInstance()) {
        // Status 0 here is a second copy with a display: it brings the running one forward.
        // When that one runs headless it has no window to show, and this copy says who
        // holds the file.
        if (!headless && app.ExitCode() == 0) {
            if (AskRunningCopyToRaise(app.SettingsFilePath()))
                return 0;
            WidgetMessageBox().Show(
                HeldByAnotherCopyMessage(app.SettingsFilePath(), InstanceLock::HolderPid(app.LockFilePath())),
                "Kestrel", MessageIcon::Exclamation, MessageButtons::Ok, IDOK);
            return 1;
        }
        return app.ExitCode(); // 1 for a start that failed
    }
    if (windowPtr && !app.Exited()) {
        tray = std::make_unique<TrayController>(app, *windowPtr, MakeSystemTrayIcon());
        InstallWidgetHelp(app.MainFrame()->Help(), *windowPtr);
    }
    QTimer::singleShot(0, [] { MarkMainLoopRunning(); }); // fires first thing in exec()
    int rc = QApplication::exec();
    raiseListener.reset();
    tray.reset(); // before the window it watches
    app.ExitMainFrame();
    return rc;
}
