#include "capture/BmpFormat.h"

#include "platform/RegularFile.h"

#include <algorithm>
#include <cstdlib>

namespace kestrel {

namespace {

// The largest picture a reader takes (4096 x 4096 at 32 bits) with room for its headers;
// bigger files are refused before reading.
constexpr size_t kMaxBmpFileBytes = 4096ull * 4096 * 4 + 65536;

unsigned DepthMaskBit(int bits) {
    switch (bits) {
    case 1:
        return kBmpDepth1;
    case 4:
        return kBmpDepth4;
    case 8:
        return kBmpDepth8;
    case 16:
        return kBmpDepth16;
    case 24:
        return kBmpDepth24;
    case 32:
        return kBmpDepth32;
    default:
        return 0;
    }
}

// Whether a compression value belongs to the depth: run-length 8 only at 8 bits,
// run-length 4 only at 4, colour masks only at 16 and 32. Anything else (JPEG or PNG
// inside the file among them) is no picture this program draws.
bool CompressionFitsDepth(uint32_t compression, int bits) {
    switch (compression) {
    case BI_RGB:
        return true;
    case BI_RLE8:
        return bits == 8;
    case BI_RLE4:
        return bits == 4;
    case BI_BITFIELDS:
        return bits == 16 || bits == 32;
    default:
        return false;
    }
}

} // namespace

uint64_t DibStride(int64_t width, int bits) {
    if (width < 0 || bits <= 0)
        return 0;
    return ((static_cast<uint64_t>(width) * static_cast<uint64_t>(bits) + 31) / 32) * 4;
}

uint32_t DibColourCount(const BITMAPINFOHEADER& h) {
    if (h.biClrUsed != 0)
        return h.biClrUsed;
    switch (h.biBitCount) {
    case 1:
        return 2;
    case 4:
        return 16;
    case 8:
        return 256;
    default:
        return 0;
    }
}

bool IsKnownBmpDepth(int bits) {
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

bool BmpDimensionsAcceptable(int32_t width, int32_t height) {
    if (width < 1 || width > kMaxBmpDimension)
        return false;
    if (height == 0 || height < -kMaxBmpDimension || height > kMaxBmpDimension)
        return false;
    return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, int* error) {
    const int err = ReadRegularFile(path, bytes, kMaxBmpFileBytes);
    if (err && error)
        *error = err;
    return err == 0;
}

DibProblem CheckBmpFile(std::span<const uint8_t> file) {
    constexpr DibProblem bad = DibProblem::Unreadable;
    if (file.size() < kBmpFileHeaderSize)
        return bad;
    auto fh = ReadAt<BITMAPFILEHEADER>(file, 0);
    if (fh.bfType != kBmpMagic)
        return bad;
    // The pixels start after the info header and inside the file.
    if (fh.bfOffBits < kBmpFileHeaderSize + kBmpInfoHeaderSize || fh.bfOffBits > file.size())
        return bad;
    std::span<const uint8_t> header = file.subspan(kBmpFileHeaderSize, fh.bfOffBits - kBmpFileHeaderSize);
    std::span<const uint8_t> pixels = file.subspan(fh.bfOffBits);
    auto ih = ReadAt<BITMAPINFOHEADER>(header, 0);
    if (ih.biSize < kBmpInfoHeaderSize || ih.biSize > header.size())
        return bad;
    if (ih.biWidth < 1 || ih.biHeight == 0 || ih.biHeight == INT32_MIN)
        return bad;
    if (!BmpDimensionsAcceptable(ih.biWidth, ih.biHeight))
        return DibProblem::TooLarge;
    if (!IsKnownBmpDepth(ih.biBitCount) || !CompressionFitsDepth(ih.biCompression, ih.biBitCount))
        return bad;
    // A colour table longer than the depth can index is no table of this picture.
    if (DibColourCount(ih) > (1ull << ih.biBitCount))
        return bad;
    uint64_t tableStart = ih.biSize;
    if (ih.biCompression == BI_BITFIELDS && ih.biSize == kBmpInfoHeaderSize)
        tableStart += 12; // the three colour masks
    if (tableStart + 4ull * DibColourCount(ih) > header.size())
        return bad;
    const uint64_t rowsNeed =
        DibStride(ih.biWidth, ih.biBitCount) * static_cast<uint64_t>(std::abs(ih.biHeight));
    if (ih.biCompression == BI_RGB || ih.biCompression == BI_BITFIELDS) {
        if (pixels.size() < rowsNeed)
            return bad;
    } else if (pixels.empty() || pixels.size() < ih.biSizeImage) {
        return bad;
    }
    return DibProblem::None;
}

bool DecodeBmpFile(std::span<const uint8_t> file, unsigned depthMask, std::vector<uint8_t>& headerOut,
                   std::vector<uint8_t>& pixelsOut) {
    if (file.size() < kBmpFileHeaderSize + kBmpInfoHeaderSize)
        return false;
    auto fh = ReadAt<BITMAPFILEHEADER>(file, 0);
    auto ih = ReadAt<BITMAPINFOHEADER>(file, kBmpFileHeaderSize);
    if (fh.bfType != kBmpMagic || ih.biSize != kBmpInfoHeaderSize)
        return false;
    if (ih.biCompression != BI_RGB && ih.biCompression != BI_RLE8)
        return false;
    if (ih.biCompression == BI_RLE8 && ih.biBitCount != 8)
        return false;
    if (!IsKnownBmpDepth(ih.biBitCount) || !(DepthMaskBit(ih.biBitCount) & depthMask))
        return false;
    if (!BmpDimensionsAcceptable(ih.biWidth, ih.biHeight))
        return false;
    const uint64_t stride = DibStride(ih.biWidth, ih.biBitCount);
    const uint64_t imageSize = stride * static_cast<uint64_t>(std::abs(ih.biHeight));
    if (imageSize == 0 || imageSize > UINT32_MAX)
        return false;
    const uint32_t compressedSize = ih.biSizeImage;
    uint32_t colours = 0;
    if (ih.biBitCount <= 8) {
        const uint32_t most = 1u << ih.biBitCount;
        colours = ih.biClrUsed ? std::min(ih.biClrUsed, most) : most;
    }
    ih.biSizeImage = static_cast<uint32_t>(imageSize);
    ih.biClrUsed = colours;
    const size_t tableStart = kBmpFileHeaderSize + kBmpInfoHeaderSize;
    const size_t tableEnd = tableStart + 4ull * colours;
    if (tableEnd > file.size())
        return false;
    size_t pos = tableEnd;
    if (fh.bfOffBits != 0) {
        // Pixels never start inside the headers or past the end of the file.
        if (fh.bfOffBits < tableEnd || fh.bfOffBits > file.size())
            return false;
        pos = fh.bfOffBits;
    }

    std::vector<uint8_t> pixels;
    if (ih.biCompression == BI_RGB) {
        if (file.size() - pos < imageSize)
            return false;
        pixels.assign(file.begin() + pos, file.begin() + pos + imageSize);
    } else {
        // A stored size of 0 leaves the compressed length to the end of the file.
        const size_t packed = compressedSize ? compressedSize : file.size() - pos;
        if (file.size() - pos < packed)
            return false;
        std::span<const uint8_t> in = file.subspan(pos, packed);
        pixels.assign(imageSize, 0);
        const uint32_t rows = static_cast<uint32_t>(std::abs(ih.biHeight));
        const uint32_t width = static_cast<uint32_t>(ih.biWidth);
        uint32_t x = 0, y = 0;
        size_t i = 0;
        auto put = [&](uint8_t v) {
            if (x < width && y < rows)
                pixels[y * stride + x] = v;
            ++x;
        };
        while (i + 2 <= in.size() && y < rows) {
            const uint8_t n = in[i], v = in[i + 1];
            i += 2;
            if (n > 0) {
                for (int k = 0; k < n; ++k)
                    put(v);
            } else if (v == 0) {
                x = 0;
                ++y;
            } else if (v == 1) {
                break;
            } else if (v == 2) {
                if (i + 2 > in.size())
                    break;
                x += in[i];
                y += in[i + 1];
                i += 2;
            } else {
                if (i + v > in.size())
                    break; // a literal run that leaves the input ends the picture
                for (int k = 0; k < v; ++k)
                    put(in[i + k]);
                i += v + (v & 1);
            }
        }
        ih.biCompression = BI_RGB;
    }
    headerOut.resize(kBmpInfoHeaderSize + 4ull * colours);
    std::memcpy(headerOut.data(), &ih, kBmpInfoHeaderSize);
    if (colours)
        std::memcpy(headerOut.data() + kBmpInfoHeaderSize, file.data() + tableStart, 4ull * colours);
    pixelsOut = std::move(pixels);
    return true;
}

void WriteBmpFile(std::span<const uint8_t> header, std::span<const uint8_t> pixels,
                  std::vector<uint8_t>& out) {
    out.resize(kBmpFileHeaderSize + header.size() + pixels.size());
    BITMAPFILEHEADER fh;
    fh.bfType = kBmpMagic;
    fh.bfSize = static_cast<uint32_t>(out.size());
    fh.bfOffBits = static_cast<uint32_t>(kBmpFileHeaderSize + header.size());
    std::memcpy(out.data(), &fh, sizeof fh);
    if (!header.empty())
        std::memcpy(out.data() + kBmpFileHeaderSize, header.data(), header.size());
    if (!pixels.empty())
        std::memcpy(out.data() + kBmpFileHeaderSize + header.size(), pixels.data(), pixels.size());
}

std::vector<uint8_t> NormalisedBmpFile(std::span<const uint8_t> headerBlock,
                                       std::span<const uint8_t> pixelBlock) {
    if (headerBlock.size() < kBmpInfoHeaderSize)
        return {};
    BITMAPINFOHEADER ih = ReadAt<BITMAPINFOHEADER>(headerBlock, 0);
    const uint32_t headerSize = ih.biSize;
    const uint32_t colours = DibColourCount(ih);
    ih.biSize = kBmpInfoHeaderSize; // the written header is the 40-byte one
    const uint64_t stride = DibStride(ih.biWidth, ih.biBitCount);
    if (ih.biCompression != BI_RLE8 && ih.biCompression != BI_RLE4)
        ih.biSizeImage = static_cast<uint32_t>(stride * static_cast<uint64_t>(std::abs(ih.biHeight)));
    std::vector<uint8_t> header(kBmpInfoHeaderSize + 4ull * colours);
    std::memcpy(header.data(), &ih, kBmpInfoHeaderSize);
    // The colour table follows the info header in the stored block.
    size_t tableBytes = std::min<size_t>(
        4ull * colours, headerBlock.size() - std::min<size_t>(headerBlock.size(), headerSize));
    if (tableBytes)
        std::memcpy(header.data() + kBmpInfoHeaderSize, headerBlock.data() + headerSize, tableBytes);
    std::vector<uint8_t> pixels(pixelBlock.begin(),
                                pixelBlock.begin() + std::min<size_t>(pixelBlock.size(), ih.biSizeImage));
    pixels.resize(ih.biSizeImage, 0);
    std::vector<uint8_t> out;
    WriteBmpFile(header, pixels, out);
    return out;
}

} // namespace kestrel
