#include "capture/CaptureSubsystem.h"

#include "capture/CameraListing.h"
#include "capture/ImageSettingsRules.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include <cstdio>

namespace kestrel {

int SizeClassFor(int w, int h) {
    if (w <= 176 && h <= 144)
        return 0;
    if (w > 320 && h > 240)
        return 2;
    return 1;
}

std::string OverlayTooLargeMessage(const std::string& path) {
    const std::string side = std::to_string(kMaxBmpDimension);
    return "The overlay picture " + path + " is larger than " + side + " x " + side +
           " pixels and is not used. Choose a smaller picture.";
}

int PreviewPeriodFor(uint32_t capFps) {
    return capFps == 0 ? 66 : capFps == 1 ? 33 : 0;
}

CaptureSubsystem::CaptureSubsystem(Host host, DriverCatalog::Source cameras)
    : m_host(std::move(host)), m_catalog(m_host.store, std::move(cameras)),
      m_motion(MotionWatch::Inputs{
          m_host.image, m_host.webRoot, &m_jpeg, m_host.view, m_host.messages, m_host.motionReinit, {}}),
      m_composer(ComposeInputs{m_host.image,
                               [this] { return m_window.get(); },
                               m_host.webRoot,
                               m_host.picturePassword,
                               m_host.viewerCount,
                               [this] { return static_cast<const CDib*>(m_overlay.get()); },
                               m_host.lastCaptureWidth,
                               m_host.lastCaptureHeight,
                               &m_jpeg,
                               {}}) {}

CaptureSubsystem::~CaptureSubsystem() {
    Shutdown();
}

bool CaptureSubsystem::DriverDescription(int index, std::string& name) {
    if (index == 0)
        m_catalog.Refresh();
    return m_catalog.Description(index, name);
}

void CaptureSubsystem::CreateCaptureWindow() {
    ICaptureView& view = *m_host.view;
    // 1-2. The placeholder gives the place.
    if (!view.HasControl(IDC_PREVIEW_PLACEHOLDER))
        return;
    const Rect place = view.ControlRect(IDC_PREVIEW_PLACEHOLDER);
    view.DestroyControl(IDC_PREVIEW_PLACEHOLDER);
    // 3. The window, 160 x 120 at the placeholder's corner.
    m_window = std::make_unique<CCaptureWindow>(m_catalog, &view);
    m_window->SetGeometry(
        {place.left, place.top, place.left + kCaptureWindowWidth, place.top + kCaptureWindowHeight});
    // 4. Preview period.
    ApplyPreviewRate();
    // 5. Owner and frame callback; a reconnected camera starts the motion detector afresh.
    *m_host.motionReinit = 1;
    m_window->SetUserData(m_host.owner);
    m_window->SetCallbackFrame([this](CCaptureWindow& w) { return m_motion.FrameCallback(w); });
    m_window->OnReconnected([this] { OnReconnected(); });
    m_window->OnDeliveryChanged([this](bool delivering) { SayDelivery(delivering); });
    // 6. Overlay. Of the pictures that cannot be used, only one too large is said at start,
    //    once per loading, never per frame.
    LoadOverlay();
    if (m_overlayProblem == DibProblem::TooLarge && m_host.messages)
        m_host.messages->Show(OverlayTooLargeMessage(m_host.image->OverlayBmp), "Kestrel",
                              MessageIcon::Exclamation);
    // 7. Connect the stored driver afresh. A camera that is absent or busy now keeps its
    //    place in the settings: a service started before its camera appears must not
    //    forget it. It is tried again at the reconnection period until it connects or the
    //    owner chooses another driver.
    if (m_host.image->CaptureDevice != -1) {
        const int index = m_host.image->CaptureDevice;
        m_host.image->CaptureDevice = -1;
        SelectCaptureDevice(index);
        if (m_host.image->CaptureDevice == -1 && index >= 0 && m_window) {
            m_host.image->CaptureDevice = index;
            m_waitingAtStart = true;
            m_window->ConnectWhenAvailable(index);
            std::fprintf(
                stderr,
                "kestrel: capture driver %d cannot be opened now; it stays chosen and is tried again "
                "every %lld ms until it can be opened\n",
                index, static_cast<long long>(CCaptureWindow::kReconnectInterval.count()));
        }
    }
}

void CaptureSubsystem::FollowStoredCameraLink() {
    ImageSettings& s = *m_host.image;
    if (s.CaptureDevicePath.empty() || s.CaptureDevice < 0)
        return;
    const std::string& link = s.CaptureDevicePath;
    char resolved[PATH_MAX];
    if (!::realpath(link.c_str(), resolved)) {
        std::fprintf(stderr, "kestrel: the stored camera %s is not there now; driver %d is used as before\n",
                     link.c_str(), s.CaptureDevice);
        return;
    }
    m_catalog.Refresh();
    const auto& entries = m_catalog.Entries();
    for (size_t i = 0; i < entries.size(); ++i) {
        char node[PATH_MAX];
        if (entries[i].node.empty() || !::realpath(entries[i].node.c_str(), node) ||
            std::string(node) != resolved)
            continue;
        if (static_cast<int>(i) != s.CaptureDevice)
            std::fprintf(stderr, "kestrel: the stored camera %s is driver %zu now (it was %d)\n", link.c_str(), i,
                         s.CaptureDevice);
        s.CaptureDevice = static_cast<int32_t>(i);
        return;
    }
    std::fprintf(stderr, "kestrel: the stored camera %s is no capture device now; driver %d is used as before\n",
                 link.c_str(), s.CaptureDevice);
}

bool CaptureSubsystem::LinkNamesDriver(const std::string& link, int index) const {
    const auto& entries = m_catalog.Entries();
    if (link.empty() || index < 0 || static_cast<size_t>(index) >= entries.size())
        return false;
    char a[PATH_MAX], b[PATH_MAX];
    const std::string& node = entries[static_cast<size_t>(index)].node;
    return !node.empty() && ::realpath(link.c_str(), a) && ::realpath(node.c_str(), b) && std::string(a) == b;
}

std::string CaptureSubsystem::StableLinkOf(int index) const {
    const auto& entries = m_catalog.Entries();
    if (index < 0 || static_cast<size_t>(index) >= entries.size() || entries[static_cast<size_t>(index)].node.empty())
        return {};
    std::vector<V4l2Node> nodes;
    for (const DriverEntry& e : entries)
        if (!e.node.empty())
            nodes.push_back({e.node, V4l2NodeInfo{e.description, e.busInfo, 0}});
    const std::string& node = entries[static_cast<size_t>(index)].node;
    const auto camera = std::find_if(nodes.begin(), nodes.end(), [&](const V4l2Node& n) { return n.path == node; });
    return StableLinkFor(*camera, nodes);
}

void CaptureSubsystem::SayDelivery(bool delivering) {
    // One line per change, for the journal of a service that runs for months.
    std::string camera = "driver " + std::to_string(m_host.image->CaptureDevice);
    const auto& entries = m_catalog.Entries();
    if (const int i = m_host.image->CaptureDevice; i >= 0 && static_cast<size_t>(i) < entries.size()) {
        const DriverEntry& e = entries[static_cast<size_t>(i)];
        camera = "\"" + e.description + "\"" + (e.node.empty() ? "" : " (" + e.node + ")");
    }
    if (delivering)
        std::fprintf(stderr, "kestrel: camera %s delivers pictures again\n", camera.c_str());
    else
        std::fprintf(stderr,
                     "kestrel: camera %s is lost (no pictures); the camera-off picture is served and the "
                     "camera is opened again as soon as it is back\n",
                     camera.c_str());
}

void CaptureSubsystem::OnReconnected() {
    *m_host.motionReinit = 1;
    if (!m_window)
        return;
    if (m_waitingAtStart) {
        m_waitingAtStart = false;
        std::fprintf(stderr, "kestrel: capture driver %d is open now\n", m_host.image->CaptureDevice);
        ReadStatusAndResize();
        m_window->SetPreview(m_host.image->PreviewEnabled != 0);
        if (m_host.generatePages)
            m_host.generatePages();
        return;
    }
    // A camera that came back. At another frame size (another camera in the port, another
    // format) the size class, the window size and the pages follow, as after the format
    // dialog.
    int w = 0, h = 0;
    if (!m_window->GetStatus(w, h))
        return;
    if (static_cast<unsigned>(w) == *m_host.lastCaptureWidth &&
        static_cast<unsigned>(h) == *m_host.lastCaptureHeight)
        return;
    ReadStatusAndResize();
    if (m_host.generatePages)
        m_host.generatePages();
}

std::string CaptureSubsystem::LoadOverlay() {
    m_overlayProblem = DibProblem::None;
    if (!m_host.image->UseOverlay) {
        m_overlay.reset();
        return {};
    }
    if (m_overlay)
        return {};
    // Only a picture that was read is held, so a mended file is read at the next try.
    auto overlay = std::make_unique<CDib>();
    std::string reason = ReadOverlayPicture(m_host.image->OverlayBmp, *overlay);
    m_overlayProblem = overlay->Problem();
    if (reason.empty())
        m_overlay = std::move(overlay);
    return reason;
}

void CaptureSubsystem::ApplyMotionQuality() {
    m_motion.Detector().SetRatio(m_host.image->MotionQuality * 0.001);
}

void CaptureSubsystem::ApplyPreviewRate() {
    if (!m_window)
        return;
    if (const int period = PreviewPeriodFor(m_host.image->CapFPS))
        m_window->SetPreviewRate(period);
}

void CaptureSubsystem::ApplySizeClass(int width, int height) {
    const int cls = SizeClassFor(width, height);
    int fw = 0, fh = 0;
    if (m_host.frameSizeFor)
        m_host.frameSizeFor(cls, fw, fh);
    if (fw > 0 && fh > 0)
        m_host.view->ResizeFrame(fw, fh);
    if (cls != *m_host.sizeClass) {
        *m_host.sizeClass = cls;
        if (m_host.switchSkin)
            m_host.switchSkin();
    }
}

void CaptureSubsystem::ReadStatusAndResize() {
    int w = 0, h = 0;
    if (!m_window || !m_window->GetStatus(w, h))
        return;
    const Rect g = m_window->Geometry();
    m_window->SetGeometry({g.left, g.top, g.left + w, g.top + h});
    *m_host.lastCaptureWidth = static_cast<unsigned>(w);
    *m_host.lastCaptureHeight = static_cast<unsigned>(h);
    ApplySizeClass(w, h);
}

void CaptureSubsystem::SelectCaptureDevice(int index) {
    ConnectDevice(index);
    NotifyStateChanged();
}

void CaptureSubsystem::NotifyStateChanged() {
    if (m_host.stateChanged)
        m_host.stateChanged();
}

void CaptureSubsystem::ConnectDevice(int index) {
    ImageSettings& s = *m_host.image;
    // Choosing the driver still waited for tries it at once; any choice ends the wait.
    const bool retryWaited = m_waitingAtStart && index == s.CaptureDevice;
    if (m_waitingAtStart && m_window && m_window->WaitingForDriver()) {
        m_waitingAtStart = false;
        if (retryWaited)
            s.CaptureDevice = -1;
    }
    if (index == s.CaptureDevice) {
        *m_host.motionReinit = 1;
        return;
    }
    if (m_window)
        m_window->DriverDisconnect();
    if (index == -1) {
        s.CaptureDevice = -1;
        s.CaptureDevicePath.clear();
        *m_host.motionReinit = 1;
        return;
    }
    if (!m_window || !m_window->DriverConnect(index)) {
        m_host.messages->Show(kCannotOpenDeviceMessage, "Kestrel", MessageIcon::Exclamation);
        s.CaptureDevice = -1;
        s.CaptureDevicePath.clear();
        *m_host.motionReinit = 1;
        return;
    }
    s.CaptureDevice = index;
    // Stored beside the index, so the camera is found again when the devices are renumbered.
    // A stored link that names this very camera stays as the owner wrote it.
    if (!LinkNamesDriver(s.CaptureDevicePath, index))
        s.CaptureDevicePath = StableLinkOf(index);
    ReadStatusAndResize();
    m_window->SetPreview(s.PreviewEnabled != 0);
    *m_host.motionReinit = 1;
}

void CaptureSubsystem::OnDriverListChosen(int position) {
    if (position < 0)
        return;
    SelectCaptureDevice(position - 1);
}

void CaptureSubsystem::TogglePreview() {
    ImageSettings& s = *m_host.image;
    s.PreviewEnabled = s.PreviewEnabled ? 0 : 1;
    if (m_window)
        m_window->SetPreview(s.PreviewEnabled != 0);
    NotifyStateChanged();
}

void CaptureSubsystem::OnVideoSource() {
    *m_host.motionReinit = 1;
    if (m_window)
        m_window->DlgVideoSource();
    NotifyStateChanged();
}

void CaptureSubsystem::OnVideoDisplay() {
    *m_host.motionReinit = 1;
    if (m_window)
        m_window->DlgVideoDisplay();
    NotifyStateChanged();
}

void CaptureSubsystem::OnVideoFormat() {
    if (!m_window)
        return;
    m_window->DlgVideoFormat();
    ReadStatusAndResize();
    if (m_host.generatePages)
        m_host.generatePages();
    *m_host.motionReinit = 1;
    NotifyStateChanged();
}

DriverCaps CaptureSubsystem::Caps() const {
    if (m_host.image->CaptureDevice == -1 || !m_window)
        return {};
    return m_window->DriverGetCaps();
}

void CaptureSubsystem::ComposeFrame() {
    m_composer.ComposeFrame();
}

void CaptureSubsystem::Shutdown() {
    if (m_shutDown)
        return;
    m_shutDown = true;
    if (m_window) {
        m_window->SetCallbackFrame(nullptr);
        m_window->SetUserData(nullptr);
    }
    m_overlay.reset();
    if (m_window && m_host.image->CaptureDevice != -1)
        m_window->DriverDisconnect();
}

} // namespace kestrel
