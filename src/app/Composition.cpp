#include "app/Composition.h"

#include "acme/AcmeKeeper.h"
#include "app/CommandIds.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "app/SettingsDialogs.h"
#include "capture/CaptureSubsystem.h"
#include "directory/BackgroundExchange.h"
#include "directory/PublicAddressLookup.h"
#include "housekeeping/Retention.h"
#include "model/QuitState.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "publish/PageGenerator.h"
#include "publish/StarterSite.h"
#include "server/HitLog.h"
#include "server/ServerDialogs.h"
#include "server/UrlMapping.h"
#include "server/WebServer.h"
#include "tls/TlsContext.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <sys/stat.h>

namespace kestrel {

Composition::Composition(CMainApp& app)
    : m_app(app), m_view(app.View()), m_settings(app.Store()), m_sizeClass(kInitialSizeClass) {
    // Settings, in their fixed order.
    m_settings.Load(app.HostName, app.MessageBox());
    // Headless, the stored web root is kept even when it does not exist yet: it is made at
    // window creation instead of silently serving the default folder.
    if (app.Headless())
        m_settings.server.strRoot = m_settings.server.storedRoot;
    if (m_settings.basic.PicPassUnreadable)
        app.MessageBox().Show(UnreadablePicPassMessage(app.Store().FilePath()), "Kestrel",
                              MessageIcon::Exclamation);
    m_serverDialogs = MakeServerDialogs(m_view.IsHeadless());
    m_acmeTokens = std::make_shared<AcmeChallengeTokens>();
    m_hitTracker = std::make_unique<CHitTracker>(
        m_view, m_settings.server, [&app] { return static_cast<std::time_t>(app.NowMs() / 1000); });
    BuildCapture();
    BuildWebServer();
    // The frame builds the skin file names.
    BuildFrame();
    // A small camera picture left from a run without the password is replaced before the
    // server answers.
    m_capture->Composer().WriteGuardedSmallPicture();
    // Listing icons are off when the web root has no "SvrAdmin" folder.
    if (!IsExistingFolder(m_settings.server.strRoot + "/SvrAdmin"))
        m_settings.server.bListIcon = 0;
    // The certificate kept for AcmeDomains (or its stand-in) is there before HTTPS starts.
    BuildAcme();
    // The server listens before the window exists.
    // An HTTPS port that cannot be listened on counts as a failed start too. (Certificate
    // files that cannot be used leave the plain port serving: that is said, not fatal.)
    const bool plain = m_frame->StartServer();
    const CServerSettings& server = m_settings.server;
    const bool usable =
        m_acme ? true : LoadTlsContext(server.TlsCertFile, server.TlsKeyFile).context != nullptr;
    const bool tlsPortFailed =
        server.TlsPort != 0 && server.TlsPort != server.uPort && !m_webServer->TlsServing() && usable;
    m_serverStarted = plain && !tlsPortFailed;
    // The challenges need the plain port: the first look at the certificate comes after it.
    if (m_acme)
        m_acme->Start();
}

void Composition::BuildAcme() {
    const CServerSettings& server = m_settings.server;
    if (server.AcmeDomains.find_first_not_of(" \t,") == std::string::npos)
        return;
    IMessageBox& box = m_app.MessageBox();
    if (!server.AcmeOn()) {
        box.Show(
            server.TlsPort == 0
                ? "AcmeDomains is set but TlsPort is 0: no certificate is ordered. Set TlsPort (443) for "
                  "HTTPS."
                : "AcmeDomains is not used while TlsCertFile or TlsKeyFile is set: HTTPS serves those files.",
            "Kestrel", MessageIcon::Exclamation);
        return;
    }
    AcmeConfig config;
    std::string error;
    if (!ParseAcmeDomains(server.AcmeDomains, config.names, error)) {
        box.Show("HTTPS on port " + std::to_string(server.TlsPort) + " is not served: AcmeDomains: " + error +
                     ". The plain port serves as before.",
                 "Kestrel", MessageIcon::Error);
        return;
    }
    config.email = server.AcmeEmail;
    config.directory = server.AcmeDirectory.empty() ? kDefaultAcmeDirectory : server.AcmeDirectory;
    config.caFile = server.AcmeCaFile;
    config.folder = AcmeFolderFor(m_app.Store().FilePath());
    m_acme = std::make_unique<AcmeKeeper>(
        std::move(config), box, m_acmeTokens,
        [this](const std::string& certFile, const std::string& keyFile, bool issued) {
            TlsContextResult pair = LoadTlsContext(certFile, keyFile);
            if (!pair.context)
                return pair.error;
            m_webServer->SetKeptTlsContext(std::move(pair.context), issued);
            return std::string();
        });
    if (std::string why = m_acme->Prepare(); !why.empty()) {
        box.Show("HTTPS on port " + std::to_string(server.TlsPort) + " is not served: " + why +
                     ". The plain port serves as before.",
                 "Kestrel", MessageIcon::Error);
        m_acme.reset();
    }
}

std::string Composition::CameraText() const {
    const int index = m_settings.image.CaptureDevice;
    if (index < 0)
        return "none";
    const auto& entries = m_capture->Catalog().Entries();
    if (static_cast<size_t>(index) >= entries.size())
        return "driver " + std::to_string(index) + " (no such camera now)";
    const DriverEntry& e = entries[static_cast<size_t>(index)];
    if (e.node.empty())
        return "test pattern";
    std::string text = "\"" + e.description + "\" (" + e.node + ")";
    if (!m_capture->Window() || !m_capture->Window()->IsConnected())
        text += ", not open yet";
    return text;
}

std::string Composition::StartLine() const {
    const CServerSettings& server = m_settings.server;
    // On one address, the address itself: the host name may well not lead there.
    const std::string host =
        server.ListenAddress.empty() ? m_app.HostName : BracketIfIpv6(server.ListenAddress);
    std::string line =
        "kestrel: serving http://" + host + ":" + std::to_string(m_webServer->BoundPort()) + "/";
    if (m_webServer->TlsServing())
        line += " and https://" + host + ":" + std::to_string(m_webServer->TlsBoundPort()) + "/";
    line += " from " + server.strRoot;
    line += "; settings " + m_app.Store().FilePath();
    line += "; camera " + CameraText();
    const BasicSettings& basic = m_settings.basic;
    line +=
        std::string("; picture password ") + (basic.PicPassUnreadable ? "unreadable (every picture refused)"
                                              : basic.PicPass.empty() ? "off"
                                                                      : "on");
    return line;
}

void Composition::BuildCapture() {
    // The capture layer, overlay holder, JPEG writer and motion detector.
    CaptureSubsystem::Host host;
    host.image = &m_settings.image;
    host.view = &m_view;
    host.messages = &m_app.MessageBox();
    host.store = &m_app.Store();
    host.motionReinit = &m_motionReinit;
    host.lastCaptureWidth = &m_lastCaptureWidth;
    host.lastCaptureHeight = &m_lastCaptureHeight;
    host.sizeClass = &m_sizeClass;
    host.owner = this;
    host.webRoot = [this] { return m_settings.server.strRoot; };
    host.picturePassword = [this] { return m_settings.basic.PicturePassword(); };
    host.viewerCount = [&hits = *m_hitTracker] { return hits.ViewerCount(); };
    host.frameSizeFor = [](int cls, int& w, int& h) {
        w = kSizeClasses[cls].width;
        h = kSizeClasses[cls].height;
    };
    host.generatePages = [this] { GeneratePages(); };
    // The frame exists before the first device is connected (window creation).
    host.switchSkin = [this] { m_frame->SwitchSkin(); };
    host.stateChanged = [this] { m_frame->RefreshCommandStates(); };
    m_capture = std::make_unique<CaptureSubsystem>(std::move(host));
}

void Composition::BuildWebServer() {
    ServerHooks hooks;
    // Picture requests compose a fresh frame; tests may put their own composer in its place.
    hooks.composeFrame = [this] {
        if (ComposeFrameHook)
            ComposeFrameHook();
        else
            m_capture->ComposeFrame();
    };
    hooks.composeStreamFrame = [this](std::vector<uint8_t>& jpeg, bool& cameraOff, int64_t& capturedUs) {
        if (ComposeStreamHook)
            return ComposeStreamHook(jpeg, cameraOff, capturedUs);
        return m_capture->Composer().ComposeToMemory(jpeg, cameraOff, capturedUs);
    };
    hooks.picturePassword = [this] { return m_settings.basic.PicturePassword(); };
    // Answered requests go to the request and viewer lists; the idle pass logs them.
    hooks.recordHit = [this](const std::shared_ptr<CRequest>& request) {
        m_hitTracker->RecordHit(request);
        m_app.RequestIdle();
    };
    hooks.touchViewer = [this](const std::string& address) {
        // The same clock as the viewer list's expiry.
        m_hitTracker->TouchViewer(address, static_cast<std::time_t>(m_app.NowMs() / 1000));
        m_app.RequestIdle();
    };
    // A closed connection lets its request be logged.
    hooks.connectionClosed = [&app = m_app] { app.RequestIdle(); };
    hooks.acmeChallenge = [tokens = m_acmeTokens](const std::string& token, std::string& answer) {
        return tokens->Find(token, answer);
    };
    m_webServer = std::make_unique<CWebServer>(m_settings.server, m_app.MessageBox(), std::move(hooks));
    // The settings file and what goes with it are never served, even from inside the web root.
    const std::string settingsFile = m_app.Store().FilePath();
    const std::string folder = settingsFile.substr(0, settingsFile.rfind('/') + 1);
    // So is the certificate folder with its keys, whatever name or link reaches its files.
    PrivateFiles privateFiles({settingsFile, settingsFile + ".bad", m_app.LockFilePath()},
                              folder.empty() ? "." : folder);
    privateFiles.folders = {AcmeFolderFor(settingsFile)};
    m_webServer->SetPrivateFiles(std::move(privateFiles));
}

void Composition::BuildFrame() {
    m_frame = std::make_unique<CMainFrame>(
        m_app, CMainFrame::Lent{m_settings, m_sizeClass, *m_capture, *m_webServer, *m_hitTracker,
                                *m_serverDialogs, [this] { GeneratePages(); }});
}

Composition::~Composition() {
    // An order under way stops first (it serves its certificates through the server).
    m_acme.reset();
    // A lookup still waiting for the directory server is given up; its reply never comes.
    m_addressLookup.reset();
    m_registrationWait.reset();
    // Settings, in the loading order; then the file is written once.
    m_settings.Save();
    SaveSettingsFile();
    // Capture callback and user data, overlay, driver.
    m_capture->Shutdown();
    // Child controls, in reverse creation order.
    m_frame->DestroyControls();
    // The server stops listening; nothing reaches the frame after this.
    m_frame->StopServer();
    m_frame.reset();
    // Connections still open are cut (their scripts are ended by their workers, waited
    // for at most 3 s); then the unlogged requests and the viewers go.
    m_webServer.reset();
    m_hitTracker->ReleaseAll();
}

void Composition::SaveSettingsFile() {
    SettingsStore& store = m_app.Store();
    if (int err = store.Save())
        m_app.MessageBox().Show("The settings could not be saved to " + store.FilePath() + ": " +
                                    ErrorText(err),
                                "Kestrel", MessageIcon::Error);
}

int Composition::OnCreate() {
    // The stored camera link picks the index before the driver list shows it.
    m_capture->FollowStoredCameraLink();
    // The window, skin and region, status controls and driver list.
    if (m_frame->OnCreate() != 0)
        return -1;
    // Capture window and driver connection.
    m_capture->CreateCaptureWindow();
    // Web root.
    if (!ValidateWebRoot())
        return -1;
    StartRetention();
    // First uptime text, then timer 1, every 30 s.
    UpdateUptimeDisplay();
    m_statusTimer = std::make_unique<QTimer>();
    m_statusTimer->setInterval(30000);
    QObject::connect(m_statusTimer.get(), &QTimer::timeout, [this] { OnTimer(1); });
    m_statusTimer->start();
    // Public address, then strServer follows it whatever the outcome (when the reply comes:
    // the server answers meanwhile).
    LookupPublicAddress();
    // Address monitor.
    if (m_settings.basic.AddrScout == 1)
        StartAddressMonitor();
    return 0;
}

void Composition::OnDestroy() {
    if (m_destroyed)
        return;
    m_destroyed = true;
    if (m_statusTimer)
        m_statusTimer->stop();
    m_frame->OnDestroy();
}

void Composition::OnTimer(int) {
    UpdateUptimeDisplay();
    PruneHitLogsOnceADay();
    m_app.RequestIdle();
}

void Composition::UpdateUptimeDisplay() {
    m_hitTracker->UpdateUptimeDisplay(m_webServer->IsListening(), m_settings.server.timeStarted);
}

bool Composition::ValidateWebRoot() {
    if (m_app.Headless())
        return PrepareHeadlessWebRoot();
    // A web root this check has just created gets the starter site.
    kestrel::ValidateWebRoot(
        m_settings.server, *m_serverDialogs, m_app.MessageBox(), [this](const std::string& root) {
            if (std::string report = StarterSiteReport(LayStarterSite(root)); !report.empty())
                m_app.MessageBox().Show(report, "Kestrel", MessageIcon::Exclamation);
        });
    return true;
}

namespace {

// mkdir -p: 0 or the errno of the first folder that could not be made.
int MakeFolderWithParents(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return errno;
        if (slash == std::string::npos)
            break;
    }
    return IsExistingFolder(path) ? 0 : ENOTDIR;
}

bool IsEmptyFolder(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return false;
    bool empty = true;
    while (dirent* e = ::readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") {
            empty = false;
            break;
        }
    ::closedir(dir);
    return empty;
}

} // namespace

