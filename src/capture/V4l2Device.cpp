#include "capture/V4l2Device.h"

#include "platform/SettingsStore.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <map>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <libv4l2.h>

namespace kestrel {

namespace {

constexpr int kBufferCount = 4;
constexpr std::pair<int, int> kPreferredSize{640, 480};
// Sizes offered for devices that describe a continuous or stepped range.
constexpr std::pair<int, int> kCommonSizes[] = {{160, 120}, {176, 144},  {320, 240},  {352, 288},  {640, 480},
                                                {800, 600}, {1024, 768}, {1280, 720}, {1920, 1080}};

int Xioctl(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = v4l2_ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

std::string CString(const uint8_t* bytes, size_t size) {
    const auto* end = static_cast<const uint8_t*>(std::memchr(bytes, 0, size));
    return std::string(reinterpret_cast<const char*>(bytes), end ? static_cast<size_t>(end - bytes) : size);
}

uint8_t Clamp8(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

std::string ControlKey(uint32_t id) {
    return "Control" + std::to_string(id);
}

// One opened V4L2 node, used only on its capture thread.
class V4l2Stream final : public IFrameStream {
public:
    V4l2Stream(std::string path, int wantW, int wantH, std::map<std::string, int> stored,
               std::shared_ptr<V4l2Device::Discovered> found)
        : m_path(std::move(path)), m_wantW(wantW), m_wantH(wantH), m_stored(std::move(stored)),
          m_found(std::move(found)) {}
    ~V4l2Stream() override { Close(); }

    bool Open(int& width, int& height, std::string& error) override {
        m_fd = v4l2_open(m_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) {
            error = m_path + ": " + std::strerror(errno);
            return false;
        }
        const auto sizes = FrameSizes();
        auto offered = [&](int w, int h) {
            return std::find(sizes.begin(), sizes.end(), std::pair{w, h}) != sizes.end();
        };
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Xioctl(m_fd, VIDIOC_G_FMT, &fmt) < 0) {
            error = m_path + ": cannot read the format: " + std::strerror(errno);
            return false;
        }
        int w = static_cast<int>(fmt.fmt.pix.width), h = static_cast<int>(fmt.fmt.pix.height);
        if (m_wantW > 0 && offered(m_wantW, m_wantH))
            w = m_wantW, h = m_wantH;
        else if (offered(kPreferredSize.first, kPreferredSize.second))
            std::tie(w, h) = kPreferredSize;
        fmt = v4l2_format{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.width = static_cast<uint32_t>(w);
        fmt.fmt.pix.height = static_cast<uint32_t>(h);
        fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
        fmt.fmt.pix.field = V4L2_FIELD_ANY;
        if (Xioctl(m_fd, VIDIOC_S_FMT, &fmt) < 0) {
            error = m_path + ": cannot set the format: " + std::strerror(errno);
            return false;
        }
        m_format = fmt.fmt.pix;
        if (m_format.width == 0 || m_format.height == 0 || m_format.width > 4096 || m_format.height > 4096) {
            error = m_path + ": the device reports no usable frame size";
            return false;
        }
        auto controls = Controls();
        {
            std::lock_guard lock(m_found->mutex);
            m_found->sizes = sizes.empty() ? std::vector<std::pair<int, int>>{{w, h}} : sizes;
            m_found->controls = std::move(controls);
            m_found->fd = m_fd;
        }
        if (!StartStreaming()) {
            error = m_path + ": cannot start streaming: " + std::strerror(errno);
            return false;
        }
        width = static_cast<int>(m_format.width);
        height = static_cast<int>(m_format.height);
        return true;
    }

    int ReadFrame(DibBuffer& frame, int timeoutMs) override {
        pollfd p{m_fd, POLLIN, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0)
            return errno == EINTR ? 0 : -1;
        if (r == 0)
            return 0;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
            return -1;
        if (m_buffers.empty()) {
            m_readBuffer.resize(m_format.sizeimage ? m_format.sizeimage
                                                   : m_format.bytesperline * m_format.height);
            const ssize_t n = v4l2_read(m_fd, m_readBuffer.data(), m_readBuffer.size());
            if (n < 0)
                return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
            return Convert(std::span<const uint8_t>(m_readBuffer.data(), static_cast<size_t>(n)), frame) ? 1
                                                                                                         : 0;
        }
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (Xioctl(m_fd, VIDIOC_DQBUF, &buf) < 0)
            return (errno == EAGAIN) ? 0 : -1;
        bool ok = false;
        if (buf.index < m_buffers.size()) {
            const Mapping& m = m_buffers[buf.index];
            ok = Convert(std::span<const uint8_t>(static_cast<const uint8_t*>(m.start),
                                                  std::min<size_t>(buf.bytesused, m.length)),
                         frame);
        }
        if (Xioctl(m_fd, VIDIOC_QBUF, &buf) < 0)
            return -1;
        return ok ? 1 : 0;
    }

    void Close() override {
        if (m_fd < 0)
            return;
        {
            std::lock_guard lock(m_found->mutex);
            m_found->fd = -1;
        }
        if (!m_buffers.empty()) {
            v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            Xioctl(m_fd, VIDIOC_STREAMOFF, &type);
            for (const Mapping& m : m_buffers)
                v4l2_munmap(m.start, m.length);
            m_buffers.clear();
        }
        v4l2_close(m_fd);
        m_fd = -1;
    }

private:
    struct Mapping {
        void* start;
        size_t length;
    };

    bool Convert(std::span<const uint8_t> data, DibBuffer& frame) const {
        return ConvertFrameToDib(m_format.pixelformat, static_cast<int>(m_format.width),
                                 static_cast<int>(m_format.height), m_format.bytesperline, data, frame);
    }

    std::vector<std::pair<int, int>> FrameSizes() const {
        std::vector<std::pair<int, int>> sizes;
        v4l2_frmsizeenum fs{};
        fs.pixel_format = V4L2_PIX_FMT_BGR24;
        for (fs.index = 0; Xioctl(m_fd, VIDIOC_ENUM_FRAMESIZES, &fs) == 0 && fs.index < 64; ++fs.index) {
            if (fs.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                sizes.emplace_back(fs.discrete.width, fs.discrete.height);
            } else {
                for (auto [w, h] : kCommonSizes)
                    if (w >= static_cast<int>(fs.stepwise.min_width) &&
                        w <= static_cast<int>(fs.stepwise.max_width) &&
                        h >= static_cast<int>(fs.stepwise.min_height) &&
                        h <= static_cast<int>(fs.stepwise.max_height))
                        sizes.emplace_back(w, h);
                break;
            }
        }
        std::sort(sizes.begin(), sizes.end());
        sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
        return sizes;
    }

    std::vector<DeviceSetting> Controls() const {
        std::vector<DeviceSetting> list;
        v4l2_queryctrl q{};
        q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
        while (Xioctl(m_fd, VIDIOC_QUERYCTRL, &q) == 0 && list.size() < 64) {
            const uint32_t id = q.id;
            q.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
            if (q.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_INACTIVE))
                continue;
            DeviceSetting s;
            s.key = ControlKey(id);
            s.label = CString(q.name, sizeof q.name);
            s.minimum = q.minimum, s.maximum = q.maximum, s.step = std::max(1, q.step);
            s.defaultValue = q.default_value;
            if (q.type == V4L2_CTRL_TYPE_INTEGER) {
                s.kind = DeviceSetting::Kind::Slider;
            } else if (q.type == V4L2_CTRL_TYPE_BOOLEAN) {
                s.kind = DeviceSetting::Kind::Check;
            } else if (q.type == V4L2_CTRL_TYPE_MENU) {
                s.kind = DeviceSetting::Kind::Choice;
                for (int i = q.minimum; i <= q.maximum; ++i) {
                    v4l2_querymenu m{};
                    m.id = id;
                    m.index = static_cast<uint32_t>(i);
                    s.choices.push_back(
                        Xioctl(m_fd, VIDIOC_QUERYMENU, &m) == 0 ? CString(m.name, sizeof m.name) : "-");
                }
            } else {
                continue;
            }
            v4l2_control c{id, 0};
            if (auto it = m_stored.find(s.key); it != m_stored.end()) {
                c.value = std::clamp(it->second, q.minimum, q.maximum);
                Xioctl(m_fd, VIDIOC_S_CTRL, &c);
            }
            s.value = Xioctl(m_fd, VIDIOC_G_CTRL, &c) == 0 ? c.value : q.default_value;
            if (s.kind == DeviceSetting::Kind::Choice)
                s.value -= q.minimum; // a choice is its position in the list
            list.push_back(std::move(s));
        }
        return list;
    }

    bool StartStreaming() {
        v4l2_requestbuffers req{};
        req.count = kBufferCount;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        if (Xioctl(m_fd, VIDIOC_REQBUFS, &req) < 0 || req.count == 0)
            return true; // no streaming: frames are read()
        for (uint32_t i = 0; i < req.count; ++i) {
            v4l2_buffer buf{};
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            buf.index = i;
            if (Xioctl(m_fd, VIDIOC_QUERYBUF, &buf) < 0)
                return false;
            void* start =
                v4l2_mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, buf.m.offset);
            if (start == MAP_FAILED)
                return false;
            m_buffers.push_back({start, buf.length});
            if (Xioctl(m_fd, VIDIOC_QBUF, &buf) < 0)
                return false;
        }
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        return Xioctl(m_fd, VIDIOC_STREAMON, &type) == 0;
    }

    std::string m_path;
    int m_wantW, m_wantH;
    std::map<std::string, int> m_stored;
    std::shared_ptr<V4l2Device::Discovered> m_found;
    int m_fd = -1;
    v4l2_pix_format m_format{};
    std::vector<Mapping> m_buffers;
    std::vector<uint8_t> m_readBuffer;
};

} // namespace

bool QueryV4l2Node(const std::string& path, V4l2NodeInfo& info) {
    // Plain open and ioctl: listing must not start the conversion library's machinery.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    v4l2_capability cap{};
    int r;
    do {
        r = ::ioctl(fd, VIDIOC_QUERYCAP, &cap);
    } while (r < 0 && errno == EINTR);
    ::close(fd);
    if (r < 0)
        return false;
    info.card = CString(cap.card, sizeof cap.card);
    info.busInfo = CString(cap.bus_info, sizeof cap.bus_info);
    info.deviceCaps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    return true;
}

std::vector<V4l2Node> EnumerateV4l2Nodes(const std::string& folder, const V4l2Query& query) {
    std::vector<std::pair<long, std::string>> numbered;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name.size() <= 5 || name.compare(0, 5, "video") != 0 || name.size() > 12)
                continue;
            if (!std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
                continue;
            numbered.emplace_back(std::stol(name.substr(5)), folder + "/" + name);
        }
        ::closedir(dir);
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<V4l2Node> nodes;
    for (auto& [number, path] : numbered) {
        V4l2NodeInfo info;
        if (!query(path, info) || !(info.deviceCaps & V4L2_CAP_VIDEO_CAPTURE))
            continue;
        if (info.card.empty())
            info.card = path;
        nodes.push_back({path, std::move(info)});
    }
    return nodes;
}

