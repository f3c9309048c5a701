#pragma once

namespace kestrel {

// The numbered commands the skin's buttons and rows, the tray menu and the help keys send.
enum CommandId : int {
    CmdUrlRegistration = 32771,
    CmdBasicSettings = 32772,
    CmdHtmlSettings = 32773,
    CmdServerSettings = 32776,
    CmdStop = 32788,
    CmdStart = 32789,
    CmdVideoSource = 60000,
    CmdVideoFormat = 60001,
    CmdVideoDisplay = 60002,
    CmdImageSettings = 60004,
    CmdPreview = 1001,
    CmdAbout = 57664,
    CmdExit = 57665,
    CmdHelpIndex = 57666,
    CmdHelpFinder = 57667,
    CmdHelpUsing = 57668,
    CmdContextHelp = 57669,
    CmdHelp = 57670,
    CmdDefaultHelp = 57671,
};

// The system command that minimises the window (its low four bits are ignored).
constexpr int kSysMinimize = 0xF020;

// Writes "kestrel: command <id> is not available yet" to standard error.
void ReportCommandNotAvailable(int id);

} // namespace kestrel
