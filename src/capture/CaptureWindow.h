#pragma once

#include "capture/CaptureDevice.h"
#include "capture/CaptureDialogs.h"
#include "capture/CaptureView.h"

#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace kestrel {

// The capture "window": the core object through which every capture operation goes. Its
// methods are the capture window's messages; it owns the connected driver, runs the
// preview at the preview period (shown through the view when there is a display) and
// calls the per-frame callback for every preview frame.
class CCaptureWindow {
public:
    using FrameCallback = std::function<int(CCaptureWindow& window)>;
    static constexpr std::chrono::milliseconds kReconnectInterval{1000};

    // `view` shows the preview; may be null (nothing is shown).
    CCaptureWindow(DriverCatalog& catalog, ICaptureView* view);
    ~CCaptureWindow();
    CCaptureWindow(const CCaptureWindow&) = delete;
    CCaptureWindow& operator=(const CCaptureWindow&) = delete;

    void SetCallbackFrame(FrameCallback callback) { m_callback = std::move(callback); }
    void SetUserData(void* data) { m_userData = data; }
    void* GetUserData() const { return m_userData; }

    // Connects driver `index` of the catalog's listing; false when it cannot be opened.
    bool DriverConnect(int index);
    void DriverDisconnect();
    bool IsConnected() const { return m_device != nullptr; }
    DriverCaps DriverGetCaps() const;
    // The frame size of the connected driver; false when none is connected.
    bool GetStatus(int& width, int& height) const;

    void SetPreview(bool on);
    bool PreviewOn() const { return m_preview; }
    void SetPreviewRate(int milliseconds);
    int PreviewRate() const { return m_previewRate; }

    // Grabs one frame without stopping the preview (never calls the per-frame callback).
    // False when no driver is connected or it delivers nothing; the last frame is then
    // forgotten, so nothing stale is saved.
    bool GrabFrameNoStop();
    // Writes the last grabbed frame as a bottom-up BMP in the driver's pixel format,
    // through a temporary file renamed over `path`. False when there is no frame or the
    // write failed (the old file then stays).
    bool FileSaveDib(const std::string& path);
    // The last grabbed frame as BMP file bytes (the in-memory form of FileSaveDib).
    bool SaveDibToMemory(std::vector<uint8_t>& bmp) const;
    const DibBuffer& LastFrame() const { return m_lastFrame; }

    // The driver's dialogs; true when the owner confirmed a change.
    bool DlgVideoFormat();
    bool DlgVideoSource();
    bool DlgVideoDisplay();

    // Position and size of the preview in the main window's client area.
    void SetGeometry(const Rect& rect);
    Rect Geometry() const { return m_geometry; }

    // One preview step: takes the newest frame when it was not taken before, shows it and
    // calls the per-frame callback. It runs at the preview period and, for a device whose
    // frames arrive by themselves, as soon as a frame has arrived: each frame is handed to
    // the callback once, and never more often than frames arrive.
    void PreviewTick();
    // The frame the running per-frame callback is called for (null outside the callback).
    const DibBuffer* CallbackFrame() const { return m_callbackFrame; }
    // Called (on this thread, from the preview tick or a grab) after a device that had
    // stopped delivering was found again and reconnected; GetStatus then gives the frame
    // size it came back with.
    void OnReconnected(std::function<void()> handler) { m_onReconnected = std::move(handler); }
    // Called (on this thread) when the connected device stops delivering pictures (false)
    // and when it delivers again (true); once per change.
    void OnDeliveryChanged(std::function<void(bool)> handler) { m_onDeliveryChanged = std::move(handler); }
    // Keeps trying to connect driver `index` (a camera absent or busy when the program
    // started) at the reconnection period, until it connects or another driver is chosen.
    // OnReconnected is called when it connects.
    void ConnectWhenAvailable(int index);
    bool WaitingForDriver() const { return m_pendingIndex >= 0; }
    // Reconnection attempts of devices without a capture thread of their own happen at
    // most this often (tests shorten it).
    void SetReconnectInterval(std::chrono::milliseconds interval) { m_reconnectInterval = interval; }
    ICaptureDevice* Device() const { return m_device.get(); }
    uint64_t PreviewFrames() const { return m_previewFrames; }

private:
    // A device that reconnects itself is only asked whether it did (the capture thread
    // does the waiting); another one that stopped delivering is looked for again here.
    void FollowReconnection();
    // Looks for the device again by its bus information and connects it afresh; when
    // none was connected yet, tries the driver ConnectWhenAvailable names.
    void TryReconnect();
    bool OpenDriver(int index);
    // Makes `device` the connected one and has it say when a frame arrives.
    void Adopt(std::unique_ptr<ICaptureDevice> device);
    void UpdateTimer();

    DriverCatalog& m_catalog;
    ICaptureView* m_view;
    std::unique_ptr<ICaptureDevice> m_device;
    std::string m_busInfo;
    FrameCallback m_callback;
    void* m_userData = nullptr;
    bool m_preview = false;
    int m_previewRate = 66;
    QTimer m_timer;
    DibBuffer m_lastFrame;
    DibBuffer m_previewFrame;
    std::vector<uint8_t> m_previewBmp, m_saveBmp;
    Rect m_geometry;
    std::function<void()> m_onReconnected;
    std::function<void(bool)> m_onDeliveryChanged;
    bool m_delivering = true; // what OnDeliveryChanged last said of the device
    std::chrono::milliseconds m_reconnectInterval = kReconnectInterval;
    std::chrono::steady_clock::time_point m_lastReconnect{};
    uint64_t m_previewFrames = 0;
    uint64_t m_previewNumber = 0; // the device's number of the frame the preview took last
    const DibBuffer* m_callbackFrame = nullptr;
    // Set while a preview step for an arrived frame is queued (read by the capture thread).
    std::atomic<bool> m_arrivalQueued{false};
    int m_pendingIndex = -1;
    uint64_t m_connections = 0; // the device's Connections() when last looked at
    bool m_inCallback = false;
};

} // namespace kestrel
