#include "capture/TestPattern.h"

#include <algorithm>
#include <cstring>

namespace kestrel {

namespace {

// Digits 0-9 and ":" in a 3 x 5 block font, one row per 3-bit group, top row first.
constexpr uint16_t kGlyphs[11] = {075557, 022222, 071747, 071717, 055711, 074717,
                                  074757, 071111, 075757, 075717, 002020};

struct Bgr {
    uint8_t b, g, r;
};
constexpr Bgr kBars[7] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                          {255, 0, 255},   {0, 0, 255},   {255, 0, 0}};

// Bottom-up 24-bit rows of a picture, drawn on with top-left co-ordinates.
struct Rows {
    uint8_t* data;
    size_t stride;
    int w, h;
};

void FillRect(const Rows& img, int x0, int y0, int rw, int rh, Bgr c) {
    const int x1 = std::min(img.w, x0 + rw), y1 = std::min(img.h, y0 + rh);
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    if (x1 <= x0 || y1 <= y0)
        return;
    // The first row pixel by pixel, the others copied from it.
    const size_t bytes = 3 * static_cast<size_t>(x1 - x0);
    uint8_t* const first =
        img.data + static_cast<size_t>(img.h - 1 - y0) * img.stride + 3 * static_cast<size_t>(x0);
    uint8_t* p = first;
    for (int x = x0; x < x1; ++x, p += 3)
        p[0] = c.b, p[1] = c.g, p[2] = c.r;
    for (int y = y0 + 1; y < y1; ++y)
        std::memcpy(img.data + static_cast<size_t>(img.h - 1 - y) * img.stride + 3 * static_cast<size_t>(x0),
                    first, bytes);
}

// Draws `text` (digits and ":") with its top-left corner at (x, y) on a black band.
void DrawDigits(const Rows& img, int x, int y, int scale, const std::string& text) {
    const int advance = 4 * scale;
    FillRect(img, x - scale, y - scale, advance * static_cast<int>(text.size()) + scale, 7 * scale,
             {0, 0, 0});
    for (char ch : text) {
        const int g = ch == ':' ? 10 : ch - '0';
        if (g >= 0 && g <= 10)
            for (int row = 0; row < 5; ++row)
                for (int col = 0; col < 3; ++col)
                    if (kGlyphs[g] >> ((4 - row) * 3 + (2 - col)) & 1)
                        FillRect(img, x + col * scale, y + row * scale, scale, scale, {255, 255, 255});
        x += advance;
    }
}

int IndexOfSize(int w, int h) {
    for (size_t i = 0; i < std::size(TestPatternDevice::kSizes); ++i)
        if (TestPatternDevice::kSizes[i].width == w && TestPatternDevice::kSizes[i].height == h)
            return static_cast<int>(i);
    return TestPatternDevice::kDefaultSize;
}

int IndexOfDepth(int bits) {
    for (size_t i = 0; i < std::size(TestPatternDevice::kDepths); ++i)
        if (TestPatternDevice::kDepths[i] == bits)
            return static_cast<int>(i);
    return TestPatternDevice::kDefaultDepth;
}

const DeviceSetting* FindSetting(const std::vector<DeviceSetting>& list, const std::string& key) {
    for (const auto& s : list)
        if (s.key == key)
            return &s;
    return nullptr;
}

} // namespace

TestPatternDevice::TestPatternDevice(SettingsStore* store) : m_settings(store, kBusInfo) {
    int size = std::clamp(m_settings.Get("Size", kDefaultSize), 0, static_cast<int>(std::size(kSizes)) - 1);
    int depth =
        std::clamp(m_settings.Get("Format", kDefaultDepth), 0, static_cast<int>(std::size(kDepths)) - 1);
    m_width = kSizes[size].width;
    m_height = kSizes[size].height;
    m_bits = kDepths[depth];
    m_pattern = std::clamp(m_settings.Get("Pattern", 0), 0, 1);
}

bool TestPatternDevice::Connect() {
    if (s_unplugged)
        return false;
    BuildBase();
    m_connected = true;
    return true;
}

void TestPatternDevice::SetFormat(int width, int height, int bits) {
    m_width = std::clamp(width, 1, 4096);
    m_height = std::clamp(height, 1, 4096);
    m_bits = (bits == 16 || bits == 32) ? bits : 24;
    BuildBase();
}

