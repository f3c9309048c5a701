#include "capture/CaptureWindow.h"

#include "platform/AtomicFile.h"

namespace kestrel {

namespace {
std::unique_ptr<ICaptureDialogs>& DialogsSlot() {
    static std::unique_ptr<ICaptureDialogs> dialogs = std::make_unique<HeadlessCaptureDialogs>();
    return dialogs;
}
} // namespace

ICaptureDialogs& CaptureDialogs() {
    return *DialogsSlot();
}

void InstallCaptureDialogs(std::unique_ptr<ICaptureDialogs> dialogs) {
    DialogsSlot() = dialogs ? std::move(dialogs) : std::make_unique<HeadlessCaptureDialogs>();
}

CCaptureWindow::CCaptureWindow(DriverCatalog& catalog, ICaptureView* view)
    : m_catalog(catalog), m_view(view) {
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { PreviewTick(); });
}

CCaptureWindow::~CCaptureWindow() {
    m_timer.stop();
    DriverDisconnect();
}

bool CCaptureWindow::DriverConnect(int index) {
    DriverDisconnect();
    if (m_catalog.Entries().empty())
        m_catalog.Refresh();
    return OpenDriver(index);
}

bool CCaptureWindow::OpenDriver(int index) {
    const auto& entries = m_catalog.Entries();
    if (index < 0 || static_cast<size_t>(index) >= entries.size() || !entries[index].open)
        return false;
    std::unique_ptr<ICaptureDevice> device = entries[index].open();
    if (!device || !device->Connect())
        return false;
    m_busInfo = device->BusInfo();
    m_connections = device->Connections();
    Adopt(std::move(device));
    m_delivering = true;
    UpdateTimer();
    return true;
}

void CCaptureWindow::Adopt(std::unique_ptr<ICaptureDevice> device) {
    m_device = std::move(device);
    // Called on the capture thread: one preview step is queued on this thread at a time.
    // The device stops calling before it is disconnected, so `this` outlives every call.
    m_device->SetFrameNotifier([this] {
        if (m_arrivalQueued.exchange(true))
            return;
        QMetaObject::invokeMethod(
            &m_timer,
            [this] {
                m_arrivalQueued = false;
                PreviewTick();
            },
            Qt::QueuedConnection);
    });
}

void CCaptureWindow::ConnectWhenAvailable(int index) {
    m_pendingIndex = index;
    m_lastReconnect = std::chrono::steady_clock::now();
    UpdateTimer();
}

void CCaptureWindow::DriverDisconnect() {
    m_pendingIndex = -1;
    if (m_device) {
        m_device->SetFrameNotifier({});
        m_device->Disconnect();
    }
    m_device.reset();
    m_busInfo.clear();
    m_lastFrame.Free();
    UpdateTimer();
}

DriverCaps CCaptureWindow::DriverGetCaps() const {
    return m_device ? m_device->Caps() : DriverCaps{};
}

bool CCaptureWindow::GetStatus(int& width, int& height) const {
    if (!m_device)
        return false;
    width = m_device->FrameWidth();
    height = m_device->FrameHeight();
    return true;
}

void CCaptureWindow::SetPreview(bool on) {
    m_preview = on;
    UpdateTimer();
}

void CCaptureWindow::SetPreviewRate(int milliseconds) {
    m_previewRate = std::max(1, milliseconds);
    UpdateTimer();
}

void CCaptureWindow::UpdateTimer() {
    // While waiting for a driver the timer only drives the connection attempts.
    if (!m_device && m_pendingIndex >= 0) {
        const int period = static_cast<int>(std::max<int64_t>(1, m_reconnectInterval.count()));
        if (!m_timer.isActive() || m_timer.interval() != period)
            m_timer.start(period);
        return;
    }
    const bool run = m_preview && m_device;
    if (!run) {
        m_timer.stop();
        return;
    }
    if (!m_timer.isActive() || m_timer.interval() != m_previewRate)
        m_timer.start(m_previewRate);
}

