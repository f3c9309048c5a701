#pragma once

namespace kestrel {

class HelpViewer;
class MainWindow;

// Gives the help viewer what only the widgets know: the status controls above the widget
// under the pointer, and ending grabs and popups before the browser comes up.
void InstallWidgetHelp(HelpViewer& help, MainWindow& window);

} // namespace kestrel
