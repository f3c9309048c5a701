// Checks of the V4L2 capture layer against the kernel's virtual video driver. They run only
// inside the throw-away virtual machine that tests/camera-vm/run.sh starts, where /dev/video*
// are real nodes of that driver.

#include "capture/CaptureDevice.h"
#include "capture/V4l2Device.h"
#include "platform/SettingsStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;
using namespace std::chrono_literals;

namespace {

int Ioctl(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

// A plain descriptor on a node, for asking the driver what it really does.
struct Node {
    explicit Node(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}
    ~Node() {
        if (fd >= 0)
            ::close(fd);
    }
    int fd;
};

uint32_t DeviceCaps(const std::string& path) {
    Node n(path);
    v4l2_capability cap{};
    if (n.fd < 0 || Ioctl(n.fd, VIDIOC_QUERYCAP, &cap) < 0)
        return 0;
    return (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
}

std::vector<std::string> VideoNodes() {
    std::vector<std::pair<int, std::string>> found;
    for (int i = 0; i < 64; ++i) {
        std::string path = "/dev/video" + std::to_string(i);
        if (::access(path.c_str(), F_OK) == 0)
            found.emplace_back(i, path);
    }
    std::vector<std::string> out;
    for (auto& [n, p] : found)
        out.push_back(p);
    return out;
}

// Waits until the device hands out a frame.
bool WaitForFrame(ICaptureDevice& dev, DibBuffer& frame, std::chrono::seconds limit = 20s) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (dev.TakeFrame(frame))
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// Mean of the blue, green and red bytes over a block of a bottom-up 24-bit frame, with
// `top` counted from the picture's top.
std::array<double, 3> BlockMean(const DibBuffer& frame, int left, int top, int w, int h) {
    const int height = std::abs(frame.Height());
    const size_t stride = DibStride(frame.Width(), 24);
    const uint8_t* bits = frame.Pixels().data();
    std::array<double, 3> sum{};
    for (int y = top; y < top + h; ++y) {
        const uint8_t* row = bits + stride * (height - 1 - y);
        for (int x = left; x < left + w; ++x)
            for (int c = 0; c < 3; ++c)
                sum[c] += row[3 * x + c];
    }
    for (double& s : sum)
        s /= double(w) * h;
    return sum;
}

const DeviceSetting* FindControl(const std::vector<DeviceSetting>& list, uint32_t id) {
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const DeviceSetting& s) { return s.key == "Control" + std::to_string(id); });
    return it == list.end() ? nullptr : &*it;
}

int ControlValue(const std::string& path, uint32_t id) {
    Node n(path);
    v4l2_control c{id, 0};
    return Ioctl(n.fd, VIDIOC_G_CTRL, &c) == 0 ? c.value : -99999;
}

} // namespace

// The list holds exactly the nodes that capture video, in number order: the driver's
// output, metadata and touch nodes (and radio, vbi, which are not "video" nodes) are left out.
TEST(VividDriver, ListsCaptureNodesInNumberOrder) {
    std::vector<std::string> expected;
    for (const std::string& path : VideoNodes())
        if (DeviceCaps(path) & V4L2_CAP_VIDEO_CAPTURE)
            expected.push_back(path);
    ASSERT_FALSE(expected.empty()) << "no capture node: is the virtual driver loaded?";
    std::vector<std::string> listed;
    for (const V4l2Node& n : EnumerateV4l2Nodes("/dev"))
        listed.push_back(n.path);
    EXPECT_EQ(listed, expected);

    SettingsStore store;
    DriverCatalog catalog(&store);
    auto entries = catalog.Enumerate();
    ASSERT_EQ(entries.size(), expected.size() + 1); // the test pattern comes first
    for (size_t i = 1; i < entries.size(); ++i)
        EXPECT_EQ(entries[i].busInfo.rfind("platform:vivid", 0), 0u) << entries[i].busInfo;
}

