#pragma once

#include "app/IdleScheduler.h"
#include "app/SettingsRecords.h"

#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

class AcmeChallengeTokens;
class AcmeKeeper;
class BackgroundExchange;
struct DirectoryReply;
class CMainApp;
class CMainFrame;
class CaptureSubsystem;
class CHitTracker;
class CWebServer;
class IMainView;
class IServerDialogs;
class PublicAddressLookup;
class SnapshotRetention;

// The composition root: builds the settings records, the subsystems and the main frame,
// binds every subsystem's callbacks to the object that answers them, and runs the start
// and stop sequences.
//
// Start: the constructor loads the records (URL registration, server, image, basic,
// HTML), builds the parts and starts the server, so the server listens before the window
// exists; OnCreate then creates the window and brings the rest up. Stop: OnDestroy stops
// the status timer and releases the skin; the destructor saves the records in the load
// order, shuts capture down, removes the status controls, stops the server and releases
// the requests still waiting, unlogged.
class Composition {
public:
    explicit Composition(CMainApp& app);
    ~Composition();
    Composition(const Composition&) = delete;
    Composition& operator=(const Composition&) = delete;

    // Window creation: the frame's window, skin, controls and driver list; the capture
    // window; the web root check; the uptime text and its timer; the public address
    // lookup; the address monitor. 0, or -1 when the window cannot be created (nothing
    // after that runs).
    int OnCreate();
    // Window destruction: stops the status timer and releases the skin.
    void OnDestroy();
    // Any timer: the uptime display.
    void OnTimer(int timerId);
    void UpdateUptimeDisplay();

    // Idle housekeeping; nonzero when more idle work is pending.
    int ServiceIdle();
    // One idle pass as the scheduler runs it: ServiceIdle, then what comes next. Passes
    // go on while requests wait, while a viewer is already due to leave, and once more
    // after a pass that lit the activity lamp, so the lamp goes dark; the viewer timer is
    // set for the moment the oldest viewer can leave.
    IdlePass IdleStep();
    // A viewer can leave once more than kViewerTimeout whole seconds have passed since its
    // last request: from its last request's second + 16 s on.
    static constexpr int kViewerLeaveSeconds = 16;

    // Rewrites every viewer page and "kestrel.dat" from the templates in the web root.
    void GeneratePages();
    // The reply of an asynchronous host-name lookup (nothing starts one at present):
    // `errorCode` 0 with the first address found, or the resolver's error code.
    void OnHostLookupReply(int errorCode, const std::string& firstAddress);

    // Whether the start-up public address lookup is still waiting for the directory server.
    bool AddressLookupPending() const;

    // Whether the server listened when the composition was built.
    bool ServerStarted() const { return m_serverStarted; }
    // The one line said at a good start: settings file, web root, address, camera and
    // whether pictures need a password.
    std::string StartLine() const;
    // The chosen camera for the owner: "none", "test pattern", or its name and device file.
    std::string CameraText() const;

    CMainFrame& Frame() { return *m_frame; }
    SettingsRecords& Settings() { return m_settings; }
    CaptureSubsystem& Capture() { return *m_capture; }
    CWebServer& WebServer() { return *m_webServer; }
    CHitTracker& HitTracker() { return *m_hitTracker; }

    // Tests: compose the pictures of a picture request ("frame.jpg", "framei.jpg") or of
    // the live stream in place of the capture subsystem.
    std::function<void()> ComposeFrameHook;
    std::function<bool(std::vector<uint8_t>&, bool&, int64_t&)> ComposeStreamHook;

private:
    void BuildCapture();
    void BuildWebServer();
    // The certificate keeper of AcmeDomains, when it is used; it hands the server the
    // certificate to serve.
    void BuildAcme();
    void BuildFrame();
    // The web root check of window creation; false when a headless start cannot have its root.
    bool ValidateWebRoot();
    // Headless: the stored root is kept, made with its parents when missing, and gets the
    // starter site when it was made or is empty. False (said) when it cannot be made.
    bool PrepareHeadlessWebRoot();
    // Snapshot and hit-log retention: one scan at start, then the running total.
    void StartRetention();
    void PruneHitLogsOnceADay();
    // Starts the public address lookup on a thread of its own; its reply is applied by
    // FinishAddressLookup on this thread when it comes.
    void LookupPublicAddress();
    // The lookup's reply taken (address line, IPAddr, pages, URL registration), then
    // strServer := PublicAddress whatever the outcome.
    void FinishAddressLookup(const DirectoryReply& reply);
    // UrlAutoexec with a display: the registration command now, or once no dialog is open.
    void OpenRegistrationWhenNoDialog();
    void StartAddressMonitor();
    void SaveSettingsFile();
    // Sets the viewer timer for the oldest viewer's leaving; true when it is due already.
    bool ArmViewerExpiry();
    // The public address lookup, wired to the address line, the page generation and the
    // URL registration command.
    PublicAddressLookup MakeAddressLookup();

    CMainApp& m_app;
    IMainView& m_view;
    SettingsRecords m_settings;
    // Window size class: the capture subsystem sets it, the skin is drawn for it.
    int m_sizeClass;
    // Frame size the driver last reported (the pages and camera-off pictures follow it).
    unsigned m_lastCaptureWidth = 0;
    unsigned m_lastCaptureHeight = 0;
    int m_motionReinit = 0;
    std::unique_ptr<IServerDialogs> m_serverDialogs;
    std::unique_ptr<CHitTracker> m_hitTracker;
    std::unique_ptr<CaptureSubsystem> m_capture;
    std::unique_ptr<CWebServer> m_webServer;
    std::shared_ptr<AcmeChallengeTokens> m_acmeTokens;
    std::unique_ptr<AcmeKeeper> m_acme;
    std::unique_ptr<QTimer> m_statusTimer;
    std::unique_ptr<SnapshotRetention> m_snapshotRetention;
    // The start-up lookup while it runs and after (its reply is delivered once).
    std::unique_ptr<BackgroundExchange> m_addressLookup;
    std::unique_ptr<QTimer> m_registrationWait; // UrlAutoexec waiting for a dialog to close
    int m_hitLogPruneDay = -1;                  // the day of year hit logs were last pruned
    int64_t m_viewerDueMs = -1;                 // the moment the viewer timer is set for
    bool m_destroyed = false;
    bool m_serverStarted = false;
    // Holds references to every part above; the stop sequence ends it first.
    std::unique_ptr<CMainFrame> m_frame;
};

} // namespace kestrel
