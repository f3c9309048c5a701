#include "app/MainFrame.h"

#include "app/MainApp.h"
#include "platform/Paths.h"

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
    m_basicSettings.Load();
    m_htmlSettings.Load();
    // 6. Skin file names.
    m_skinFolder = m_basicSettings.SkinBmp;
    // 7. Listing icons are off when the web root has no "SvrAdmin" folder.
    m_svrAdminPresent = IsExistingFolder(m_serverSettings.strRoot + "/SvrAdmin");
    if (!m_svrAdminPresent)
        m_serverSettings.bListIcon = 0;
    // 8-9. The server listens before the window exists.
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
    // 3-5. Capture callback, overlay and driver (filled by the capture subsystem).
    // 6. Child controls, in reverse creation order.
    for (ControlId id : {IDC_VIEWER_LIST, IDC_DRIVER_LIST, IDC_PREVIEW_PLACEHOLDER, IDC_ADDRESS, IDC_VIEWER_COUNT,
                         IDC_UPTIME})
        if (m_view.HasControl(id))
            m_view.DestroyControl(id);
    // 7-8. Server, unlogged requests and viewers.
    StopServer();
}

IMessageBox& CMainFrame::MessageBox() { return m_app.MessageBox(); }

void CMainFrame::SaveSettingsFile() {
    SettingsStore& store = m_app.Store();
    if (int err = store.Save())
        MessageBox().Show("The settings could not be saved to " + store.FilePath() + ": " + ErrorText(err), "Kestrel",
                          MessageIcon::Error);
}

int CMainFrame::OnCreate() {
    // 1. The window itself.
    if (!m_view.CreateFrame(kSizeClasses[0].width, kSizeClasses[0].height))
        return -1;
    // 2. A skin folder stored without its trailing "/" names something by itself: use
    //    the built-in skin instead.
    if (PathNamesSomething(m_basicSettings.SkinBmp))
        m_basicSettings.SkinBmp.clear();
    // 3. Skin and window region.
    m_view.ApplySkin(m_sizeClass);
    // 4. Status controls with their fonts.
    for (const ControlSpec& spec : kStatusControls)
        m_view.CreateControl(spec.id, spec.rect, spec.fontHeight);
    m_view.OnDriverChosen([this](int position) { OnDriverListChosen(position); });
    // 5. Driver list (the capture subsystem supplies the descriptions).
    FillDriverList([](int, std::string&) { return false; });
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
    // Capture: SelectCaptureDevice(position - 1).
}

int CMainFrame::ServiceIdle() {
    m_lastIdleLogged = false;
    return 0;
}

bool CMainFrame::StartServer() { return true; }
void CMainFrame::StopServer() {}
void CMainFrame::ValidateWebRoot() {}
void CMainFrame::UpdateUptimeDisplay() {}
void CMainFrame::CreateCaptureWindow() {}
void CMainFrame::LookupPublicAddress() {}
void CMainFrame::StartAddressMonitor() {}

} // namespace kestrel