// Every capture node of the list opens and streams upright 24-bit frames of the size the
// driver reports for its format.
TEST(VividDriver, EveryListedNodeStreamsAtTheSizeTheDriverSet) {
    SettingsStore store;
    for (const V4l2Node& node : EnumerateV4l2Nodes("/dev")) {
        SCOPED_TRACE(node.path);
        V4l2Device dev(node.path, node.info, &store);
        ASSERT_TRUE(dev.Connect());
        DibBuffer frame;
        ASSERT_TRUE(WaitForFrame(dev, frame));
        EXPECT_EQ(frame.BitCount(), 24);
        EXPECT_EQ(frame.Width(), dev.FrameWidth());
        EXPECT_EQ(std::abs(frame.Height()), dev.FrameHeight());
        Node probe(node.path);
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ASSERT_EQ(Ioctl(probe.fd, VIDIOC_G_FMT, &fmt), 0);
        EXPECT_EQ(int(fmt.fmt.pix.width), dev.FrameWidth());
        EXPECT_EQ(int(fmt.fmt.pix.height), dev.FrameHeight());
        // Upright: the first bar (left) is white-ish and the last (right) black near the bottom.
        const int w = dev.FrameWidth(), h = dev.FrameHeight();
        auto left = BlockMean(frame, w / 32, h * 3 / 4, w / 32, h / 8);
        auto right = BlockMean(frame, w - w / 16, h * 3 / 4, w / 32, h / 8);
        EXPECT_GT(left[0] + left[1] + left[2], 400);
        EXPECT_LT(right[0] + right[1] + right[2], 60);
    }
}

// The format dialog offers the driver's own sizes, and choosing one streams at it.
TEST(VividDriver, FormatSizesAreTheDriversAndAChosenSizeStreams) {
    auto nodes = EnumerateV4l2Nodes("/dev");
    ASSERT_FALSE(nodes.empty());
    std::set<std::string> driverSizes;
    {
        Node n(nodes[0].path);
        v4l2_frmsizeenum fs{};
        fs.pixel_format = V4L2_PIX_FMT_BGR24;
        for (fs.index = 0; Ioctl(n.fd, VIDIOC_ENUM_FRAMESIZES, &fs) == 0; ++fs.index)
            if (fs.type == V4L2_FRMSIZE_TYPE_DISCRETE)
                driverSizes.insert(std::to_string(fs.discrete.width) + " x " +
                                   std::to_string(fs.discrete.height));
    }
    ASSERT_FALSE(driverSizes.empty());
    SettingsStore store;
    V4l2Device dev(nodes[0].path, nodes[0].info, &store);
    ASSERT_TRUE(dev.Connect());
    auto format = dev.FormatSettings();
    ASSERT_EQ(format.size(), 1u);
    std::set<std::string> offered(format[0].choices.begin(), format[0].choices.end());
    EXPECT_EQ(offered, driverSizes);

    const auto it = std::find(format[0].choices.begin(), format[0].choices.end(), "320 x 180");
    ASSERT_NE(it, format[0].choices.end());
    format[0].value = int(it - format[0].choices.begin());
    ASSERT_TRUE(dev.ApplyFormatSettings(format));
    EXPECT_EQ(dev.FrameWidth(), 320);
    EXPECT_EQ(dev.FrameHeight(), 180);
    DibBuffer frame;
    ASSERT_TRUE(WaitForFrame(dev, frame));
    EXPECT_EQ(frame.Width(), 320);
    // Stored for the next start.
    DriverSettings stored(&store, nodes[0].info.busInfo);
    EXPECT_EQ(stored.Get("Width", 0), 320);
    EXPECT_EQ(stored.Get("Height", 0), 180);
}