std::vector<DriverEntry> EnumerateV4l2Drivers(const std::string& folder, SettingsStore* store,
                                              const V4l2Query& query) {
    std::vector<DriverEntry> list;
    for (V4l2Node& node : EnumerateV4l2Nodes(folder, query)) {
        DriverEntry e;
        e.description = node.info.card;
        e.busInfo = node.info.busInfo;
        e.node = node.path;
        e.open = [node, store] { return std::make_unique<V4l2Device>(node.path, node.info, store); };
        list.push_back(std::move(e));
    }
    return list;
}

bool ConvertFrameToDib(uint32_t pixelFormat, int width, int height, uint32_t bytesPerLine,
                       std::span<const uint8_t> data, DibBuffer& out) {
    if (width <= 0 || height <= 0 || width > 4096 || height > 4096)
        return false;
    size_t inBpp;
    switch (pixelFormat) {
    case V4L2_PIX_FMT_BGR24:
    case V4L2_PIX_FMT_RGB24:
        inBpp = 3;
        break;
    case V4L2_PIX_FMT_YUYV:
        inBpp = 2;
        break;
    case V4L2_PIX_FMT_GREY:
        inBpp = 1;
        break;
    default:
        return false;
    }
    // YUYV carries two pixels in four bytes, so an odd width still needs whole pairs.
    const size_t minLine = pixelFormat == V4L2_PIX_FMT_YUYV ? 4 * ((static_cast<size_t>(width) + 1) / 2)
                                                            : inBpp * static_cast<size_t>(width);
    const size_t line = std::max<size_t>(bytesPerLine, minLine);
    if (data.size() < line * (height - 1) + minLine)
        return false;
    BITMAPINFOHEADER ih;
    DibBuffer::InitHeader(ih, width, height, 24);
    const size_t stride = DibStride(width, 24);
    std::vector<uint8_t> pixels(stride * height, 0);
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = data.data() + line * y;
        uint8_t* o = pixels.data() + stride * (height - 1 - y); // bottom-up
        switch (pixelFormat) {
        case V4L2_PIX_FMT_BGR24:
            std::memcpy(o, in, minLine);
            break;
        case V4L2_PIX_FMT_RGB24:
            for (int x = 0; x < width; ++x)
                o[3 * x] = in[3 * x + 2], o[3 * x + 1] = in[3 * x + 1], o[3 * x + 2] = in[3 * x];
            break;
        case V4L2_PIX_FMT_GREY:
            for (int x = 0; x < width; ++x)
                o[3 * x] = o[3 * x + 1] = o[3 * x + 2] = in[x];
            break;
        default: // YUYV: Y0 U Y1 V per two pixels, BT.601 studio range
            for (int x = 0; x < width; ++x) {
                const int pair = (x / 2) * 4;
                const int c = in[pair + (x & 1) * 2] - 16;
                const int d = in[pair + 1] - 128;
                const int e = in[pair + 3] - 128;
                o[3 * x + 2] = Clamp8((298 * c + 409 * e + 128) >> 8);
                o[3 * x + 1] = Clamp8((298 * c - 100 * d - 208 * e + 128) >> 8);
                o[3 * x] = Clamp8((298 * c + 516 * d + 128) >> 8);
            }
            break;
        }
    }
    std::vector<uint8_t> header(reinterpret_cast<uint8_t*>(&ih), reinterpret_cast<uint8_t*>(&ih) + sizeof ih);
    return out.CopyFrom(header, pixels);
}

