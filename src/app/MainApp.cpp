#include "app/MainApp.h"

#include "app/CommandIds.h"
#include "app/Composition.h"
#include "app/MainFrame.h"
#include "app/SettingsDialogs.h"
#include "model/QuitState.h"
#include "model/Settings.h"
#include "model/SettingsKey.h"
#include "model/SettingsProblems.h"
#include "platform/Paths.h"
#include "platform/Privileges.h"

#include <QCoreApplication>

#include <cctype>
#include <chrono>
#include <fstream>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace kestrel {

CMainApp::CMainApp(AppEnvironment env) : m_env(std::move(env)) {
    // A new application starts with no quit pending.
    SetQuitPending(false);
    if (!m_env.configFolder.empty())
        m_configFolder = m_env.configFolder;
    else if (!m_env.settingsFile.empty())
        m_configFolder = m_env.settingsFile.substr(0, m_env.settingsFile.rfind('/') + 1);
    else
        m_configFolder = ConfigFolder();
    while (m_configFolder.size() > 1 && m_configFolder.back() == '/')
        m_configFolder.pop_back();
    m_messageBox = m_env.messageBox ? std::move(m_env.messageBox) : std::make_unique<HeadlessMessageBox>();
    auto timer = m_env.idleTimer ? std::move(m_env.idleTimer) : MakeQtIdleTimer();
    m_idle = std::make_unique<IdleScheduler>(
        std::move(timer), [this] { return m_parts ? m_parts->IdleStep() : IdlePass::Done; });
    m_viewerTimer = m_env.viewerTimer ? std::move(m_env.viewerTimer) : MakeQtIdleTimer();
    m_viewerTimer->SetCallback([this] { RequestIdle(); });
}

int64_t CMainApp::NowMs() const {
    if (m_env.clockMs)
        return m_env.clockMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

CMainApp::~CMainApp() {
    ExitMainFrame();
}

std::string CMainApp::HelpPathFor(const std::string& programPath) {
    auto slash = programPath.rfind('/');
    std::string name = slash == std::string::npos ? programPath : programPath.substr(slash + 1);
    auto dot = name.rfind('.');
    if (dot != std::string::npos && name.size() - dot - 1 == 3)
        return programPath.substr(0, programPath.size() - 3) + "chm";
    return programPath + ".chm";
}

std::string CMainApp::FindHostName(const std::function<int(char*, size_t)>& hostNameSource,
                                   const std::function<std::string()>& computerNameSource) {
    char buf[256] = {};
    if (hostNameSource(buf, 255) == 0) {
        buf[255] = '\0';
        return buf;
    }
    std::string name = computerNameSource().substr(0, 15);
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

bool CMainApp::SocketLayerAvailable() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool CMainApp::InitInstance() {
    // Any way out but a second copy is a failed start.
    m_exitCode = 1;
    VersionText = kVersionText;

    // Another copy holds the lock: do not disturb it. Headless, this copy would serve
    // nothing, so it says who holds the file and fails; with a display it leaves quietly.
    if (!m_lock.Acquire(LockFilePath())) {
        if (!m_lock.HeldElsewhere())
            std::fprintf(stderr, "kestrel: cannot open the instance lock %s: %s\n", LockFilePath().c_str(),
                         ErrorText(m_lock.Error()).c_str());
        else if (m_env.headless)
            std::fputs(SecondCopyMessage(SettingsFilePath(), LockFilePath(),
                                         InstanceLock::HolderPid(LockFilePath()))
                           .c_str(),
                       stderr);
        else
            m_exitCode = 0;
        return false;
    }

    HelpFilePath = HelpPathFor(ProgramPath());

    if (!SocketLayerAvailable()) {
        m_messageBox->Show(kSocketFailureMessage, "Kestrel", MessageIcon::Exclamation);
        return false;
    }

    auto hostSource =
        m_env.hostNameSource ? m_env.hostNameSource : [](char* b, size_t n) { return ::gethostname(b, n); };
    auto computerSource = m_env.computerNameSource ? m_env.computerNameSource : [] {
        struct utsname u {};
        return ::uname(&u) == 0 ? std::string(u.nodename) : std::string("localhost");
    };
    HostName = FindHostName(hostSource, computerSource);

    m_store.SetFilePath(SettingsFilePath());
    const bool settingsFileExisted = PathNamesSomething(m_store.FilePath());
    if (!m_store.Load())
        m_messageBox->Show(m_store.DamageReport(), "Kestrel", MessageIcon::Exclamation);
    // Each line of the program's keys that cannot be read, once.
    for (const UnreadableLine& line : m_store.Unreadable())
        if (IsProgramKey(line.keyPath))
            std::fprintf(stderr, "kestrel: settings file %s, %s\n", m_store.FilePath().c_str(),
                         UnreadableLineText(line).c_str());
    ChooseFirstStartPort(settingsFileExisted);
    // The starter settings of a first start cap the snapshots; an existing file without the
    // value reads 0 (no limit), so an upgrade never deletes an owner's snapshots.
    if (!settingsFileExisted) {
        CSettingsKey key(m_store);
        uint32_t limit = 0;
        if (key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath) == ERROR_SUCCESS &&
            key.QueryDword("LogPicMaxMB", limit) != ERROR_SUCCESS)
            key.SetDword("LogPicMaxMB", kFirstStartSnapshotLimitMB);
    }

    m_view = m_env.makeView ? m_env.makeView() : nullptr;
    if (!m_view)
        return false;
    m_parts = std::make_unique<Composition>(*this);
    // Headless, a server that cannot listen serves nothing: the start fails, so a service
    // manager sees it. With a display the owner can change the port and start it again.
    if (m_env.headless && !m_parts->ServerStarted()) {
        std::fprintf(stderr, "kestrel: nothing can be served; exiting with status 1 (settings file %s)\n",
                     m_store.FilePath().c_str());
        m_parts.reset();
        return false;
    }
    if (m_parts->OnCreate() != 0) {
        m_parts.reset();
        return false;
    }
    std::fprintf(stderr, "%s\n", m_parts->StartLine().c_str());
    m_view->ShowFrame();
    // The first idle pass runs once the start-up events are handled.
    RequestIdle();
    m_exitCode = 0;
    return true;
}

std::string CMainApp::SecondCopyMessage(const std::string& settingsFile, const std::string& lockFile,
                                        pid_t holder) {
    const std::string who = holder > 0 ? "process " + std::to_string(holder) : std::string("another process");
    return "kestrel: the settings file " + settingsFile + " is in use by " + who + " (it holds " + lockFile +
           "); this copy serves nothing and exits. Stop that copy first, or give this one its own file "
           "with --settings FILE.\n";
}

std::string CMainApp::SettingsFilePath() const {
    return m_env.settingsFile.empty() ? m_configFolder + "/Kestrels.reg" : m_env.settingsFile;
}

std::string CMainApp::LockFilePath() const {
    return m_env.settingsFile.empty() ? m_configFolder + "/" + kInstanceMutexName + ".lock"
                                      : m_env.settingsFile + ".lock";
}

bool CMainApp::UseUnprivilegedPortOnFirstStart(SettingsStore& store, bool settingsFileExisted,
                                               bool mayListenBelow1024) {
    if (settingsFileExisted || mayListenBelow1024)
        return false;
    CSettingsKey key(store);
    if (key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath) != ERROR_SUCCESS)
        return false;
    uint32_t port = 0;
    if (key.QueryDword("uPort", port) == ERROR_SUCCESS)
        return false;
    key.SetDword("uPort", kUnprivilegedPort);
    return true;
}