void CCaptureWindow::FollowReconnection() {
    if (!m_device)
        return;
    if (const bool delivering = m_device->IsDelivering(); delivering != m_delivering) {
        m_delivering = delivering;
        if (m_onDeliveryChanged)
            m_onDeliveryChanged(delivering);
    }
    if (!m_device->ReconnectsItself()) {
        if (!m_device->IsDelivering())
            TryReconnect();
        return;
    }
    const uint64_t connections = m_device->Connections();
    if (connections == m_connections)
        return;
    m_connections = connections;
    if (m_onReconnected)
        m_onReconnected();
}

void CCaptureWindow::TryReconnect() {
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastReconnect < m_reconnectInterval)
        return;
    if (!m_device) {
        if (m_pendingIndex < 0)
            return;
        m_lastReconnect = now;
        // The camera may have appeared since the last listing.
        m_catalog.Refresh();
        if (OpenDriver(m_pendingIndex)) {
            m_pendingIndex = -1;
            if (m_onReconnected)
                m_onReconnected();
        }
        return;
    }
    if (m_busInfo.empty())
        return;
    m_lastReconnect = now;
    for (const DriverEntry& e : m_catalog.Enumerate()) {
        if (e.busInfo != m_busInfo || !e.open)
            continue;
        std::unique_ptr<ICaptureDevice> device = e.open();
        if (!device)
            continue;
        m_device->SetFrameNotifier({});
        m_device->Disconnect();
        // On failure the old device stays disconnected; the next look tries again.
        if (device->Connect()) {
            m_connections = device->Connections();
            Adopt(std::move(device));
            if (m_onReconnected)
                m_onReconnected();
        }
        return;
    }
}

bool CCaptureWindow::GrabFrameNoStop() {
    if (!m_device)
        TryReconnect();
    if (!m_device)
        return false;
    FollowReconnection();
    if (!m_device->TakeFrame(m_lastFrame)) {
        m_lastFrame.Free();
        return false;
    }
    return true;
}

bool CCaptureWindow::SaveDibToMemory(std::vector<uint8_t>& bmp) const {
    if (m_lastFrame.IsEmpty())
        return false;
    m_lastFrame.ToBmpFile(bmp);
    return !bmp.empty();
}

bool CCaptureWindow::FileSaveDib(const std::string& path) {
    if (!SaveDibToMemory(m_saveBmp))
        return false;
    AtomicFile file(path);
    return file.Open() && file.Write(m_saveBmp.data(), m_saveBmp.size()) && file.Commit();
}

bool CCaptureWindow::DlgVideoFormat() {
    if (!m_device || !m_device->Caps().hasFormatDialog)
        return false;
    std::vector<DeviceSetting> settings = m_device->FormatSettings();
    if (settings.empty() || !CaptureDialogs().EditSettings(m_device->Description(), settings))
        return false;
    const bool applied = m_device->ApplyFormatSettings(settings);
    m_connections = m_device->Connections(); // a connection made anew, not a reconnection
    return applied;
}

bool CCaptureWindow::DlgVideoSource() {
    if (!m_device || !m_device->Caps().hasSourceDialog)
        return false;
    std::vector<DeviceSetting> settings = m_device->SourceSettings();
    if (settings.empty() || !CaptureDialogs().EditSettings(m_device->Description(), settings))
        return false;
    const bool applied = m_device->ApplySourceSettings(settings);
    m_connections = m_device->Connections();
    return applied;
}

bool CCaptureWindow::DlgVideoDisplay() {
    return false;
} // no driver has a display dialog

void CCaptureWindow::SetGeometry(const Rect& rect) {
    m_geometry = rect;
    if (m_view)
        m_view->SetPreviewGeometry(rect);
}

void CCaptureWindow::PreviewTick() {
    if (!m_device) {
        TryReconnect();
        return;
    }
    if (!m_preview || m_inCallback)
        return;
    FollowReconnection();
    if (!m_device || !m_device->TakeNewFrame(m_previewFrame, m_previewNumber))
        return;
    ++m_previewFrames;
    if (m_view && !m_view->IsHeadless()) {
        m_previewFrame.ToBmpFile(m_previewBmp);
        m_view->ShowPreviewFrame(
            QImage::fromData(m_previewBmp.data(), static_cast<int>(m_previewBmp.size()), "BMP"));
    }
    if (m_callback) {
        m_inCallback = true;
        m_callbackFrame = &m_previewFrame;
        m_callback(*this);
        m_callbackFrame = nullptr;
        m_inCallback = false;
    }
}

} // namespace kestrel
