#pragma once

#include "capture/CaptureDevice.h"
#include "capture/CaptureThread.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

namespace kestrel {

// What a video node says about itself.
struct V4l2NodeInfo {
    std::string card;
    std::string busInfo;
    uint32_t deviceCaps = 0; // device_caps when reported, else capabilities
};

// Asks a node for its capabilities; false when it is no V4L2 device.
using V4l2Query = std::function<bool(const std::string& path, V4l2NodeInfo& info)>;
bool QueryV4l2Node(const std::string& path, V4l2NodeInfo& info);

// The "video<N>" nodes of `folder` in number order that capture video (metadata and
// output nodes are left out), with their paths.
struct V4l2Node {
    std::string path;
    V4l2NodeInfo info;
};
std::vector<V4l2Node> EnumerateV4l2Nodes(const std::string& folder, const V4l2Query& query = QueryV4l2Node);
// The driver list entries for them.
std::vector<DriverEntry> EnumerateV4l2Drivers(const std::string& folder, SettingsStore* store,
                                              const V4l2Query& query = QueryV4l2Node);

// Converts one frame as the device (or the conversion library) delivered it into a bottom-up
// 24-bit picture. Handles BGR24, RGB24, YUYV and GREY; false for other formats or when the
// data is shorter than the rows need.
bool ConvertFrameToDib(uint32_t pixelFormat, int width, int height, uint32_t bytesPerLine,
                       std::span<const uint8_t> data, DibBuffer& out);

// A V4L2 camera read through libv4l2 on its own capture thread.
class V4l2Device final : public ICaptureDevice {
public:
    V4l2Device(std::string path, V4l2NodeInfo info, SettingsStore* store);
    ~V4l2Device() override;

    std::string Description() const override { return m_info.card; }
    std::string BusInfo() const override { return m_info.busInfo; }
    bool Connect() override;
    void Disconnect() override;
    DriverCaps Caps() const override { return {true, true, false}; }
    int FrameWidth() const override;
    int FrameHeight() const override;
    bool TakeFrame(DibBuffer& frame) override;
    bool IsDelivering() const override;
    bool TakeNewFrame(DibBuffer& frame, uint64_t& number) override;
    void SetFrameNotifier(std::function<void()> notify) override;
    bool ReconnectsItself() const override { return true; }
    uint64_t Connections() const override { return m_thread ? m_thread->Connections() : 0; }

    std::vector<DeviceSetting> FormatSettings() const override;
    bool ApplyFormatSettings(const std::vector<DeviceSetting>& settings) override;
    std::vector<DeviceSetting> SourceSettings() const override;
    bool ApplySourceSettings(const std::vector<DeviceSetting>& settings) override;

    // What the open found out, shared with the capture thread.
    struct Discovered {
        std::mutex mutex;
        std::vector<std::pair<int, int>> sizes;
        std::vector<DeviceSetting> controls;
        int fd = -1;
    };

private:
    std::string m_path;
    V4l2NodeInfo m_info;
    DriverSettings m_settings;
    std::unique_ptr<CaptureThread> m_thread;
    std::function<void()> m_notify; // handed to every capture thread this device starts
    std::shared_ptr<Discovered> m_found;
    int m_width = 0, m_height = 0;
};

} // namespace kestrel
