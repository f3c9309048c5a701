#pragma once

namespace kestrel {

class CMainApp;

// The one way the program quits, for the exit command and the termination signals alike:
// marks the quit pending, closes the open popup and the modal dialogs innermost first
// (rejected, as Cancel), then closes the main frame from the top-level event loop.
void RequestQuit(CMainApp& app);
// Called once the program's own event loop runs. Before that a quit can only arrive inside
// a message box shown during start-up, whose loop is the only one.
void MarkMainLoopRunning();
// Whether a modal dialog or a popup menu is open.
bool ModalOrPopupOpen();

} // namespace kestrel
