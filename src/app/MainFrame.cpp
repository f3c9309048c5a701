#include "app/MainFrame.h"

#include "app/CommandIds.h"
#include "app/HelpViewer.h"
#include "app/MainApp.h"
#include "app/SettingsDialogs.h"
#include "capture/CaptureSubsystem.h"
#include "capture/ImageSettingsRules.h"
#include "model/QuitState.h"
#include "platform/Paths.h"
#include "publish/PageGenerator.h"
#include "server/HitLog.h"
#include "server/ServerDialogs.h"
#include "server/WebServer.h"

#include <QGuiApplication>
#include <QThread>
#include <QTimer>

#include <set>

namespace kestrel {

CMainFrame::CMainFrame(CMainApp& app, Lent lent)
    : m_app(app), m_view(app.View()), m_settings(lent.settings), m_sizeClass(lent.sizeClass),
      m_capture(lent.capture), m_server(lent.server), m_hits(lent.hits), m_serverDialogs(lent.serverDialogs),
      m_generatePages(std::move(lent.generatePages)),
      m_settingsDialogs(MakeSettingsDialogs(app.View().IsHeadless())),
      m_help(std::make_unique<HelpViewer>(app.MessageBox(), [] { return HelpFolder(); })) {
    BuildSkinNames();
}

CMainFrame::~CMainFrame() = default;

IMessageBox& CMainFrame::MessageBox() {
    return m_app.MessageBox();
}

int CMainFrame::OnCreate() {
    // The window itself.
    if (!m_view.CreateFrame(kSizeClasses[0].width, kSizeClasses[0].height))
        return -1;
    // A skin folder stored without its trailing "/" names something by itself: use the
    // built-in skin instead.
    if (PathNamesSomething(m_settings.basic.SkinBmp))
        m_settings.basic.SkinBmp.clear();
    // Skin and window region (the class 0 background: no class is chosen yet).
    SwitchSkin();
    m_view.SetSkinInput(this);
    // Status controls with their fonts.
    for (const ControlLayout& layout : kStatusControls)
        m_view.CreateControl(layout.id, layout.rect, layout.fontHeight);
    m_view.OnDriverChosen([&capture = m_capture](int position) { capture.OnDriverListChosen(position); });
    // Driver list (the capture subsystem supplies the descriptions).
    FillDriverList([&capture = m_capture](int index, std::string& name) {
        return capture.DriverDescription(index, name);
    });
    return 0;
}

void CMainFrame::OnDestroy() {
    m_view.SetSkinInput(nullptr);
    ReleaseSkin();
}

void CMainFrame::DestroyControls() {
    for (ControlId id : {IDC_VIEWER_LIST, IDC_DRIVER_LIST, IDC_PREVIEW_PLACEHOLDER, IDC_ADDRESS,
                         IDC_VIEWER_COUNT, IDC_UPTIME})
        if (m_view.HasControl(id))
            m_view.DestroyControl(id);
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
    int64_t position = static_cast<int64_t>(m_settings.image.CaptureDevice) + 1;
    m_view.DriverListSelect(position >= 0 && position <= kMaxListedDrivers ? static_cast<int>(position) : -1);
}

bool CMainFrame::StartServer() {
    const bool started = m_server.StartServer();
    RefreshSkinPictures();
    return started;
}

void CMainFrame::StopServer() {
    m_server.StopServer();
    RefreshSkinPictures();
}

void CMainFrame::BuildSkinNames() {
    m_skinNames = MakeSkinNames(m_settings.basic.SkinBmp);
}

void CMainFrame::ReleaseSkin() {
    m_skinFace.reset();
}

void CMainFrame::LoadSkinBase() {
    // Folder or built-in follows SkinBmp now: window creation may have cleared it after
    // the names were built.
    const bool fromFolder = !m_settings.basic.SkinBmp.empty();
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
    s.serverListening = m_server.IsListening();
    s.previewEnabled = static_cast<int>(m_settings.image.PreviewEnabled);
    s.viewerCount = m_hits.ViewerCount();
    s.activityLamp = m_hits.ActivityLamp() ? 1 : 0;
    // The same rule as the commands' (and the tray's).
    s.formatEnabled = IsCommandEnabled(CmdVideoFormat);
    s.sourceEnabled = IsCommandEnabled(CmdVideoSource);
    s.displayEnabled = IsCommandEnabled(CmdVideoDisplay);
    s.hover = m_hover;
    return s;
}

void CMainFrame::RefreshSkinPictures() {
    m_view.ShowSkinPictures(SkinPictureIdsFor(CurrentSkinState()));
}

void CMainFrame::RefreshCommandStates() {
    RefreshSkinPictures();
    if (CommandStatesChangedHook)
        CommandStatesChangedHook();
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
    const bool listening = m_server.IsListening();
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
    const std::string format = kSkinFallbackMessage;
    const size_t at = format.find("%s");
    const std::string text = format.substr(0, at) + path + format.substr(at + 2);
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
    RunServerProperties(m_settings.server, m_app.HostName, m_serverDialogs);
}

void CMainFrame::OpenImageSettings() {
    ImageSettings copy = m_settings.image;
    if (ImageSettingsDialog().Edit(copy, m_settings.server.strRoot))
        ApplyImageSettings(copy);
}

void CMainFrame::ApplyImageSettings(const ImageSettings& edited) {
    ImageSettings& s = m_settings.image;
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
    const std::string overlayFailure = m_capture.LoadOverlay();
    m_capture.ApplyPreviewRate();
    m_capture.ApplyMotionQuality();
    if (!overlayFailure.empty())
        MessageBox().Show(OverlayUnreadableMessage(s.OverlayBmp, overlayFailure), "Kestrel",
                          MessageIcon::Exclamation);
}

void CMainFrame::OpenBasicSettings() {
    if (IsQuitPending())
        return;
    BasicSettingsForm form = BasicFormFrom(m_settings.basic);
    const std::string passwordBefore = m_settings.basic.PicturePassword();
    if (m_settingsDialogs->EditBasicSettings(form) && ApplyBasicSettingsForm(form, m_settings.basic)) {
        // A new skin folder reskins the window at once.
        BuildSkinNames();
        SwitchSkin();
    }
    // A password just set: the small picture on disk no longer shows the camera.
    if (m_settings.basic.PicturePassword() != passwordBefore)
        m_capture.Composer().WriteGuardedSmallPicture();
    m_generatePages();
}

void CMainFrame::OpenHtmlSettings() {
    if (IsQuitPending())
        return;
    // The dialog edits a copy: "ｷｬﾝｾﾙ" leaves the record as it was.
    HtmlSettings edited = m_settings.html;
    if (m_settingsDialogs->EditHtmlSettings(edited))
        m_settings.html = edited;
    m_generatePages();
}

void CMainFrame::OpenUrlRegistration() {
    if (IsQuitPending())
        return;
    UrlRegistration::Context context;
    context.cgiServer = m_settings.basic.CGIServer;
    context.port = m_settings.server.uPort;
    context.pageAddress = PageAddress(m_settings.basic, m_app.PublicAddress);
    UrlRegistration session(m_settings.urlReg, MessageBox(), std::move(context));
    UrlRegSettings edited = m_settings.urlReg;
    if (m_settingsDialogs->RunUrlRegistration(session, edited))
        m_settings.urlReg = edited;
    m_generatePages();
}

} // namespace kestrel
