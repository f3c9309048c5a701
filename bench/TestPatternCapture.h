#pragma once

// The capture subsystem on the built-in test pattern, set up the way the main frame does
// it but without a window, for the benchmarks that compose real frames.

#include "app/HeadlessView.h"
#include "capture/CaptureSubsystem.h"
#include "capture/TestPattern.h"
#include "model/Settings.h"

#include <memory>
#include <string>

namespace kestrel {

struct TestPatternCapture {
    ImageSettings image;
    HeadlessMainView view;
    HeadlessMessageBox box{stderr};
    int reinit = 0, sizeClass = -99;
    unsigned lastW = 0, lastH = 0;
    std::unique_ptr<CaptureSubsystem> capture;

    // Two captions: the date and time at the top left, the viewer count at the bottom.
    TestPatternCapture() {
        image.CaptureDevice = 0;
        for (int i = 0; i < 2; ++i) {
            Caption& c = image.captions[static_cast<size_t>(i)];
            c.Enabled = 1;
            c.HPosType = i == 0 ? 0 : 2;
            c.VPosType = i == 0 ? 0 : 2;
            c.BackType = i;
            c.Text = i == 0 ? "%Y/%m/%d %H:%M:%S" : "viewers %G";
        }
    }

    // Connects the test pattern at w x h, writing pictures into `root`. Call once the
    // image settings are final.
    void Connect(const std::string& root, int w, int h, int viewers) {
        view.CreateFrame(444, 349);
        view.CreateControl(IDC_PREVIEW_PLACEHOLDER, {166, 151, 206, 191}, 0);
        CaptureSubsystem::Host host;
        host.image = &image;
        host.view = &view;
        host.messages = &box;
        host.motionReinit = &reinit;
        host.lastCaptureWidth = &lastW;
        host.lastCaptureHeight = &lastH;
        host.sizeClass = &sizeClass;
        host.owner = this;
        host.webRoot = [root] { return root; };
        host.picturePassword = [] { return std::string(); };
        host.viewerCount = [viewers] { return viewers; };
        capture = std::make_unique<CaptureSubsystem>(host, [] { return std::vector<DriverEntry>{}; });
        std::string name;
        capture->DriverDescription(0, name);
        capture->CreateCaptureWindow();
        static_cast<TestPatternDevice*>(capture->Window()->Device())->SetFormat(w, h, 24);
    }
};

} // namespace kestrel
