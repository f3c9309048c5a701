// Both BMP readers, drawing and resizing on many damaged variants of valid files: every
// outcome must be a clean refusal or a picture that draws and resizes within its bounds
// (run under the sanitizer build to catch stray reads and writes).

#include "BmpBuilder.h"
#include "capture/Dib.h"

#include <gtest/gtest.h>

#include <random>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace kestrel;
using namespace kestrel::test;

namespace {

std::vector<std::vector<uint8_t>> Seeds() {
    std::vector<std::vector<uint8_t>> seeds;
    std::vector<RGBQUAD> palette(256);
    for (int i = 0; i < 256; ++i)
        palette[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7), 0};
    seeds.push_back(BuildBmp({.width = 7, .height = 5, .bits = 24, .pixels = Pixels24(7, 5, [](int x, int y) {
                                                                       return static_cast<uint32_t>(
                                                                           x * 0x102030 + y);
                                                                   })}));
    seeds.push_back(
        BuildBmp({.width = 5, .height = -3, .bits = 32, .pixels = std::vector<uint8_t>(60, 0x55)}));
    seeds.push_back(
        BuildBmp({.width = 9, .height = 4, .bits = 16, .pixels = std::vector<uint8_t>(80, 0x33)}));
    seeds.push_back(BuildBmp(
        {.width = 9, .height = 4, .bits = 8, .palette = palette, .pixels = std::vector<uint8_t>(48, 3)}));
    seeds.push_back(BuildBmp({.width = 9,
                              .height = 4,
                              .bits = 4,
                              .palette = std::vector<RGBQUAD>(palette.begin(), palette.begin() + 16),
                              .pixels = std::vector<uint8_t>(32, 0x12)}));
    seeds.push_back(BuildBmp({.width = 9,
                              .height = 4,
                              .bits = 1,
                              .palette = std::vector<RGBQUAD>(palette.begin(), palette.begin() + 2),
                              .pixels = std::vector<uint8_t>(16, 0xA5)}));
    seeds.push_back(BuildBmp({.width = 6,
                              .height = 4,
                              .bits = 8,
                              .compression = BI_RLE8,
                              .palette = palette,
                              .pixels = {3, 5, 0, 3, 1, 2, 3, 0, 0, 0, 0, 2, 2, 1, 4, 9, 0, 0, 0, 1}}));
    return seeds;
}

} // namespace

TEST(BmpFuzz, DamagedFilesAreRefusedOrDrawnSafely) {
    std::mt19937 rng(20261207);
    const auto seeds = Seeds();
    int accepted = 0, refused = 0;
    for (int round = 0; round < 6000; ++round) {
        std::vector<uint8_t> file = seeds[round % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !file.empty(); ++e) {
            switch (rng() % 4) {
            case 0: // one byte anywhere, mostly in the headers
                file[rng() % std::min<size_t>(file.size(), rng() % 2 ? 60 : file.size())] =
                    static_cast<uint8_t>(rng());
                break;
            case 1: // a header field set to an extreme
            {
                static const size_t fields[] = {2, 10, 14, 18, 22, 28, 30, 34, 46};
                const size_t at = fields[rng() % std::size(fields)];
                const uint32_t values[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 16385, 40, 54};
                const uint32_t v = values[rng() % std::size(values)];
                if (at + 4 <= file.size())
                    std::memcpy(&file[at], &v, at == 28 ? 2 : 4);
                break;
            }
            case 2:
                file.resize(rng() % (file.size() + 1));
                break;
            default:
                file.insert(file.end(), rng() % 64, static_cast<uint8_t>(rng()));
            }
        }
        CDib dib;
        if (dib.Read(file)) {
            ++accepted;
            ASSERT_GT(dib.Width(), 0);
            Surface s = MakeSurface(13, 11);
            dib.Draw(s, {-3, -2, 16, 14}, {0, 0, dib.Width(), dib.Height()});
            dib.DrawTransparent(s, {0, 0, 13, 11}, {0, 0, dib.Width(), dib.Height()}, 0);
        } else {
            ++refused;
            EXPECT_TRUE(dib.IsEmpty());
        }
        DibBuffer buf;
        if (buf.LoadBmpBytes(file, DibBuffer::kAllDepths)) {
            ASSERT_GE(buf.Pixels().size(), static_cast<size_t>(buf.Stride()) * std::abs(buf.Height()));
            ASSERT_TRUE(buf.Resize(1 + static_cast<int>(rng() % 20), 1 + static_cast<int>(rng() % 20)));
            ASSERT_EQ(buf.Pixels().size(), static_cast<size_t>(buf.Stride()) * std::abs(buf.Height()));
        } else {
            EXPECT_TRUE(buf.IsEmpty());
        }
    }
    // Both outcomes were exercised.
    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 100);
}
