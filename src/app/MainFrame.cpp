#include "app/MainFrame.h"

#include "app/CommandIds.h"
#include "app/HelpViewer.h"
#include "app/MainApp.h"
#include "app/SettingsDialogs.h"
#include "capture/CaptureSubsystem.h"
#include "capture/ImageSettingsRules.h"
#include "directory/PublicAddressLookup.h"
#include "model/QuitState.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "publish/PageGenerator.h"
#include "publish/StarterSite.h"
#include "server/HitLog.h"
#include "server/ServerDialogs.h"
#include "server/WebServer.h"

#include <QGuiApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <set>

namespace kestrel {

CMainFrame::CMainFrame(CMainApp& app)
    : m_imageSettings(&app.Store()), m_serverSettings(&app.Store()), m_urlRegSettings(&app.Store()),
      m_basicSettings(&app.Store()), m_htmlSettings(&app.Store()), m_app(app), m_view(app.View()) {
    // 2. The brushes: two of the status background, one of the uptime background.
    m_brushColors[0] = kStatusBackground;
    m_brushColors[1] = kStatusBackground;
    m_brushColors[2] = kUptimeBackground;
    m_brushesCreated = true;
    // 3-4. Size class, hover and running states, lamp, count, overlay: member defaults.
    m_sizeClass = kInitialSizeClass;
    // 5. Settings, in this order.
    m_urlRegSettings.Load();
    m_serverSettings.Load(app.HostName);
    m_imageSettings.Load(&MessageBox());
    m_basicSettings.Load(&MessageBox());
    m_htmlSettings.Load();
    // The capture layer, overlay holder, JPEG writer and motion detector live as long as the frame.
    CaptureSubsystem::Host host;
    host.image = &m_imageSettings;
    host.view = &m_view;
    host.messages = &MessageBox();
    host.store = &app.Store();
    host.motionReinit = &m_motionReinit;
    host.lastCaptureWidth = &m_lastCaptureWidth;
    host.lastCaptureHeight = &m_lastCaptureHeight;
    host.sizeClass = &m_sizeClass;
    host.owner = this;
    host.webRoot = [this] { return m_serverSettings.strRoot; };
    host.picturePassword = [this] { return m_basicSettings.PicPass; };
    host.viewerCount = [this] { return m_viewerCount; };
    host.frameSizeFor = [](int cls, int& w, int& h) {
        w = kSizeClasses[cls].width;
        h = kSizeClasses[cls].height;
    };
    host.generatePages = [this] { GeneratePages(); };
    host.switchSkin = [this] { SwitchSkin(); };
    host.stateChanged = [this] {
        RefreshSkinPictures();
        if (CommandStatesChangedHook)
            CommandStatesChangedHook();
    };
    m_capture = std::make_unique<CaptureSubsystem>(std::move(host));
    m_help = std::make_unique<HelpViewer>(MessageBox(), [] { return HelpFolder(); });
    // 6. Skin file names.
    BuildSkinNames();
    // 7. Listing icons are off when the web root has no "SvrAdmin" folder.
    m_svrAdminPresent = IsExistingFolder(m_serverSettings.strRoot + "/SvrAdmin");
    if (!m_svrAdminPresent)
        m_serverSettings.bListIcon = 0;
    // 8-9. The server listens before the window exists.
    m_serverDialogs = MakeServerDialogs(m_view.IsHeadless());
    m_settingsDialogs = MakeSettingsDialogs(m_view.IsHeadless());
    m_hitTracker = std::make_unique<CHitTracker>(
        m_view, m_serverSettings, [&app] { return static_cast<std::time_t>(app.NowMs() / 1000); });
    ServerHooks hooks;
    // Picture requests compose a fresh frame; tests may put their own composer in its place.
    hooks.composeFrame = [this] {
        if (ComposeFrameHook)
            ComposeFrameHook();
        else
            ComposeFrame();
    };
    hooks.picturePassword = [this] { return m_basicSettings.PicPass; };
    // A web root that ValidateWebRoot has just created gets the starter site.
    WebRootCreatedHook = [this](const std::string& root) {
        if (std::string report = StarterSiteReport(LayStarterSite(root)); !report.empty())
            MessageBox().Show(report, "Kestrel", MessageIcon::Exclamation);
    };
    hooks.recordHit = [this](const std::shared_ptr<CRequest>& request) { RecordHit(request); };
    hooks.composeStreamFrame = [this](std::vector<uint8_t>& jpeg, bool& cameraOff) {
        if (ComposeStreamHook)
            return ComposeStreamHook(jpeg, cameraOff);
        return m_capture->Composer().ComposeToMemory(jpeg, cameraOff);
    };
    hooks.touchViewer = [this](const std::string& address) {
        // The same clock as the viewer list's expiry.
        m_hitTracker->TouchViewer(address, static_cast<std::time_t>(m_app.NowMs() / 1000));
        m_app.RequestIdle();
    };
    // A closed connection lets its request be logged.
    hooks.connectionClosed = [this] { m_app.RequestIdle(); };
    m_webServer = std::make_unique<CWebServer>(m_serverSettings, MessageBox(), std::move(hooks));
    StartServer();
}

CMainFrame::~CMainFrame() {
    // 1. Brushes.
    m_brushesCreated = false;
    // 2. Settings, in the loading order; then the file is written once.
    m_urlRegSettings.Save();
    m_serverSettings.Save();
    m_imageSettings.Save();
    m_basicSettings.Save();
    m_htmlSettings.Save();
    SaveSettingsFile();
    // 3-5. Capture callback and user data, overlay, driver.
    m_capture->Shutdown();
    // 6. Child controls, in reverse creation order.
    for (ControlId id : {IDC_VIEWER_LIST, IDC_DRIVER_LIST, IDC_PREVIEW_PLACEHOLDER, IDC_ADDRESS,
                         IDC_VIEWER_COUNT, IDC_UPTIME})
        if (m_view.HasControl(id))
            m_view.DestroyControl(id);
    // 7-8. Server, unlogged requests and viewers. Connections still open are cut; their
    //      scripts are ended by their workers (waited for at most 3 s).
    StopServer();
    m_webServer.reset();
    if (m_hitTracker)
        m_hitTracker->ReleaseAll();
}

IMessageBox& CMainFrame::MessageBox() {
    return m_app.MessageBox();
}

void CMainFrame::SaveSettingsFile() {
    SettingsStore& store = m_app.Store();
    if (int err = store.Save())
        MessageBox().Show("The settings could not be saved to " + store.FilePath() + ": " + ErrorText(err),
                          "Kestrel", MessageIcon::Error);
}

int CMainFrame::OnCreate() {
    // 1. The window itself.
    if (!m_view.CreateFrame(kSizeClasses[0].width, kSizeClasses[0].height))
        return -1;
    // 2. A skin folder stored without its trailing "/" names something by itself: use
    //    the built-in skin instead.
    if (PathNamesSomething(m_basicSettings.SkinBmp))
        m_basicSettings.SkinBmp.clear();
    // 3. Skin and window region (the class 0 background: no class is chosen yet).
    SwitchSkin();
    m_view.SetSkinInput(this);
    // 4. Status controls with their fonts.
    for (const ControlLayout& layout : kStatusControls)
        m_view.CreateControl(layout.id, layout.rect, layout.fontHeight);
    m_view.OnDriverChosen([this](int position) { OnDriverListChosen(position); });
    // 5. Driver list (the capture subsystem supplies the descriptions).
    FillDriverList(
        [this](int index, std::string& name) { return m_capture->DriverDescription(index, name); });
    // 6. Capture window and driver connection.
    CreateCaptureWindow();
    // 7. Web root.
    ValidateWebRoot();
    // 8. First uptime text.
    UpdateUptimeDisplay();
    // 9. Timer 1, every 30 s.
    m_statusTimer = std::make_unique<QTimer>();
    m_statusTimer->setInterval(30000);
    QObject::connect(m_statusTimer.get(), &QTimer::timeout, [this] { OnTimer(1); });
    m_statusTimer->start();
    m_statusTimerId = 1;
    // 10-11. Public address, then strServer follows it whatever the outcome.
    LookupPublicAddress();
    m_serverSettings.strServer = m_app.PublicAddress;
    // 12. Address monitor.
    if (m_basicSettings.AddrScout == 1)
        StartAddressMonitor();
    return 0;
}

void CMainFrame::OnDestroy() {
    if (m_destroyed)
        return;
    m_destroyed = true;
    if (m_statusTimerId) {
        m_statusTimer->stop();
        m_statusTimerId = 0;
    }
    m_view.SetSkinInput(nullptr);
    ReleaseSkin();
}

void CMainFrame::OnTimer(int) {
    UpdateUptimeDisplay();
    m_app.RequestIdle();
}

void CMainFrame::FillDriverList(const std::function<bool(int, std::string&)>& description) {
    m_view.DriverListReset();
    m_view.DriverListAdd(kNoDriverSelected);
    int count = 0;
    for (int i = 0; i < kMaxListedDrivers; ++i) {
        std::string name;
        if (!description(i, name))
            break;
        m_view.DriverListAdd(name);
        ++count;
    }
    if (count == 0)
        MessageBox().Show(kNoCaptureDeviceMessage, "Kestrel", MessageIcon::None);
    // Position CaptureDevice + 1 (0 for -1); a stored value far out of range selects
    // nothing, and never overflows.
    int64_t position = static_cast<int64_t>(m_imageSettings.CaptureDevice) + 1;
    m_view.DriverListSelect(position >= 0 && position <= kMaxListedDrivers ? static_cast<int>(position) : -1);
}

void CMainFrame::OnDriverListChosen(int position) {
    if (position < 0)
        return;
    m_capture->OnDriverListChosen(position);
}

void CMainFrame::SelectCaptureDevice(int index) {
    m_capture->SelectCaptureDevice(index);
}

void CMainFrame::ComposeFrame() {
    m_capture->ComposeFrame();
}

int CMainFrame::ServiceIdle() {
    int result = m_hitTracker->ServiceIdle();
    m_viewerCount = m_hitTracker->ViewerCount();
    m_activityLamp = m_hitTracker->ActivityLamp() ? 1 : 0;
    m_lastIdleLogged = m_hitTracker->LastIdleLogged();
    RefreshSkinPictures(); // the meter and the lamp
    return result;
}

IdlePass CMainFrame::IdleStep() {
    const int result = ServiceIdle();
    const bool viewerDue = ArmViewerExpiry();
    if (result != 0)
        return m_lastIdleLogged ? IdlePass::More : IdlePass::MoreButStuck;
    if (viewerDue)
        return IdlePass::MoreButStuck;
    if (m_activityLamp)
        return IdlePass::More;
    return IdlePass::Done;
}

bool CMainFrame::ArmViewerExpiry() {
    const auto& viewers = m_hitTracker->Viewers();
    if (viewers.empty())
        return false;
    std::time_t oldest = viewers.front().lastAccess;
    for (const CIPAccess& v : viewers)
        oldest = std::min(oldest, v.lastAccess);
    const int64_t dueMs = (static_cast<int64_t>(oldest) + kViewerLeaveSeconds) * 1000;
    const int64_t waitMs = dueMs - m_app.NowMs();
    if (waitMs <= 0)
        return true;
    // Already set for that moment: every pass under load would otherwise set it anew.
    if (dueMs == m_viewerDueMs && m_app.ViewerTimer().IsActive())
        return false;
    m_viewerDueMs = dueMs;
    // A clock set back by hours must not overflow the timer's interval.
    m_app.ViewerTimer().Start(static_cast<int>(std::min<int64_t>(waitMs, 3600 * 1000)));
    return false;
}

void CMainFrame::RecordHit(const std::shared_ptr<CRequest>& request) {
    m_hitTracker->RecordHit(request);
    m_app.RequestIdle();
}

bool CMainFrame::StartServer() {
    const bool started = m_webServer && m_webServer->StartServer();
    RefreshSkinPictures();
    return started;
}

void CMainFrame::StopServer() {
    if (m_webServer)
        m_webServer->StopServer();
    RefreshSkinPictures();
}

void CMainFrame::ValidateWebRoot() {
    kestrel::ValidateWebRoot(m_serverSettings, *m_serverDialogs, MessageBox(), WebRootCreatedHook);
}

void CMainFrame::UpdateUptimeDisplay() {
    m_hitTracker->UpdateUptimeDisplay(m_webServer && m_webServer->IsListening(),
                                      m_serverSettings.timeStarted);
}

void CMainFrame::BuildSkinNames() {
    m_skinNames = MakeSkinNames(m_basicSettings.SkinBmp);
}

void CMainFrame::ReleaseSkin() {
    m_skinFace.reset();
}

void CMainFrame::LoadSkinBase() {
    // Folder or built-in follows SkinBmp now: window creation may have cleared it after
    // the names were built.
    const bool fromFolder = !m_basicSettings.SkinBmp.empty();
    m_skinFace = LoadSkinFace(m_sizeClass, fromFolder ? &m_skinNames : nullptr);
    if (m_skinFace && !m_skinFace->fallbackPath.empty())
        ReportSkinFallback(m_skinFace->fallbackPath);
}

void CMainFrame::ApplyWindowRegion() {
    if (m_skinFace)
        m_view.ApplySkin(m_skinFace);
}

void CMainFrame::SwitchSkin() {
    ReleaseSkin();
    LoadSkinBase();
    ApplyWindowRegion();
    RefreshSkinPictures();
}

SkinState CMainFrame::CurrentSkinState() const {
    SkinState s;
    s.serverListening = m_webServer && m_webServer->IsListening();
    s.previewEnabled = static_cast<int>(m_imageSettings.PreviewEnabled);
    s.viewerCount = m_viewerCount;
    s.activityLamp = m_activityLamp;
    // The same rule as the commands' (and the tray's).
    s.formatEnabled = m_capture && IsCommandEnabled(CmdVideoFormat);
    s.sourceEnabled = m_capture && IsCommandEnabled(CmdVideoSource);
    s.displayEnabled = m_capture && IsCommandEnabled(CmdVideoDisplay);
    s.hover = m_hover;
    return s;
}

void CMainFrame::RefreshSkinPictures() {
    m_view.ShowSkinPictures(SkinPictureIdsFor(CurrentSkinState()));
}

void CMainFrame::OnSkinMouseMove(int x, int y) {
    m_app.RequestIdle();
    m_hover = SkinHoverAt(x, y);
    RefreshSkinPictures();
}

void CMainFrame::OnSkinMouseLeave() {
    m_app.RequestIdle();
    m_hover = {};
    RefreshSkinPictures();
}

bool CMainFrame::OnSkinLButtonDown(int x, int y) {
    m_app.RequestIdle();
    const bool listening = m_webServer && m_webServer->IsListening();
    bool closing = false;
    // Queued: no dialog runs inside the mouse handler.
    for (const SkinCommand& c :
         SkinClickCommands(x, y, listening, [this](int id) { return IsCommandEnabled(id); })) {
        if (c.system)
            QMetaObject::invokeMethod(
                m_commandQueue.get(), [this, id = c.id] { OnSysCommand(id); }, Qt::QueuedConnection);
        else
            PostCommand(c.id);
        closing = closing || (!c.system && c.id == CmdExit);
    }
    return closing;
}

void CMainFrame::OnInputEvent() {
    m_app.RequestIdle();
}

void CMainFrame::ReportSkinFallback(const std::string& path) {
    static std::set<std::string> told;
    if (!told.insert(path).second)
        return;
    std::string text = kSkinFallbackMessage;
    text.replace(text.find("%s"), 2, path);
    QTimer::singleShot(0, m_commandQueue.get(), [this, text] { ShowFromTopLevel(text); });
}

void CMainFrame::ShowFromTopLevel(const std::string& text) {
    // Never inside a dialog's loop or a start-up box: wait until only the top-level loop runs.
    if (QThread::currentThread()->loopLevel() > 1 || QGuiApplication::modalWindow()) {
        QTimer::singleShot(50, m_commandQueue.get(), [this, text] { ShowFromTopLevel(text); });
        return;
    }
    MessageBox().Show(text, "Kestrel", MessageIcon::Exclamation);
}

void CMainFrame::OnServerProperties() {
    RunServerProperties(m_serverSettings, m_app.HostName, *m_serverDialogs);
}
void CMainFrame::OpenImageSettings() {
    ImageSettings copy = m_imageSettings;
    if (ImageSettingsDialog().Edit(copy, m_serverSettings.strRoot))
        ApplyImageSettings(copy);
}

void CMainFrame::ApplyImageSettings(const ImageSettings& edited) {
    ImageSettings& s = m_imageSettings;
    s.UseCustomSize = edited.UseCustomSize;
    s.ImageWidth = edited.ImageWidth;
    s.ImageHeight = edited.ImageHeight;
    s.JpegQuality = edited.JpegQuality;
    s.UseOverlay = edited.UseOverlay;
    s.OverlayTransColor = edited.OverlayTransColor;
    s.OverlayBmp = edited.OverlayBmp;
    s.CapFPS = edited.CapFPS;
    s.UseMotion = edited.UseMotion;
    s.MotionQuality = edited.MotionQuality;
    s.captions = edited.captions;
    const std::string overlayFailure = m_capture->LoadOverlay();
    m_capture->ApplyPreviewRate();
    m_capture->ApplyMotionQuality();
    if (!overlayFailure.empty())
        MessageBox().Show(OverlayUnreadableMessage(s.OverlayBmp, overlayFailure), "Kestrel",
                          MessageIcon::Exclamation);
}

void CMainFrame::CreateCaptureWindow() {
    m_capture->CreateCaptureWindow();
}

void CMainFrame::GeneratePages() {
    PageInputs in =
        MakePageInputs(m_serverSettings, m_basicSettings, m_htmlSettings, m_urlRegSettings,
                       m_app.PublicAddress, m_app.HostName, m_lastCaptureWidth, m_lastCaptureHeight);
    PageGenerator(MessageBox()).GeneratePages(in);
}

PublicAddressLookup CMainFrame::MakeAddressLookup() {
    PublicAddressLookup::Hooks hooks;
    hooks.showAddress = [this](const std::string& address) { m_view.SetControlText(IDC_ADDRESS, address); };
    hooks.generatePages = [this] { GeneratePages(); };
    hooks.openUrlRegistration = [this] { OpenUrlRegistrationAfterLookup(); };
    return PublicAddressLookup(m_basicSettings, m_urlRegSettings, m_app.PublicAddress, MessageBox(),
                               std::move(hooks));
}

void CMainFrame::LookupPublicAddress() {
    const bool pagesWritten = MakeAddressLookup().LookupPublicAddress();
    // Without a display no dialog can regenerate the pages later, so a headless start
    // writes them here when the lookup did not.
    if (!pagesWritten && m_view.IsHeadless())
        GeneratePages();
}

void CMainFrame::OnHostLookupReply(int errorCode, const std::string& firstAddress) {
    MakeAddressLookup().OnHostLookupReply(errorCode, firstAddress, m_app.HostName);
}

void CMainFrame::OpenUrlRegistrationAfterLookup() {
    // A headless run never opens a dialog; it says once that registration needs one.
    if (m_view.IsHeadless()) {
        SayRegistrationNeedsDisplay();
        return;
    }
    OnCommand(CmdUrlRegistration);
}

void CMainFrame::OpenBasicSettings() {
    if (IsQuitPending())
        return;
    BasicSettingsForm form = BasicFormFrom(m_basicSettings);
    if (m_settingsDialogs->EditBasicSettings(form) && ApplyBasicSettingsForm(form, m_basicSettings)) {
        // A new skin folder reskins the window at once.
        BuildSkinNames();
        SwitchSkin();
    }
    GeneratePages();
}

void CMainFrame::OpenHtmlSettings() {
    if (IsQuitPending())
        return;
    // The dialog edits a copy: "ｷｬﾝｾﾙ" leaves the record as it was.
    HtmlSettings edited = m_htmlSettings;
    if (m_settingsDialogs->EditHtmlSettings(edited))
        m_htmlSettings = edited;
    GeneratePages();
}

void CMainFrame::OpenUrlRegistration() {
    if (IsQuitPending())
        return;
    UrlRegistration::Context context;
    context.cgiServer = m_basicSettings.CGIServer;
    context.port = m_serverSettings.uPort;
    context.pageAddress = PageAddress(m_basicSettings, m_app.PublicAddress);
    UrlRegistration session(m_urlRegSettings, MessageBox(), std::move(context));
    UrlRegSettings edited = m_urlRegSettings;
    if (m_settingsDialogs->RunUrlRegistration(session, edited))
        m_urlRegSettings = edited;
    GeneratePages();
}

void CMainFrame::StartAddressMonitor() {
    // The monitor is looked for beside the program, not in the current folder, where
    // anyone could leave a file of that name. Its absence is not reported.
    const std::string program = ProgramFolder() + "/addrscout";
    if (IsExecutableFile(program))
        SpawnDetached(program);
}

} // namespace kestrel