void CMainApp::ChooseFirstStartPort(bool settingsFileExisted) {
    const bool mayListen = m_env.mayListenBelow1024 ? m_env.mayListenBelow1024() : MayListenBelow1024();
    if (!UseUnprivilegedPortOnFirstStart(m_store, settingsFileExisted, mayListen))
        return;
    m_messageBox->Show("This user may not serve on port 80, so the site is served on port " +
                           std::to_string(kUnprivilegedPort) + ". The port is kept in the settings file " +
                           m_store.FilePath() + " (value \"uPort\").",
                       "Kestrel", MessageIcon::Information);
}

CMainFrame* CMainApp::MainFrame() const {
    return m_parts ? &m_parts->Frame() : nullptr;
}

void CMainApp::ShowAbout() {
    if (m_parts && !IsQuitPending())
        m_parts->Frame().SettingsDialogs().ShowAbout(VersionText);
}

bool CMainApp::OnIdle(long) {
    if (!m_parts)
        return false;
    return m_parts->ServiceIdle() != 0;
}

void CMainApp::RequestIdle() {
    if (m_parts && !m_exited)
        m_idle->Arm();
}

void CMainApp::RequestQuit() {
    SetQuitPending(true);
    if (m_quitHook) {
        m_quitHook();
        return;
    }
    // Never close the frame inside the handler that asked: it may be one of the frame's own.
    QMetaObject::invokeMethod(
        &m_deferred,
        [this] {
            if (m_view && !m_exited)
                m_view->CloseFrame();
        },
        Qt::QueuedConnection);
}

void CMainApp::ExitMainFrame() {
    if (m_exited)
        return;
    m_exited = true;
    if (m_parts) {
        m_parts->OnDestroy();
        m_parts.reset();
    }
}

} // namespace kestrel
