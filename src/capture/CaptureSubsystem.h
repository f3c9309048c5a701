#pragma once

#include "capture/CaptureView.h"
#include "capture/CaptureWindow.h"
#include "capture/FrameComposer.h"
#include "capture/JpegWriter.h"
#include "capture/MotionDetector.h"
#include "model/Settings.h"

#include <functional>
#include <memory>
#include <string>

namespace kestrel {

constexpr const char* kCannotOpenDeviceMessage = "\xE3\x82\xAD\xE3\x83\xA3\xE3\x83\x97\xE3\x83\x81\xE3\x83"
                                                 "\xA3\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9"
                                                 "\xE3\x81\x8C\xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x97\xE3\x83"
                                                 "\xB3\xE3\x81\xA7\xE3\x81\x8D\xE3\x81\xBE\xE3\x81\x9B"
                                                 "\xE3\x82\x93"; // キャプチャデバイスがオープンできません
constexpr int kCaptureWindowWidth = 160, kCaptureWindowHeight = 120;

// Window size class for a frame size: 0 up to 176 x 144, 2 above 320 x 240, else 1.
int SizeClassFor(int width, int height);
// What the owner is told when the overlay picture has a side above kMaxBmpDimension.
std::string OverlayTooLargeMessage(const std::string& path);
// Milliseconds per preview frame for CapFPS 0 and 1; 0 for other values (nothing is set).
int PreviewPeriodFor(uint32_t capFps);

// Everything the main frame owns for pictures: the driver list, the capture window, the
// overlay, the JPEG writer, frame composition and the motion detector.
class CaptureSubsystem {
public:
    // What the main frame lends.
    struct Host {
        ImageSettings* image = nullptr;
        ICaptureView* view = nullptr;
        IMessageBox* messages = nullptr;
        SettingsStore* store = nullptr;
        int* motionReinit = nullptr;
        unsigned* lastCaptureWidth = nullptr;
        unsigned* lastCaptureHeight = nullptr;
        int* sizeClass = nullptr;
        void* owner = nullptr; // the capture window's user data
        std::function<std::string()> webRoot;
        std::function<std::string()> picturePassword;
        std::function<int()> viewerCount;
        std::function<void()> generatePages;
        // The skin switch, run when the window size class changes (the class is set first).
        std::function<void()> switchSkin;
        // Preview, device or driver capabilities may have changed what the skin shows.
        std::function<void()> stateChanged;
        // Main window size for each size class.
        std::function<void(int sizeClass, int& width, int& height)> frameSizeFor;
    };

    explicit CaptureSubsystem(Host host, DriverCatalog::Source cameras = {});
    ~CaptureSubsystem();
    CaptureSubsystem(const CaptureSubsystem&) = delete;
    CaptureSubsystem& operator=(const CaptureSubsystem&) = delete;

    // The driver list's description source: lists the drivers afresh at index 0.
    bool DriverDescription(int index, std::string& name);
    // Before the driver list is filled: a stored camera link that names a capture device
    // now wins over the stored index, which follows it; otherwise the index is used as it
    // is, and a line says so.
    void FollowStoredCameraLink();
    void CreateCaptureWindow();
    void SelectCaptureDevice(int index);
    // The driver list's choice (its position; item 0 is "No Driver Selected").
    void OnDriverListChosen(int position);
    void TogglePreview();
    void OnVideoSource();
    void OnVideoFormat();
    void OnVideoDisplay();
    DriverCaps Caps() const;
    // CapFPS changed (image settings).
    void ApplyPreviewRate();
    // Follows UseOverlay: off drops the held overlay; on keeps a held one (a new path
    // takes effect after off and on) and otherwise reads OverlayBmp. "" or the reason a
    // needed overlay could not be read; nothing is held then.
    std::string LoadOverlay();
    // MotionQuality changed (image settings): only the detector's ratio follows.
    void ApplyMotionQuality();
    void ComposeFrame();
    // Destruction steps: callback and user data cleared, overlay freed, driver disconnected.
    void Shutdown();

    CCaptureWindow* Window() const { return m_window.get(); }
    DriverCatalog& Catalog() { return m_catalog; }
    MotionWatch& Motion() { return m_motion; }
    JpegWriter& Jpeg() { return m_jpeg; }
    FrameComposer& Composer() { return m_composer; }
    const CDib* Overlay() const { return m_overlay.get(); }

private:
    // A driver waited for since the start has connected: size, skin, preview and pages
    // follow it. A camera that came back: the motion detector starts afresh, and when its
    // frames have another size the steps of a format change follow.
    void OnReconnected();
    // The link driver `index` is stored by ("" for none).
    std::string StableLinkOf(int index) const;
    // Whether `link` leads to the device file of driver `index`.
    bool LinkNamesDriver(const std::string& link, int index) const;
    // Says on standard error that the camera was lost or delivers again.
    void SayDelivery(bool delivering);
    void ReadStatusAndResize();
    void ConnectDevice(int index);
    void NotifyStateChanged();
    void ApplySizeClass(int width, int height);

    Host m_host;
    DriverCatalog m_catalog;
    std::unique_ptr<CCaptureWindow> m_window;
    std::unique_ptr<CDib> m_overlay;
    DibProblem m_overlayProblem = DibProblem::None; // why the last overlay read gave no picture
    JpegWriter m_jpeg;
    MotionWatch m_motion;
    FrameComposer m_composer;
    bool m_shutDown = false;
    // The stored camera could not be opened at start and is being waited for.
    bool m_waitingAtStart = false;
};

} // namespace kestrel