// ---------------------------------------------------------------------------------------------

V4l2Device::V4l2Device(std::string path, V4l2NodeInfo info, SettingsStore* store)
    : m_path(std::move(path)), m_info(std::move(info)),
      m_settings(store, m_info.busInfo.empty() ? m_path : m_info.busInfo),
      m_found(std::make_shared<Discovered>()) {}

V4l2Device::~V4l2Device() {
    Disconnect();
}

bool V4l2Device::Connect() {
    Disconnect();
    // Control values kept from earlier runs (read here, on the caller's thread).
    std::map<std::string, int> stored = m_settings.AllWithPrefix("Control");
    const int wantW = m_settings.Get("Width", 0), wantH = m_settings.Get("Height", 0);
    m_found = std::make_shared<Discovered>();
    // A camera that went away is looked for again on the capture thread, by its bus
    // information (it may come back under another node number), else at its old path.
    CaptureThread::Reopen reopen = [path = m_path, busInfo = m_info.busInfo, wantW, wantH, stored,
                                    found = m_found]() -> std::unique_ptr<IFrameStream> {
        std::string node = path;
        if (!busInfo.empty()) {
            const auto slash = path.rfind('/');
            const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
            for (const V4l2Node& n : EnumerateV4l2Nodes(folder))
                if (n.info.busInfo == busInfo) {
                    node = n.path;
                    break;
                }
        }
        return std::make_unique<V4l2Stream>(node, wantW, wantH, stored, found);
    };
    m_thread =
        std::make_unique<CaptureThread>(std::make_unique<V4l2Stream>(m_path, wantW, wantH, stored, m_found),
                                        CaptureThread::Timing{}, std::move(reopen));
    m_thread->SetFrameNotifier(m_notify);
    std::string error;
    int w = 0, h = 0;
    if (!m_thread->Start(w, h, error)) {
        m_thread.reset();
        return false;
    }
    m_width = w, m_height = h;
    return true;
}

