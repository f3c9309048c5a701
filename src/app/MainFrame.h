#pragma once

#include "app/MainView.h"
#include "app/SettingsRecords.h"
#include "app/Skin.h"

#include <QObject>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kestrel {

class CMainApp;
class CWebServer;
class CHitTracker;
class IServerDialogs;
class ISettingsDialogs;
class CaptureSubsystem;
class HelpViewer;

// Main window sizes per window size class.
struct SizeClassInfo {
    int width, height;
};
constexpr SizeClassInfo kSizeClasses[3] = {{444, 349}, {610, 495}, {933, 690}};
constexpr int kInitialSizeClass = -99;

// Where a status control sits, its font height and its background colour.
struct ControlLayout {
    ControlId id;
    Rect rect;
    int fontHeight;
    COLORREF background; // 0xFFFFFFFF: the toolkit's default colours
};
constexpr COLORREF kStatusBackground = RGB(208, 216, 208);
constexpr COLORREF kUptimeBackground = RGB(184, 188, 184);
constexpr COLORREF kDefaultColours = 0xFFFFFFFFu;
// In creation order.
constexpr ControlLayout kStatusControls[] = {
    {IDC_UPTIME, {75, 263, 125, 272}, 10, kUptimeBackground},
    {IDC_VIEWER_COUNT, {35, 294, 121, 303}, 10, kStatusBackground},
    {IDC_ADDRESS, {34, 44, 154, 53}, 10, kStatusBackground},
    {IDC_PREVIEW_PLACEHOLDER, {166, 151, 206, 191}, 0, kDefaultColours},
    {IDC_DRIVER_LIST, {127, 6, 302, 556}, 13, kDefaultColours},
    {IDC_VIEWER_LIST, {28, 59, 355, 114}, 11, kDefaultColours},
};

constexpr const char* kNoDriverSelected = "No Driver Selected";
constexpr const char* kNoCaptureDeviceMessage =
    "\xE3\x82\xAD\xE3\x83\xA3\xE3\x83\x97\xE3\x83\x81\xE3\x83\xA3\xE3\x83\x87\xE3"
    "\x83\x90\xE3\x82\xA4\xE3\x82\xB9"
    "\xE3\x81\x8C\xE5\xAD\x98\xE5\x9C\xA8\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x9B\xE3"
    "\x82\x93"; // キャプチャデバイスが存在しません
constexpr int kMaxListedDrivers = 100;
// A skin background that cannot be used; %s is its path.
// %s: the unusable files, one a line.
constexpr const char* kSkinFallbackMessage =
    "スキン画像を読み込めません：\n%s\nスキン全体に内蔵のスキンを使います。";

// The main window: its window and status controls, the skin, and the commands from every
// door (skin, tray, help keys) with the dialogs they open. The composition (Composition.h)
// builds it, lends it the settings records and the subsystems it works with, and runs the
// start and stop sequences around it.
class CMainFrame : public ISkinInput {
public:
    // What the composition lends the frame; every part outlives it.
    struct Lent {
        SettingsRecords& settings;
        // The window size class; the capture subsystem sets it when the frame size changes.
        const int& sizeClass;
        CaptureSubsystem& capture;
        CWebServer& server;
        // The viewer count and the activity lamp the skin shows.
        const CHitTracker& hits;
        IServerDialogs& serverDialogs;
        // Rewrites every viewer page; each settings dialog ends with it.
        std::function<void()> generatePages;
    };

    // Builds the skin file names; the window does not exist yet.
    CMainFrame(CMainApp& app, Lent lent);
    ~CMainFrame() override;
    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    // The window's own creation steps: the window, the skin and its region, the status
    // controls and the driver list. 0, or -1 when the window cannot be created.
    int OnCreate();
    // Window destruction: pointer input stops and the skin is released.
    void OnDestroy();
    // The child controls go, in reverse creation order.
    void DestroyControls();