bool Composition::PrepareHeadlessWebRoot() {
    const std::string root = m_settings.server.strRoot;
    bool lay = false;
    if (!PathNamesSomething(root)) {
        if (int err = MakeFolderWithParents(root)) {
            m_app.MessageBox().Show("The web root " + root + " cannot be made (" + ErrorText(err) +
                                        "); nothing is served. Make the folder, or set \"strRoot\" in " +
                                        m_app.Store().FilePath() + " to a folder this user may write.",
                                    "Kestrel", MessageIcon::Error);
            return false;
        }
        lay = true;
    } else if (!IsExistingFolder(root)) {
        m_app.MessageBox().Show("The web root " + root +
                                    " is not a folder; nothing is served. Set \"strRoot\" in " +
                                    m_app.Store().FilePath() + " to a folder.",
                                "Kestrel", MessageIcon::Error);
        return false;
    } else {
        // An empty root gets the starter site; one with files in it is never written into.
        lay = IsEmptyFolder(root);
    }
    if (lay)
        if (std::string report = StarterSiteReport(LayStarterSite(root)); !report.empty())
            m_app.MessageBox().Show(report, "Kestrel", MessageIcon::Exclamation);
    return true;
}

void Composition::StartRetention() {
    const std::time_t now = static_cast<std::time_t>(m_app.NowMs() / 1000);
    const ImageSettings& image = m_settings.image;
    m_snapshotRetention = std::make_unique<SnapshotRetention>(
        static_cast<uint64_t>(image.LogPicMaxMB) * 1024 * 1024, image.LogPicKeepDays);
    m_snapshotRetention->Scan(m_settings.server.strRoot + "/logpic", now);
    m_capture->Motion().OnSnapshotWritten([this](const std::string& path) {
        m_snapshotRetention->Added(path, static_cast<std::time_t>(m_app.NowMs() / 1000));
    });
    PruneHitLogsOnceADay();
}

