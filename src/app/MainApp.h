#pragma once

#include "app/IdleScheduler.h"
#include "app/MainView.h"
#include "platform/InstanceLock.h"
#include "platform/MessageBox.h"
#include "platform/SettingsStore.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestrel {

class CMainFrame;
class Composition;

// Where the application object finds its facilities. main() fills it with the real
// ones; tests point the folders at temporary ones and may swap the host-name source.
struct AppEnvironment {
    std::string configFolder; // empty: <config>/Velmora
    // The settings file; empty: "Kestrels.reg" in the configuration folder. Its instance
    // lock is the same path with ".lock" added (the default file keeps the default lock).
    std::string settingsFile;
    // No display: failures that would leave a window for the owner end the start instead
    // (a port that cannot be served, a settings file another copy holds).
    bool headless = false;
    // Whether this process may listen on ports below 1024; null: ask the system.
    std::function<bool()> mayListenBelow1024;
    std::function<std::unique_ptr<IMainView>()> makeView;
    std::unique_ptr<IMessageBox> messageBox;
    std::unique_ptr<IIdleTimer> idleTimer;   // null: a QTimer
    std::unique_ptr<IIdleTimer> viewerTimer; // null: a QTimer (the moment a viewer can leave)
    // Wall-clock time in milliseconds since the epoch; null: the system clock.
    std::function<int64_t()> clockMs;
    // The socket layer's host name call (gethostname) and the computer-name fallback.
    std::function<int(char*, size_t)> hostNameSource;
    std::function<std::string()> computerNameSource;
};

// The application object: single instance, socket layer, help file, host name, then the
// composition, which builds the main frame and everything else.
class CMainApp {
public:
    static constexpr const char* kInstanceMutexName = "h_Kestrel_PrevInstance";
    static constexpr const char* kVersionText = "Version 2.10";
    // A first start without the right to listen below 1024 serves on this port instead.
    static constexpr uint32_t kUnprivilegedPort = 8080;
    // The snapshot folder's limit a first start writes ("LogPicMaxMB").
    static constexpr uint32_t kFirstStartSnapshotLimitMB = 1024;
    static constexpr const char* kSocketFailureMessage =
        "Winsock "
        "\xE3\x82\xB5\xE3\x83\xBC\xE3\x83\x93\xE3\x82\xB9\xE3\x81\x8C\xE5\x88\xA9\xE7\x94\xA8\xE3\x81\xA7"
        "\xE3\x81\x8D\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xEF\xBC\x81"; // Winsock サービスが利用できません！

    explicit CMainApp(AppEnvironment env);
    ~CMainApp();

    // The start-up sequence; false ends the process at once.
    bool InitInstance();
    // One idle step: ServiceIdle of the main frame; true asks for another call.
    bool OnIdle(long count);
    // Arms the idle step (called where idle work appears).
    void RequestIdle();
    // Closes the main frame the way the exit command does: destruction sequence and
    // settings saved. Safe to call more than once.
    void ExitMainFrame();
    // The exit status the program ends with.
    int ExitCode() const { return m_exitCode; }

    // The exit command: marks the quit pending, then closes the main frame from the
    // top-level loop through the hook the program installs (without one, the frame is
    // closed once the current event is handled).
    void RequestQuit();
    void SetQuitHook(std::function<void()> hook) { m_quitHook = std::move(hook); }
    // Whether a modal dialog or a popup is open (commands are dropped meanwhile); the
    // program installs the toolkit's answer, without one nothing is ever open.
    bool ModalOpen() const { return m_modalProbe && m_modalProbe(); }
    void SetModalProbe(std::function<bool()> probe) { m_modalProbe = std::move(probe); }
    // "バージョン情報" (command 57664): the about box, modal.
    void ShowAbout();

    std::string HostName;
    std::string PublicAddress;
    std::string VersionText;
    std::string HelpFilePath;

    // The main frame, null before the start and after the exit.
    CMainFrame* MainFrame() const;
    // The settings records and the subsystems, null when the main frame is.
    Composition* Parts() const { return m_parts.get(); }
    IMainView& View() { return *m_view; }
    IMessageBox& MessageBox() { return *m_messageBox; }
    SettingsStore& Store() { return m_store; }
    const std::string& ConfigFolderPath() const { return m_configFolder; }
    IdleScheduler& Idle() { return *m_idle; }
    // Single-shot timer the idle pass sets for the moment the oldest viewer can leave;
    // when it fires, an idle pass is armed.
    IIdleTimer& ViewerTimer() { return *m_viewerTimer; }
    // The clock the viewer list and the hit log go by.
    int64_t NowMs() const;
    bool Exited() const { return m_exited; }
    // Whether the program runs without a display (AppEnvironment::headless).
    bool Headless() const { return m_env.headless; }

    // The help-file rule: last three characters of the program path replaced by "chm"
    // when the file name has a three-letter extension, else ".chm" appended.
    static std::string HelpPathFor(const std::string& programPath);
    // gethostname, else the computer name in lower case.
    static std::string FindHostName(const std::function<int(char*, size_t)>& hostNameSource,
                                    const std::function<std::string()>& computerNameSource);
    static bool SocketLayerAvailable();
    // A first start (no settings file yet) without the right to listen below 1024 stores
    // kUnprivilegedPort as "uPort" unless a port is stored. True when it did.
    static bool UseUnprivilegedPortOnFirstStart(SettingsStore& store, bool settingsFileExisted,
                                                bool mayListenBelow1024);
    // What a headless second copy says: the settings file, the lock and who holds it
    // (`holder` 0: not known).
    static std::string SecondCopyMessage(const std::string& settingsFile, const std::string& lockFile,
                                         pid_t holder);
    // Paths of the settings file and of its instance lock for this environment.
    std::string SettingsFilePath() const;
    std::string LockFilePath() const;

private:
    // UseUnprivilegedPortOnFirstStart, said to the owner. The saved file keeps the port,
    // so it is said once.
    void ChooseFirstStartPort(bool settingsFileExisted);

    AppEnvironment m_env;
    std::string m_configFolder;
    InstanceLock m_lock;
    SettingsStore m_store;
    std::unique_ptr<IMessageBox> m_messageBox;
    std::unique_ptr<IMainView> m_view;
    std::unique_ptr<IdleScheduler> m_idle;
    std::unique_ptr<IIdleTimer> m_viewerTimer;
    std::unique_ptr<Composition> m_parts;
    bool m_exited = false;
    int m_exitCode = 0;
    std::function<void()> m_quitHook;
    std::function<bool()> m_modalProbe;
    // Receives the deferred close when no quit hook is installed; goes with the application.
    QObject m_deferred;
};

} // namespace kestrel
