#pragma once

// The BMP file layout: the headers as they lie in a file, the rules that size rows and
// colour tables, and pure functions that check, decode and write whole files held in memory.

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

static_assert(std::endian::native == std::endian::little, "BMP headers are read in place as little-endian");

#pragma pack(push, 1)
struct BITMAPFILEHEADER {
    uint16_t bfType = 0;
    uint32_t bfSize = 0;
    uint16_t bfReserved1 = 0;
    uint16_t bfReserved2 = 0;
    uint32_t bfOffBits = 0;
};
struct BITMAPINFOHEADER {
    uint32_t biSize = 0;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 0;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};
struct RGBQUAD {
    uint8_t rgbBlue = 0, rgbGreen = 0, rgbRed = 0, rgbReserved = 0;
};
#pragma pack(pop)
static_assert(sizeof(BITMAPFILEHEADER) == 14 && sizeof(BITMAPINFOHEADER) == 40);

constexpr size_t kBmpFileHeaderSize = sizeof(BITMAPFILEHEADER);
constexpr size_t kBmpInfoHeaderSize = sizeof(BITMAPINFOHEADER);
constexpr uint16_t kBmpMagic = 0x4D42; // "BM"
constexpr uint32_t BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3;
// Pictures wider or taller than this are refused by both readers: no camera frame is
// larger, and a small run-length file claiming more would cost gigabytes to decode.
constexpr int kMaxBmpDimension = 4096;
// Depth mask bits of DecodeBmpFile (and DibBuffer::LoadBmp), one per bit depth.
constexpr unsigned kBmpDepth1 = 0x01, kBmpDepth4 = 0x02, kBmpDepth8 = 0x04, kBmpDepth16 = 0x08,
                   kBmpDepth24 = 0x10, kBmpDepth32 = 0x20, kBmpAllDepths = 63;

// Why a picture file gave no picture.
enum class DibProblem {
    None,
    CannotOpen, // not opened or not a regular file: the errno says why
    TooLarge,   // a side above kMaxBmpDimension pixels
    Unreadable, // not a BMP this program reads
};

// Bytes per row of `width` pixels of `bits` each, padded to 4 bytes; 0 on overflow.
uint64_t DibStride(int64_t width, int bits);
// Colour count: colours used if non-zero, else 2^bits up to 8 bits, else 0.
uint32_t DibColourCount(const BITMAPINFOHEADER& h);
// 1, 4, 8, 16, 24 or 32 bits per pixel.
bool IsKnownBmpDepth(int bits);
// A width of 1 to kMaxBmpDimension and a height of as many rows, either way up.
bool BmpDimensionsAcceptable(int32_t width, int32_t height);

// A header or other fixed-layout value at `offset`, copied out (the bytes need not be aligned).
// The caller has checked that it lies inside `bytes`.
template <typename T> T ReadAt(std::span<const uint8_t> bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

// Whether a whole file is a picture CDib takes: "BM", an info header of 40 bytes or more,
// a known depth with a compression that fits it, a colour table and pixels inside the file.
DibProblem CheckBmpFile(std::span<const uint8_t> file);

// The stricter reader of DibBuffer: a 40-byte info header, no compression or 8-bit run-length
// (decoded here, the result saying compression 0), a depth whose bit is set in `depthMask`.
// On success `header` receives the info header and colour table, `pixels` the rows; on
// failure both are left as they were.
bool DecodeBmpFile(std::span<const uint8_t> file, unsigned depthMask, std::vector<uint8_t>& header,
                   std::vector<uint8_t>& pixels);

// A file of a header block (info header and colour table) and the pixels after it, written
// into `out` (its memory reused).
void WriteBmpFile(std::span<const uint8_t> header, std::span<const uint8_t> pixels,
                  std::vector<uint8_t>& out);

// The picture of a CDib's header block and pixel block as a file whose sizes are recomputed:
// a 40-byte info header, the colour table, and rows of the size the header implies (the
// stored size kept for run-length pictures).
std::vector<uint8_t> NormalisedBmpFile(std::span<const uint8_t> headerBlock,
                                       std::span<const uint8_t> pixelBlock);

// Reads a whole file of no more than the largest picture a reader takes; false when it
// cannot be opened or read (`error` receives the errno).
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, int* error = nullptr);

} // namespace kestrel
