#pragma once

#include "capture/CaptureDevice.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

namespace kestrel {

// The built-in driver, always present at index 0: a deterministic moving picture (colour
// bars, a moving block, a frame counter and the time) in a chosen size and pixel format.
class TestPatternDevice final : public ICaptureDevice {
public:
    static constexpr const char* kDescription = "Kestrel Test Pattern";
    static constexpr const char* kBusInfo = "TestPattern";
    struct FrameFormat {
        int width, height;
    };
    static constexpr FrameFormat kSizes[] = {{80, 60},   {160, 120}, {176, 144},  {320, 240}, {352, 288},
                                             {640, 480}, {800, 600}, {1024, 768}, {1280, 720}};
    static constexpr int kDepths[] = {16, 24, 32};
    static constexpr int kDefaultSize = 3;  // 320 x 240
    static constexpr int kDefaultDepth = 1; // 24 bits

    explicit TestPatternDevice(SettingsStore* store = nullptr);

    std::string Description() const override { return kDescription; }
    std::string BusInfo() const override { return kBusInfo; }
    bool Connect() override;
    void Disconnect() override { m_connected = false; }
    DriverCaps Caps() const override { return {true, true, false}; }
    int FrameWidth() const override { return m_width; }
    int FrameHeight() const override { return m_height; }
    bool TakeFrame(DibBuffer& frame) override;
    bool IsDelivering() const override { return m_connected && !s_unplugged.load(); }

    std::vector<DeviceSetting> FormatSettings() const override;
    bool ApplyFormatSettings(const std::vector<DeviceSetting>& settings) override;
    std::vector<DeviceSetting> SourceSettings() const override;
    bool ApplySourceSettings(const std::vector<DeviceSetting>& settings) override;

    // Direct control for tests and benchmarks (not stored).
    void SetFormat(int width, int height, int bits);
    void SetStill(bool still) { m_still = still; }
    int BitCount() const { return m_bits; }
    uint32_t FrameCounter() const { return m_counter; }
    // Tests only: while set, every test pattern delivers nothing and cannot be connected,
    // as a camera that was pulled out.
    static void SetUnpluggedForTest(bool unplugged) { s_unplugged = unplugged; }

    // Renders frame `counter` (with `clock` drawn unless still) as a bottom-up picture.
    void Render(DibBuffer& frame, uint32_t counter, std::time_t clock) const;

private:
    void BuildBase();
    DriverSettings m_settings;
    int m_width = 320, m_height = 240, m_bits = 24;
    int m_pattern = 0;
    bool m_still = false;
    bool m_connected = false;
    uint32_t m_counter = 0;
    std::vector<uint8_t> m_base;         // bottom-up 24-bit background of the current size
    mutable std::vector<uint8_t> m_work; // drawing rows for 16- and 32-bit frames
    // What the last frames drawn in 24 bits show over the background, by content tag.
    struct Drawn {
        uint64_t tag = 0;
        int width = 0, height = 0, pattern = 0;
        int blockX = 0, scale = 1;
        std::string counter, clock;
    };
    mutable std::array<Drawn, 2> m_drawn;
    mutable size_t m_nextDrawn = 0;
    static inline std::atomic<bool> s_unplugged{false};
};

} // namespace kestrel