void Composition::PruneHitLogsOnceADay() {
    const std::time_t now = static_cast<std::time_t>(m_app.NowMs() / 1000);
    std::tm local{};
    ::localtime_r(&now, &local);
    if (local.tm_yday == m_hitLogPruneDay)
        return;
    m_hitLogPruneDay = local.tm_yday;
    // The hit logs are written into the working folder.
    PruneHitLogs(".", m_settings.server.HitLogKeepDays, now);
}

int Composition::ServiceIdle() {
    const int result = m_hitTracker->ServiceIdle();
    m_frame->RefreshSkinPictures(); // the meter and the lamp
    return result;
}

IdlePass Composition::IdleStep() {
    const int result = ServiceIdle();
    const bool viewerDue = ArmViewerExpiry();
    if (result != 0)
        return m_hitTracker->LastIdleLogged() ? IdlePass::More : IdlePass::MoreButStuck;
    if (viewerDue)
        return IdlePass::MoreButStuck;
    if (m_hitTracker->ActivityLamp())
        return IdlePass::More;
    return IdlePass::Done;
}

bool Composition::ArmViewerExpiry() {
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

void Composition::GeneratePages() {
    PageInputs in =
        MakePageInputs(m_settings.server, m_settings.basic, m_settings.html, m_settings.urlReg,
                       m_app.PublicAddress, m_app.HostName, m_lastCaptureWidth, m_lastCaptureHeight);
    PageGenerator(m_app.MessageBox()).GeneratePages(in);
}

PublicAddressLookup Composition::MakeAddressLookup() {
    PublicAddressLookup::Hooks hooks;
    hooks.showAddress = [this](const std::string& address) { m_view.SetControlText(IDC_ADDRESS, address); };
    hooks.generatePages = [this] { GeneratePages(); };
    // UrlAutoexec: the registration dialog once the address is known. A headless run
    // never opens a dialog; it says once that registration needs one.
    hooks.openUrlRegistration = [this] {
        if (m_view.IsHeadless())
            SayRegistrationNeedsDisplay();
        else
            OpenRegistrationWhenNoDialog();
    };
    return PublicAddressLookup(m_settings.basic, m_settings.urlReg, m_app.PublicAddress, m_app.MessageBox(),
                               std::move(hooks));
}

void Composition::LookupPublicAddress() {
    PublicAddressLookup lookup = MakeAddressLookup();
    if (m_settings.basic.CGIServer.empty()) {
        // Nothing to ask: the outcome is known at once.
        FinishAddressLookup(DirectoryReply{});
        return;
    }
    // Without a display no dialog can regenerate the pages later, so a headless start
    // writes them now; a found address writes them again.
    if (m_view.IsHeadless())
        GeneratePages();
    m_addressLookup = std::make_unique<BackgroundExchange>(
        lookup.Work(), [this](DirectoryReply reply) { FinishAddressLookup(reply); });
}

void Composition::FinishAddressLookup(const DirectoryReply& reply) {
    const bool pagesWritten = MakeAddressLookup().ApplyReply(reply);
    if (!pagesWritten && m_view.IsHeadless() && m_settings.basic.CGIServer.empty())
        GeneratePages();
    m_settings.server.strServer = m_app.PublicAddress;
}

void Composition::OpenRegistrationWhenNoDialog() {
    if (!m_app.ModalOpen()) {
        m_frame->OnCommand(CmdUrlRegistration);
        return;
    }
    // The reply came while the owner answers another dialog (a start-up message, say): no
    // dialog is stacked on it; the registration opens once it is closed.
    if (!m_registrationWait) {
        m_registrationWait = std::make_unique<QTimer>();
        m_registrationWait->setInterval(300);
        QObject::connect(m_registrationWait.get(), &QTimer::timeout, [this] {
            if (IsQuitPending()) {
                m_registrationWait->stop();
            } else if (!m_app.ModalOpen()) {
                m_registrationWait->stop();
                m_frame->OnCommand(CmdUrlRegistration);
            }
        });
    }
    m_registrationWait->start();
}

bool Composition::AddressLookupPending() const {
    return m_addressLookup && m_addressLookup->Pending();
}

void Composition::OnHostLookupReply(int errorCode, const std::string& firstAddress) {
    MakeAddressLookup().OnHostLookupReply(errorCode, firstAddress, m_app.HostName);
}

void Composition::StartAddressMonitor() {
    // The monitor is looked for beside the program, not in the current folder, where
    // anyone could leave a file of that name. Its absence is not reported.
    const std::string program = ProgramFolder() + "/addrscout";
    if (IsExecutableFile(program))
        SpawnDetached(program);
}

} // namespace kestrel
