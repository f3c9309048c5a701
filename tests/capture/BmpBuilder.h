#pragma once

// Builds BMP files in memory for the reader tests.

#include "capture/Dib.h"

#include <cstring>
#include <vector>

namespace kestrel::test {

struct BmpShape {
    int width = 4, height = 4, bits = 24;
    uint32_t compression = BI_RGB;
    std::vector<RGBQUAD> palette; // written after the info header
    std::vector<uint8_t> pixels;  // written at the pixel offset as given
    uint32_t headerSize = 40;
    uint32_t clrUsed = 0;   // 0: the palette's size when there is one
    int64_t offset = -1;    // -1: right after the palette
    int64_t sizeImage = -1; // -1: the pixel bytes' length
    uint16_t magic = kBmpMagic;
};

inline std::vector<uint8_t> BuildBmp(const BmpShape& s) {
    BITMAPINFOHEADER ih;
    ih.biSize = s.headerSize;
    ih.biWidth = s.width;
    ih.biHeight = s.height;
    ih.biPlanes = 1;
    ih.biBitCount = static_cast<uint16_t>(s.bits);
    ih.biCompression = s.compression;
    ih.biSizeImage =
        s.sizeImage >= 0 ? static_cast<uint32_t>(s.sizeImage) : static_cast<uint32_t>(s.pixels.size());
    ih.biClrUsed = s.clrUsed ? s.clrUsed : static_cast<uint32_t>(s.palette.size());
    std::vector<uint8_t> out(14);
    std::vector<uint8_t> header(std::max<size_t>(s.headerSize, 40));
    std::memcpy(header.data(), &ih, std::min<size_t>(sizeof ih, header.size()));
    header.resize(s.headerSize);
    out.insert(out.end(), header.begin(), header.end());
    for (const RGBQUAD& q : s.palette) {
        const auto* b = reinterpret_cast<const uint8_t*>(&q);
        out.insert(out.end(), b, b + 4);
    }
    const uint32_t offset =
        s.offset >= 0 ? static_cast<uint32_t>(s.offset) : static_cast<uint32_t>(out.size());
    if (out.size() < offset)
        out.resize(offset, 0);
    out.insert(out.end(), s.pixels.begin(), s.pixels.end());
    BITMAPFILEHEADER fh;
    fh.bfType = s.magic;
    fh.bfSize = static_cast<uint32_t>(out.size());
    fh.bfOffBits = offset;
    std::memcpy(out.data(), &fh, sizeof fh);
    return out;
}

// A bottom-up 24-bit picture whose pixel (x, y) (y from the top) is fn(x, y) as 0x00RRGGBB.
template <typename Fn> std::vector<uint8_t> Pixels24(int w, int h, Fn fn, bool topDown = false) {
    const size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~size_t{3};
    std::vector<uint8_t> px(stride * h, 0);
    for (int y = 0; y < h; ++y) {
        const int memRow = topDown ? y : h - 1 - y;
        for (int x = 0; x < w; ++x) {
            const uint32_t c = fn(x, y);
            uint8_t* p = &px[memRow * stride + 3 * x];
            p[0] = c & 0xFF;
            p[1] = (c >> 8) & 0xFF;
            p[2] = (c >> 16) & 0xFF;
        }
    }
    return px;
}

} // namespace kestrel::test
