#pragma once

#include "app/IdleScheduler.h"
#include "app/MainView.h"
#include "app/Skin.h"
#include "model/Settings.h"

#include <QTimer>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kestrel {

class CMainApp;
class PublicAddressLookup;
class CWebServer;
class CHitTracker;
class IServerDialogs;
class ISettingsDialogs;
struct CRequest;
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
constexpr const char* kSkinFallbackMessage = "スキン画像を読み込めません：%s\n内蔵のスキンを使います。";

// The one top-level window and the owner of all long-lived state. Its constructor,
// OnCreate, OnDestroy and destructor run the start and stop sequences in their order.
class CMainFrame : public ISkinInput {
public:
    explicit CMainFrame(CMainApp& app);
    ~CMainFrame() override;
    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    // Window creation: 0, or -1 when the window cannot be created.
    int OnCreate();
    // Window destruction: stops the status timer and releases the skin.
    void OnDestroy();
    // Any timer: the uptime display.
    void OnTimer(int timerId);

    // Idle housekeeping; nonzero when more idle work is pending.
    int ServiceIdle();
    // Whether the last ServiceIdle wrote anything (the idle timer backs off when not).
    bool LastIdleLoggedSomething() const { return m_lastIdleLogged; }
    // One idle pass as the scheduler runs it: ServiceIdle, then what comes next. Passes
    // go on while requests wait, while a viewer is already due to leave, and once more
    // after a pass that lit the activity lamp, so the lamp goes dark; the viewer timer is
    // set for the moment the oldest viewer can leave.
    IdlePass IdleStep();
    // A viewer can leave once more than kViewerTimeout whole seconds have passed since its
    // last request: from its last request's second + 16 s on.
    static constexpr int kViewerLeaveSeconds = 16;

    // Steps that other subsystems fill in.
    bool StartServer();
    void StopServer();
    void ValidateWebRoot();
    void UpdateUptimeDisplay();
    void CreateCaptureWindow();
    void LookupPublicAddress();
    void StartAddressMonitor();

    // Rewrites every viewer page and "kestrel.dat" from the templates in the web root.
    void GeneratePages();
    // The reply of an asynchronous host-name lookup (nothing starts one at present):
    // `errorCode` 0 with the first address found, or the resolver's error code.
    void OnHostLookupReply(int errorCode, const std::string& firstAddress);
    // Web server: every answered request comes here (request list, viewer list).
    void RecordHit(const std::shared_ptr<CRequest>& request);
    // The server properties command (menu "プロパティ(&P)").
    void OnServerProperties();
    ISettingsDialogs& SettingsDialogs() { return *m_settingsDialogs; }
    // Takes over what the image settings dialog edits (the capture device and preview
    // switch stay as they are held here): the overlay follows UseOverlay, the preview
    // period and motion ratio change at once, the rest is read by the next frame. A
    // needed overlay that cannot be read is reported after all of that.
    void ApplyImageSettings(const ImageSettings& edited);
    CWebServer* WebServer() { return m_webServer.get(); }
    CHitTracker* HitTracker() { return m_hitTracker.get(); }
    // Filled by the subsystems that provide them: composing "frame.jpg" and
    // "framei.jpg" for a picture request, and laying the starter site into a web root
    // that ValidateWebRoot has just created.
    std::function<void()> ComposeFrameHook;
    // Tests: composes the live stream's pictures in place of the capture subsystem.
    std::function<bool(std::vector<uint8_t>&, bool&)> ComposeStreamHook;
    std::function<void(const std::string& root)> WebRootCreatedHook;

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
    HelpViewer& Help() { return *m_help; }
    // The settings dialogs (commands 32772, 32773) and the URL registration (32771). Each
    // runs modally and rewrites the pages once it has closed, on accept and cancel alike.
    // The image settings dialog edits a copy; OK applies it.
    void OpenBasicSettings();
    void OpenImageSettings();
    void OpenUrlRegistration();
    void OpenHtmlSettings();

    // The driver list was chosen by the user (position in the list).
    void OnDriverListChosen(int position);
    // Connects driver `index` (-1: none), resizing and re-skinning the window to its frames.
    void SelectCaptureDevice(int index);
    // Grabs, composes and writes "frame.jpg" and "framei.jpg" into the web root folder.
    void ComposeFrame();
    // Pictures: capture window, overlay, JPEG writer, motion detector.
    CaptureSubsystem* Capture() { return m_capture.get(); }
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

    // Settings records, loaded by the constructor and saved by the destructor.
    ImageSettings m_imageSettings;
    CServerSettings m_serverSettings;
    UrlRegSettings m_urlRegSettings;
    BasicSettings m_basicSettings;
    HtmlSettings m_htmlSettings;

    // State shared with the other subsystems.
    int m_sizeClass = kInitialSizeClass;
    int m_activityLamp = 0;
    int m_viewerCount = 0;
    unsigned m_lastCaptureWidth = 0;
    unsigned m_lastCaptureHeight = 0;
    int m_motionReinit = 0;
    bool m_svrAdminPresent = false;
    SkinNames m_skinNames;

    // Brushes' colours, created in the constructor (kept for the colour rules of the controls).
    COLORREF m_brushColors[3] = {};
    bool m_brushesCreated = false;

private:
    void SaveSettingsFile();
    // A skin background that could not be used: said once per path and run, from the
    // top-level event loop (a switch may run inside a picture request or a dialog).
    void ReportSkinFallback(const std::string& path);
    void ShowFromTopLevel(const std::string& text);
    // Sets the viewer timer for the oldest viewer's leaving; true when it is due already.
    bool ArmViewerExpiry();
    // The public address lookup, wired to the address line and the page generation.
    PublicAddressLookup MakeAddressLookup();
    // UrlAutoexec: opens the URL registration dialog once the address is known.
    void OpenUrlRegistrationAfterLookup();

    CMainApp& m_app;
    IMainView& m_view;
    std::unique_ptr<CaptureSubsystem> m_capture;
    std::unique_ptr<QTimer> m_statusTimer;
    int m_statusTimerId = 0;
    bool m_lastIdleLogged = false;
    int64_t m_viewerDueMs = -1; // the moment the viewer timer is set for
    bool m_destroyed = false;
    std::unique_ptr<IServerDialogs> m_serverDialogs;
    std::unique_ptr<ISettingsDialogs> m_settingsDialogs;
    std::unique_ptr<CHitTracker> m_hitTracker;
    std::unique_ptr<CWebServer> m_webServer;
    // Receives posted commands and queued messages; what is still queued goes with the frame.
    std::unique_ptr<QObject> m_commandQueue = std::make_unique<QObject>();
    std::shared_ptr<SkinFace> m_skinFace;
    std::array<bool, kSkinElementCount> m_hover{};
    std::set<int> m_queuedCommands;
    std::unique_ptr<HelpViewer> m_help;
};

} // namespace kestrel