    // The start and stop buttons' commands; the buttons follow the listening state.
    bool StartServer();
    void StopServer();
    // The server properties command (menu "プロパティ(&P)").
    void OnServerProperties();
    ISettingsDialogs& SettingsDialogs() { return *m_settingsDialogs; }
    // Takes over what the image settings dialog edits (the capture device and preview
    // switch stay as they are held here): the overlay follows UseOverlay, the preview
    // period and motion ratio change at once, the rest is read by the next frame. A
    // needed overlay that cannot be read is reported after all of that.
    void ApplyImageSettings(const ImageSettings& edited);

    // Commands from every door (skin, tray, help keys). A disabled command does nothing;
    // while a modal dialog or popup is open, or a quit is pending, every command but exit
    // is dropped.
    void OnCommand(int id);
    // System commands: minimise sends the window to the tray (MinimizeHook); others do nothing.
    void OnSysCommand(int id);
    bool IsCommandEnabled(int id) const;
    // Queues the command: it runs from the event loop, never inside the caller's handler.
    void PostCommand(int id);
    std::function<void()> MinimizeHook;
    // Called after something that may enable or disable a command (device, capabilities).
    std::function<void()> CommandStatesChangedHook;
    // Preview, device or driver capabilities changed: the skin's pictures and whoever
    // shows the commands (CommandStatesChangedHook) follow.
    void RefreshCommandStates();
    HelpViewer& Help() { return *m_help; }
    // The settings dialogs (commands 32772, 32773) and the URL registration (32771). Each
    // runs modally and rewrites the pages once it has closed, on accept and cancel alike.
    // The image settings dialog edits a copy; OK applies it.
    void OpenBasicSettings();
    void OpenImageSettings();
    void OpenUrlRegistration();
    void OpenHtmlSettings();

    // Fills the driver list; the description source answers false past the last driver.
    void FillDriverList(const std::function<bool(int index, std::string& name)>& description);

    // The skin. BuildSkinNames follows SkinBmp; SwitchSkin releases the skin, loads the
    // background and pictures of the current size class and shapes the window.
    void BuildSkinNames();
    void ReleaseSkin();
    void LoadSkinBase();
    void ApplyWindowRegion();
    void SwitchSkin();
    // Tells the view the picture every element shows now (after anything that may change one).
    void RefreshSkinPictures();
    SkinState CurrentSkinState() const;
    const SkinFace* Skin() const { return m_skinFace.get(); }
    const SkinNames& SkinFileNames() const { return m_skinNames; }
    // Pointer input on the face.
    void OnSkinMouseMove(int x, int y) override;
    void OnSkinMouseLeave() override;
    bool OnSkinLButtonDown(int x, int y) override;
    void OnInputEvent() override;

    CMainApp& App() { return m_app; }
    IMainView& View() { return m_view; }
    IMessageBox& MessageBox();

private:
    // A skin background that could not be used: said once per path and run, from the
    // top-level event loop (a switch may run inside a picture request or a dialog).
    void ReportSkinFallback(const std::string& path);
    void ShowFromTopLevel(const std::string& text);

    CMainApp& m_app;
    IMainView& m_view;
    SettingsRecords& m_settings;
    const int& m_sizeClass;
    CaptureSubsystem& m_capture;
    CWebServer& m_server;
    const CHitTracker& m_hits;
    IServerDialogs& m_serverDialogs;
    std::function<void()> m_generatePages;
    std::unique_ptr<ISettingsDialogs> m_settingsDialogs;
    std::unique_ptr<HelpViewer> m_help;
    SkinNames m_skinNames;
    // Receives posted commands and queued messages; what is still queued goes with the frame.
    std::unique_ptr<QObject> m_commandQueue = std::make_unique<QObject>();
    std::shared_ptr<SkinFace> m_skinFace;
    std::array<bool, kSkinElementCount> m_hover{};
    std::set<int> m_queuedCommands;
};

} // namespace kestrel
