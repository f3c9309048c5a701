// The main frame's command router: one entry for the skin, the tray menu and the help
// keys, one enable rule, and the rule that drops commands while a dialog or a quit is
// under way.

#include "app/CommandIds.h"
#include "app/HelpViewer.h"
#include "app/MainApp.h"
#include "app/MainFrame.h"
#include "capture/CaptureSubsystem.h"
#include "model/QuitState.h"

#include <cstdio>

namespace kestrel {

void ReportCommandNotAvailable(int id) {
    std::fprintf(stderr, "kestrel: command %d is not available yet\n", id);
}

bool CMainFrame::IsCommandEnabled(int id) const {
    switch (id) {
    case CmdVideoSource:
        return m_capture.Caps().hasSourceDialog;
    case CmdVideoFormat:
        return m_capture.Caps().hasFormatDialog;
    case CmdVideoDisplay:
        return m_capture.Caps().hasDisplayDialog;
    default:
        return true;
    }
}

void CMainFrame::PostCommand(int id) {
    // A command already waiting in the queue is not queued again: two clicks or menu
    // choices in one batch run it once, whether or not the dialog it opens delivers the
    // second inside its own loop (where the drop rule would take it).
    if (!m_queuedCommands.insert(id).second)
        return;
    QMetaObject::invokeMethod(
        m_commandQueue.get(),
        [this, id] {
            m_queuedCommands.erase(id);
            OnCommand(id);
        },
        Qt::QueuedConnection);
}

void CMainFrame::OnCommand(int id) {
    // The skin's minimise button sends the system command through the same door.
    if ((id & 0xFFF0) == kSysMinimize) {
        OnSysCommand(id);
        return;
    }
    // Exit always goes through; anything else arriving inside a dialog's loop, a popup's
    // loop or after the quit began would run where it does not belong.
    if (id != CmdExit && (IsQuitPending() || m_app.ModalOpen()))
        return;
    if (!IsCommandEnabled(id))
        return;
    switch (id) {
    case CmdStart:
        StartServer();
        break;
    case CmdStop:
        StopServer();
        break;
    case CmdServerSettings:
        OnServerProperties();
        break;
    case CmdBasicSettings:
        OpenBasicSettings();
        break;
    case CmdImageSettings:
        OpenImageSettings();
        break;
    case CmdUrlRegistration:
        OpenUrlRegistration();
        break;
    case CmdHtmlSettings:
        OpenHtmlSettings();
        break;
    case CmdPreview:
        m_capture.TogglePreview();
        break;
    case CmdVideoSource:
        m_capture.OnVideoSource();
        break;
    case CmdVideoFormat:
        m_capture.OnVideoFormat();
        break;
    case CmdVideoDisplay:
        m_capture.OnVideoDisplay();
        break;
    case CmdAbout:
        m_app.ShowAbout();
        break;
    case CmdExit:
        m_app.RequestQuit();
        break;
    case CmdHelpIndex:
    case CmdHelpFinder:
    case CmdHelpUsing:
    case CmdContextHelp:
    case CmdHelp:
    case CmdDefaultHelp:
        m_help->OnHelpCommand(id);
        break;
    default:
        break;
    }
}

void CMainFrame::OnSysCommand(int id) {
    if ((id & 0xFFF0) != kSysMinimize)
        return;
    if (IsQuitPending() || m_app.ModalOpen())
        return;
    if (MinimizeHook)
        MinimizeHook();
}

} // namespace kestrel