void TestPatternDevice::BuildBase() {
    m_drawn = {}; // frames drawn over an earlier background are drawn afresh
    const int w = m_width, h = m_height;
    const size_t stride = DibStride(w, 24);
    m_base.assign(stride * h, 0);
    const Rows img{m_base.data(), stride, w, h};
    if (m_pattern == 1) {
        for (int x = 0; x < w; ++x) {
            const auto v = static_cast<uint8_t>(w > 1 ? x * 255 / (w - 1) : 0);
            FillRect(img, x, 0, 1, h, {v, v, v});
        }
        return;
    }
    const int barsBottom = h * 2 / 3;
    for (int i = 0; i < 7; ++i) {
        const int x0 = i * w / 7, x1 = (i + 1) * w / 7;
        FillRect(img, x0, 0, x1 - x0, barsBottom, kBars[i]);
    }
    for (int x = 0; x < w; ++x) {
        const auto v = static_cast<uint8_t>(w > 1 ? x * 255 / (w - 1) : 0);
        FillRect(img, x, barsBottom, 1, h - barsBottom, {v, v, v});
    }
}

bool TestPatternDevice::TakeFrame(DibBuffer& frame) {
    if (!IsDelivering())
        return false;
    if (!m_still)
        ++m_counter;
    Render(frame, m_counter, m_still ? 0 : std::time(nullptr));
    frame.SetCapturedUs(WallClockUs());
    return true;
}

namespace {

PixelRect Clip(const PixelRect& r, int w, int h) {
    return {std::max(r.left, 0), std::max(r.top, 0), std::min(r.right, w), std::min(r.bottom, h)};
}

// The band DrawDigits blackens for `text`.
PixelRect DigitsBand(int x, int y, int scale, size_t length) {
    const int advance = 4 * scale;
    return {x - scale, y - scale, x - scale + advance * static_cast<int>(length) + scale, y + 6 * scale};
}

std::atomic<uint64_t> s_nextTag{1};

} // namespace

void TestPatternDevice::Render(DibBuffer& frame, uint32_t counter, std::time_t clock) const {
    const int w = m_width, h = m_height;
    const size_t stride24 = DibStride(w, 24);
    if (m_base.size() != stride24 * h)
        const_cast<TestPatternDevice*>(this)->BuildBase();
    BITMAPINFOHEADER ih;
    DibBuffer::InitHeader(ih, w, h, m_bits);

    // What this frame shows over the background.
    Drawn now;
    now.width = w, now.height = h, now.pattern = m_pattern;
    const int bw = std::max(2, w / 8), bh = std::max(2, h / 6);
    const int travel = std::max(1, w - bw);
    now.blockX = static_cast<int>((counter * 4u) % static_cast<uint32_t>(travel));
    now.scale = std::max(1, h / 80);
    now.counter = std::to_string(counter);
    if (clock) {
        std::tm tm{};
        localtime_r(&clock, &tm);
        char text[16];
        std::strftime(text, sizeof text, "%H:%M:%S", &tm);
        now.clock = text;
    }
    auto dirty = [w, h, bw, bh](const Drawn& d) {
        std::vector<PixelRect> rects{{d.blockX, h / 3, d.blockX + bw, h / 3 + bh},
                                     DigitsBand(2 * d.scale, 2 * d.scale, d.scale, d.counter.size())};
        if (!d.clock.empty())
            rects.push_back(DigitsBand(2 * d.scale, h - 7 * d.scale, d.scale, d.clock.size()));
        for (PixelRect& r : rects)
            r = Clip(r, w, h);
        std::erase_if(rects, [](const PixelRect& r) { return r.Width() <= 0 || r.Height() <= 0; });
        return rects;
    };

    // A 24-bit buffer that still holds a frame drawn here gets back the background only
    // where that frame differed from it: a frame costs its changes, not a full copy.
    const Drawn* before = nullptr;
    const DibBuffer& held = frame;
    if (m_bits == 24 && held.ContentTag() != 0 && held.Width() == w && held.Height() == h &&
        held.BitCount() == 24 && held.Pixels().size() == m_base.size())
        for (const Drawn& d : m_drawn)
            if (d.tag == held.ContentTag() && d.width == w && d.height == h && d.pattern == m_pattern)
                before = &d;
    const std::vector<PixelRect> restore = before ? dirty(*before) : std::vector<PixelRect>{};
    uint8_t* out = frame.Prepare(ih);
    // 24-bit frames are drawn in place; other depths are drawn in 24 bits and converted.
    uint8_t* rows = out;
    if (m_bits != 24) {
        m_work.resize(m_base.size());
        rows = m_work.data();
    }
    if (before) {
        for (const PixelRect& r : restore)
            for (int y = r.top; y < r.bottom; ++y) {
                const size_t at = static_cast<size_t>(h - 1 - y) * stride24 + 3 * static_cast<size_t>(r.left);
                std::memcpy(rows + at, m_base.data() + at, 3 * static_cast<size_t>(r.Width()));
            }
    } else {
        std::memcpy(rows, m_base.data(), m_base.size());
    }
    const Rows img{rows, stride24, w, h};
    // The block crosses the picture left to right, four pixels a frame.
    FillRect(img, now.blockX, h / 3, bw, bh, {40, 40, 40});
    DrawDigits(img, 2 * now.scale, 2 * now.scale, now.scale, now.counter);
    if (!now.clock.empty())
        DrawDigits(img, 2 * now.scale, h - 7 * now.scale, now.scale, now.clock);
    if (m_bits == 24) {
        now.tag = s_nextTag.fetch_add(1);
        frame.SetContentTag(now.tag);
        // The capture window keeps a grabbed and a preview frame: two are remembered.
        m_drawn[m_nextDrawn] = std::move(now);
        m_nextDrawn = (m_nextDrawn + 1) % m_drawn.size();
        return;
    }
    const size_t stride = DibStride(w, m_bits);
    for (int y = 0; y < h; ++y) {
        const uint8_t* in = rows + y * stride24;
        uint8_t* o = out + y * stride;
        if (m_bits == 32) {
            for (int x = 0; x < w; ++x)
                o[4 * x] = in[3 * x], o[4 * x + 1] = in[3 * x + 1], o[4 * x + 2] = in[3 * x + 2],
                      o[4 * x + 3] = 0;
        } else {
            for (int x = 0; x < w; ++x) {
                const uint16_t v = static_cast<uint16_t>(((in[3 * x + 2] >> 3) << 10) |
                                                         ((in[3 * x + 1] >> 3) << 5) | (in[3 * x] >> 3));
                std::memcpy(o + 2 * x, &v, 2);
            }
            if (stride > 2u * w)
                std::memset(o + 2 * w, 0, stride - 2u * w);
        }
    }
}

