#pragma once

// Helpers shared by the capture tests: a temporary web root and a JPEG decoder.

#include <QDir>
#include <QImage>
#include <QTemporaryDir>

#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

namespace kestrel::test {

struct DecodedJpeg {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb; // top row first, R, G, B
    bool ok = false;
    uint32_t At(int x, int y) const {
        const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        return static_cast<uint32_t>(p[0] << 16 | p[1] << 8 | p[2]);
    }
};

// Decodes with the same library the writer uses (errors end the test program loudly).
inline DecodedJpeg DecodeJpeg(const std::string& path) {
    DecodedJpeg out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return out;
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    if (jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK) {
        cinfo.out_color_space = JCS_RGB;
        jpeg_start_decompress(&cinfo);
        out.width = static_cast<int>(cinfo.output_width);
        out.height = static_cast<int>(cinfo.output_height);
        out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = &out.rgb[static_cast<size_t>(cinfo.output_scanline) * out.width * 3];
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
        out.ok = true;
    }
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return out;
}

inline bool Near(uint32_t got, uint32_t want, int tolerance) {
    for (int sh : {0, 8, 16})
        if (std::abs(static_cast<int>((got >> sh) & 0xFF) - static_cast<int>((want >> sh) & 0xFF)) >
            tolerance)
            return false;
    return true;
}

inline bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace kestrel::test
