#pragma once

#include "capture/CaptureDevice.h"

#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// Shows a driver's own dialog: the settings to edit, changed in place. True on OK.
class ICaptureDialogs {
public:
    virtual ~ICaptureDialogs() = default;
    virtual bool EditSettings(const std::string& title, std::vector<DeviceSetting>& settings) = 0;
};

// Without a display a driver dialog cannot be shown: it is cancelled at once.
class HeadlessCaptureDialogs final : public ICaptureDialogs {
public:
    bool EditSettings(const std::string&, std::vector<DeviceSetting>&) override { return false; }
};

// The dialogs the capture layer uses. The widget front end installs its own; without that
// the headless ones answer.
ICaptureDialogs& CaptureDialogs();
void InstallCaptureDialogs(std::unique_ptr<ICaptureDialogs> dialogs);

} // namespace kestrel