void V4l2Device::Disconnect() {
    m_thread.reset();
}

int V4l2Device::FrameWidth() const {
    int w = m_width, h = m_height;
    if (m_thread)
        m_thread->FrameSize(w, h);
    return w;
}

int V4l2Device::FrameHeight() const {
    int w = m_width, h = m_height;
    if (m_thread)
        m_thread->FrameSize(w, h);
    return h;
}

bool V4l2Device::TakeFrame(DibBuffer& frame) {
    return m_thread && m_thread->TakeNewest(frame);
}

bool V4l2Device::TakeNewFrame(DibBuffer& frame, uint64_t& number) {
    return m_thread && m_thread->TakeNewer(frame, number);
}

void V4l2Device::SetFrameNotifier(std::function<void()> notify) {
    m_notify = std::move(notify);
    if (m_thread)
        m_thread->SetFrameNotifier(m_notify);
}

bool V4l2Device::IsDelivering() const {
    return m_thread && m_thread->IsDelivering();
}

std::vector<DeviceSetting> V4l2Device::FormatSettings() const {
    DeviceSetting size{"Size", "Size", DeviceSetting::Kind::Choice, 0, 0, 1, 0, 0, {}};
    std::lock_guard lock(m_found->mutex);
    for (size_t i = 0; i < m_found->sizes.size(); ++i) {
        auto [w, h] = m_found->sizes[i];
        size.choices.push_back(std::to_string(w) + " x " + std::to_string(h));
        if (w == FrameWidth() && h == FrameHeight())
            size.value = static_cast<int>(i);
    }
    if (size.choices.empty())
        return {};
    size.maximum = static_cast<int>(size.choices.size()) - 1;
    return {size};
}

