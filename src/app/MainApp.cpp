#include "app/MainApp.h"

#include "app/CommandIds.h"
#include "app/MainFrame.h"
#include "app/QuitState.h"
#include "platform/Paths.h"

#include <QCoreApplication>

#include <cctype>
#include <fstream>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace kestrel {

CMainApp::CMainApp(AppEnvironment env) : m_env(std::move(env)) {
    // A new application starts with no quit pending.
    SetQuitPending(false);
    m_configFolder = m_env.configFolder.empty() ? ConfigFolder() : m_env.configFolder;
    m_messageBox = m_env.messageBox ? std::move(m_env.messageBox) : std::make_unique<HeadlessMessageBox>();
    auto timer = m_env.idleTimer ? std::move(m_env.idleTimer) : MakeQtIdleTimer();
    m_idle = std::make_unique<IdleScheduler>(std::move(timer), [this] {
        bool more = OnIdle(0);
        if (!more)
            return IdlePass::Done;
        return m_frame && !m_frame->LastIdleLoggedSomething() ? IdlePass::MoreButStuck : IdlePass::More;
    });
}

CMainApp::~CMainApp() { ExitMainFrame(); }

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
    VersionText = "Version 2.10";

    // Another copy holds the lock: leave silently and do not disturb it.
    if (!m_lock.Acquire(m_configFolder + "/" + kInstanceMutexName + ".lock")) {
        if (!m_lock.HeldElsewhere())
            std::fprintf(stderr, "kestrel: cannot open the instance lock in %s: %s\n", m_configFolder.c_str(),
                         ErrorText(m_lock.Error()).c_str());
        else
            m_exitCode = 0;
        return false;
    }

    HelpFilePath = HelpPathFor(ProgramPath());

    if (!SocketLayerAvailable()) {
        m_messageBox->Show(kSocketFailureMessage, "Kestrel", MessageIcon::Exclamation);
        return false;
    }

    auto hostSource = m_env.hostNameSource ? m_env.hostNameSource
                                           : [](char* b, size_t n) { return ::gethostname(b, n); };
    auto computerSource = m_env.computerNameSource ? m_env.computerNameSource : [] {
        struct utsname u {};
        return ::uname(&u) == 0 ? std::string(u.nodename) : std::string("localhost");
    };
    HostName = FindHostName(hostSource, computerSource);

    m_store.SetFilePath(m_configFolder + "/Kestrels.reg");
    if (!m_store.Load())
        m_messageBox->Show(m_store.DamageReport(), "Kestrel", MessageIcon::Exclamation);

    m_view = m_env.makeView ? m_env.makeView() : nullptr;
    if (!m_view)
        return false;
    m_frame = std::make_unique<CMainFrame>(*this);
    if (m_frame->OnCreate() != 0) {
        m_frame.reset();
        return false;
    }
    m_view->ShowFrame();
    // The first idle pass runs once the start-up events are handled.
    RequestIdle();
    m_exitCode = 0;
    return true;
}

bool CMainApp::OnIdle(long) {
    if (!m_frame)
        return false;
    return m_frame->ServiceIdle() != 0;
}

void CMainApp::RequestIdle() {
    if (m_frame && !m_exited)
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

void CMainApp::ShowAbout() {
    ReportCommandNotAvailable(CmdAbout);
}

void CMainApp::ExitMainFrame() {
    if (m_exited)
        return;
    m_exited = true;
    if (m_frame) {
        m_frame->OnDestroy();
        m_frame.reset();
    }
}

} // namespace kestrel
