#pragma once

#include "capture/CaptureDialogs.h"

namespace kestrel {

// The drivers' source and format dialogs as widgets: one row per setting (a list for a
// choice, a slider for a range, a check box for on/off), OK and Cancel.
class WidgetCaptureDialogs final : public ICaptureDialogs {
public:
    bool EditSettings(const std::string& title, std::vector<DeviceSetting>& settings) override;
};

// Makes the capture layer use the widget dialogs (call once a display is known to exist).
void InstallWidgetCaptureDialogs();

} // namespace kestrel