bool V4l2Device::ApplyFormatSettings(const std::vector<DeviceSetting>& settings) {
    std::pair<int, int> chosen{0, 0};
    {
        std::lock_guard lock(m_found->mutex);
        for (const DeviceSetting& s : settings)
            if (s.key == "Size" && s.value >= 0 && static_cast<size_t>(s.value) < m_found->sizes.size())
                chosen = m_found->sizes[s.value];
    }
    if (chosen.first == 0)
        return false;
    m_settings.Set("Width", chosen.first);
    m_settings.Set("Height", chosen.second);
    return Connect(); // the format is set on the capture thread when it opens the device
}

std::vector<DeviceSetting> V4l2Device::SourceSettings() const {
    std::lock_guard lock(m_found->mutex);
    return m_found->controls;
}

bool V4l2Device::ApplySourceSettings(const std::vector<DeviceSetting>& settings) {
    std::lock_guard lock(m_found->mutex);
    bool ok = true;
    for (const DeviceSetting& s : settings) {
        auto it = std::find_if(m_found->controls.begin(), m_found->controls.end(),
                               [&](const DeviceSetting& c) { return c.key == s.key; });
        // Only what the owner changed is set: a driver refuses some controls while it
        // streams (EBUSY), and setting those to their own value would fail the whole dialog.
        if (it == m_found->controls.end() || it->value == s.value)
            continue;
        const int value = it->kind == DeviceSetting::Kind::Choice ? s.value + it->minimum : s.value;
        v4l2_control c{static_cast<uint32_t>(std::stoul(s.key.substr(7))),
                       std::clamp(value, it->minimum, it->maximum)};
        if (m_found->fd >= 0 && Xioctl(m_found->fd, VIDIOC_S_CTRL, &c) < 0) {
            ok = false;
            continue;
        }
        it->value = s.value;
        m_settings.Set(s.key, c.value);
    }
    return ok;
}

} // namespace kestrel