// The source dialog lists the driver's integer, boolean and menu controls with their
// ranges and defaults; a change reaches the driver and the picture, and is stored and set
// again at the next connection.
TEST(VividDriver, ControlsMatchTheDriverAndBrightnessIsAppliedStoredAndRestored) {
    auto nodes = EnumerateV4l2Nodes("/dev");
    ASSERT_FALSE(nodes.empty());
    const std::string path = nodes[0].path;
    SettingsStore store;
    std::vector<DeviceSetting> controls;
    DibBuffer before;
    {
        V4l2Device dev(path, nodes[0].info, &store);
        ASSERT_TRUE(dev.Connect());
        ASSERT_TRUE(WaitForFrame(dev, before));
        controls = dev.SourceSettings();
    }
    struct Expect {
        uint32_t id;
        DeviceSetting::Kind kind;
    };
    for (auto [id, kind] :
         {Expect{V4L2_CID_BRIGHTNESS, DeviceSetting::Kind::Slider},
          Expect{V4L2_CID_HUE, DeviceSetting::Kind::Slider},
          Expect{V4L2_CID_HFLIP, DeviceSetting::Kind::Check},
          Expect{V4L2_CID_AUTOGAIN, DeviceSetting::Kind::Check},
          Expect{0x0098f904u /* the driver's menu test control */, DeviceSetting::Kind::Choice}}) {
        SCOPED_TRACE(id);
        const DeviceSetting* s = FindControl(controls, id);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->kind, kind);
        Node n(path);
        v4l2_queryctrl q{};
        q.id = id;
        ASSERT_EQ(Ioctl(n.fd, VIDIOC_QUERYCTRL, &q), 0);
        EXPECT_EQ(s->minimum, q.minimum);
        EXPECT_EQ(s->maximum, q.maximum);
        EXPECT_EQ(s->defaultValue, q.default_value);
        if (kind == DeviceSetting::Kind::Choice) {
            EXPECT_EQ(int(s->choices.size()), q.maximum - q.minimum + 1);
        }
    }
    // Buttons (such as the driver's "disconnect") and read-only controls are not offered.
    EXPECT_EQ(FindControl(controls, 0x00f0f041u), nullptr);
    EXPECT_EQ(FindControl(controls, 0x0098f90cu), nullptr);

    DibBuffer after;
    {
        V4l2Device dev(path, nodes[0].info, &store);
        ASSERT_TRUE(dev.Connect());
        auto edited = dev.SourceSettings();
        for (DeviceSetting& s : edited)
            if (s.key == "Control" + std::to_string(V4L2_CID_BRIGHTNESS))
                s.value = 230;
        ASSERT_TRUE(dev.ApplySourceSettings(edited));
        EXPECT_EQ(ControlValue(path, V4L2_CID_BRIGHTNESS), 230);
        std::this_thread::sleep_for(500ms); // frames made before the change drain out
        ASSERT_TRUE(WaitForFrame(dev, after));
    }
    // The white bar (left) is brighter than before.
    const int w = before.Width(), h = std::abs(before.Height());
    auto b = BlockMean(before, w / 32, h * 3 / 4, w / 32, h / 8);
    auto a = BlockMean(after, w / 32, h * 3 / 4, w / 32, h / 8);
    EXPECT_GT(a[1], b[1] + 20) << "before " << b[1] << " after " << a[1];
    EXPECT_EQ(DriverSettings(&store, nodes[0].info.busInfo)
                  .Get("Control" + std::to_string(V4L2_CID_BRIGHTNESS), -1),
              230);

    // Another program sets the control back; the next connection sets the stored value again.
    {
        Node n(path);
        v4l2_control c{V4L2_CID_BRIGHTNESS, 128};
        ASSERT_EQ(Ioctl(n.fd, VIDIOC_S_CTRL, &c), 0);
    }
    V4l2Device dev(path, nodes[0].info, &store);
    ASSERT_TRUE(dev.Connect());
    EXPECT_EQ(ControlValue(path, V4L2_CID_BRIGHTNESS), 230);
    dev.Disconnect();
    Node n(path);
    v4l2_control c{V4L2_CID_BRIGHTNESS, 128};
    Ioctl(n.fd, VIDIOC_S_CTRL, &c);
}

// A device another program is streaming from cannot be opened: Connect says so at once.
TEST(VividDriver, BusyDeviceFailsToConnectWithoutHanging) {
    auto nodes = EnumerateV4l2Nodes("/dev");
    ASSERT_FALSE(nodes.empty());
    SettingsStore store;
    V4l2Device first(nodes[0].path, nodes[0].info, &store);
    ASSERT_TRUE(first.Connect());
    V4l2Device second(nodes[0].path, nodes[0].info, &store);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(second.Connect());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    DibBuffer frame;
    EXPECT_TRUE(WaitForFrame(first, frame)) << "the first user keeps streaming";
}