std::vector<DeviceSetting> TestPatternDevice::FormatSettings() const {
    DeviceSetting size{"Size", "Size", DeviceSetting::Kind::Choice,    0,
                       0,      1,      IndexOfSize(m_width, m_height), kDefaultSize,
                       {}};
    for (const auto& s : kSizes)
        size.choices.push_back(std::to_string(s.width) + " x " + std::to_string(s.height));
    size.maximum = static_cast<int>(size.choices.size()) - 1;
    DeviceSetting depth{"Format",
                        "Pixel format",
                        DeviceSetting::Kind::Choice,
                        0,
                        2,
                        1,
                        IndexOfDepth(m_bits),
                        kDefaultDepth,
                        {"16-bit RGB 5-5-5", "24-bit RGB", "32-bit RGB"}};
    return {size, depth};
}

bool TestPatternDevice::ApplyFormatSettings(const std::vector<DeviceSetting>& settings) {
    const DeviceSetting* size = FindSetting(settings, "Size");
    const DeviceSetting* depth = FindSetting(settings, "Format");
    const int si = std::clamp(size ? size->value : IndexOfSize(m_width, m_height), 0,
                              static_cast<int>(std::size(kSizes)) - 1);
    const int di = std::clamp(depth ? depth->value : IndexOfDepth(m_bits), 0, 2);
    SetFormat(kSizes[si].width, kSizes[si].height, kDepths[di]);
    m_settings.Set("Size", si);
    m_settings.Set("Format", di);
    return true;
}

std::vector<DeviceSetting> TestPatternDevice::SourceSettings() const {
    return {
        {"Pattern",
         "Pattern",
         DeviceSetting::Kind::Choice,
         0,
         1,
         1,
         m_pattern,
         0,
         {"Colour bars", "Grey ramp"}},
        {"Still", "Still picture (for tests)", DeviceSetting::Kind::Check, 0, 1, 1, m_still ? 1 : 0, 0, {}}};
}

bool TestPatternDevice::ApplySourceSettings(const std::vector<DeviceSetting>& settings) {
    if (const DeviceSetting* p = FindSetting(settings, "Pattern")) {
        m_pattern = std::clamp(p->value, 0, 1);
        m_settings.Set("Pattern", m_pattern);
    }
    if (const DeviceSetting* s = FindSetting(settings, "Still"))
        m_still = s->value != 0;
    BuildBase();
    return true;
}

} // namespace kestrel
