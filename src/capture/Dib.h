#pragma once

#include <QImage>
#include <QRgb>

#include <bit>
#include <cstdint>
#include <memory>
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

constexpr uint16_t kBmpMagic = 0x4D42; // "BM"
constexpr uint32_t BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3;
// Pictures wider or taller than this are refused by both readers: no camera frame is
// larger, and a small run-length file claiming more would cost gigabytes to decode.
constexpr int kMaxBmpDimension = 4096;

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

// A rectangle in picture co-ordinates (top-left origin, right and bottom exclusive).
struct PixelRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

// The drawing surface of frame composition: a top-down 24-bit picture in a QImage of
// Format_BGR888, whose rows are laid out like a top-down 24-bit device-independent bitmap.
using Surface = QImage;
Surface MakeSurface(int width, int height);

// Draws `src` of an uncompressed 24- or 32-bit picture (info header, pixel rows as a
// device-independent bitmap lays them out) into `dst` of the surface, dropping or repeating
// pixels. False, drawing nothing, for any other picture or when `pixels` is too short.
bool DrawBgrRows(Surface& surface, const BITMAPINFOHEADER& header, std::span<const uint8_t> pixels,
                 const PixelRect& dst, const PixelRect& src);

// A picture read from a BMP file, kept as its raw header block and pixel block, drawn
// through a QImage made by the toolkit's own BMP reader.
class CDib {
public:
    CDib() = default;
    CDib(const CDib&) = delete;
    CDib& operator=(const CDib&) = delete;

    // Reads the picture from a file; returns the file length, or 0 when it is not a
    // readable picture (the object is then empty). When the file cannot be opened at all,
    // *openError receives the errno (the caller's "file-open error") and 0 is returned;
    // a folder gives EISDIR, any other file that is not a regular one EINVAL, a file too
    // big for any picture EFBIG.
    size_t Load(const std::string& path, int* openError = nullptr);
    // Reads a whole BMP file held in memory; same result as Load.
    size_t Read(std::span<const uint8_t> file);
    // Takes over a whole BMP file (swapped in without copying); same result as Read. The
    // vector gets the object's previous memory back.
    size_t Adopt(std::vector<uint8_t>& file);
    // Hands the held file bytes over (swapped) and leaves the picture empty.
    void Release(std::vector<uint8_t>& file);
    // The picture as BMP file bytes (header sizes recomputed as the file format says).
    std::vector<uint8_t> Write() const;

    bool IsEmpty() const { return m_file.empty(); }
    // Why the last Load, Read or Adopt gave no picture (None after one that did).
    DibProblem Problem() const { return m_problem; }
    // The info header with the colour table (and whatever precedes the pixels), and the
    // pixel bytes exactly as they follow in the file.
    std::span<const uint8_t> HeaderBlock() const {
        return IsEmpty() ? std::span<const uint8_t>{}
                         : std::span<const uint8_t>(m_file).subspan(14, m_pixelOffset - 14);
    }
    std::span<const uint8_t> PixelBlock() const {
        return IsEmpty() ? std::span<const uint8_t>{}
                         : std::span<const uint8_t>(m_file).subspan(m_pixelOffset);
    }
    void Clear();
    int Width() const;
    int Height() const; // absolute
    uint32_t ColourCount() const;
    uint32_t PaletteSize() const { return 4 * ColourCount(); }
    const BITMAPINFOHEADER* Info() const;
    // The palette entries (red, green, blue from the colour table), empty without one.
    const std::vector<QRgb>& Palette() const { return m_palette; }

    // The decoded picture (Format_RGB32; a 32-bit picture's fourth byte is not alpha);
    // a null image when empty or when the toolkit cannot decode it.
    const QImage& Image() const;

    // Draws `src` of the picture into `dst` of the surface, dropping or repeating pixels
    // (never blending). Returns false when the picture is empty.
    bool Draw(Surface& surface, const PixelRect& dst, const PixelRect& src) const;
    bool Draw(Surface& surface) const;
    // Like Draw, but leaves the surface unchanged wherever the picture's pixel equals
    // `transparent` (0x00BBGGRR) in red, green and blue. The scaled picture and its mask
    // are kept between calls with the same rectangles and colour.
    bool DrawTransparent(Surface& surface, const PixelRect& dst, const PixelRect& src,
                         uint32_t transparent) const;

private:
    static DibProblem Check(std::span<const uint8_t> file);
    size_t Accept();
    bool CreatePalette();
    bool DrawRows(Surface& surface, const PixelRect& dst, const PixelRect& src) const;
    // The whole file: the header block lies between the file header and the pixel offset,
    // the pixel block after it.
    std::vector<uint8_t> m_file;
    size_t m_pixelOffset = 0;
    DibProblem m_problem = DibProblem::None;
    std::vector<QRgb> m_palette;
    mutable QImage m_image;
    mutable bool m_imageMade = false;
    struct Keyed {
        PixelRect dst, src;
        uint32_t colour = 0;
        std::vector<uint8_t> bgr;  // dst-sized scaled picture, 3 bytes per pixel
        std::vector<uint8_t> mask; // 1 where the picture shows, 0 where it is transparent
        bool valid = false;
        struct Run {
            int row, start, length; // in destination pixels from the rectangle's corner
        };
        std::vector<Run> runs; // made from the mask at the first drawing
    };
    mutable Keyed m_keyed;
};

// A header block and pixel block in memory, with a BMP reader limited to chosen depths
// and a smooth resampler.
class DibBuffer {
public:
    // Depth mask bits for LoadBmp.
    static constexpr unsigned kDepth1 = 0x01, kDepth4 = 0x02, kDepth8 = 0x04, kDepth16 = 0x08,
                              kDepth24 = 0x10, kDepth32 = 0x20, kAllDepths = 63;

    DibBuffer() = default;

    bool LoadBmp(const std::string& path, unsigned depthMask);
    // The same reader over a whole file held in memory.
    bool LoadBmpBytes(std::span<const uint8_t> file, unsigned depthMask);
    // Copies a header (info header and colour table) and its pixels. The spans bound what
    // may be read; false (both blocks freed) when they are too short or the header is bad.
    bool CopyFrom(std::span<const uint8_t> header, std::span<const uint8_t> pixels);
    static bool InitHeader(BITMAPINFOHEADER& header, int width, int height, int bits);
    uint32_t Stride() const;
    bool Resize(int newWidth, int newHeight);
    // Resamples another picture (header block and pixels) into this buffer, as Resize
    // would, without copying the source first.
    bool ResizeFrom(std::span<const uint8_t> header, std::span<const uint8_t> pixels, int newWidth,
                    int newHeight);
    void Free();

    bool IsEmpty() const { return m_header.empty(); }
    const BITMAPINFOHEADER* Info() const {
        return m_header.size() >= sizeof(BITMAPINFOHEADER)
                   ? reinterpret_cast<const BITMAPINFOHEADER*>(m_header.data())
                   : nullptr;
    }
    int Width() const { return Info() ? Info()->biWidth : 0; }
    int Height() const { return Info() ? Info()->biHeight : 0; } // signed
    int BitCount() const { return Info() ? Info()->biBitCount : 0; }
    const std::vector<uint8_t>& Header() const { return m_header; }
    const std::vector<uint8_t>& Pixels() const { return m_pixels; }
    // Writable pixels: the content tag is cleared, as the caller may change them.
    std::vector<uint8_t>& Pixels() {
        m_tag = 0;
        return m_pixels;
    }
    // The picture as BMP file bytes (what "save as a BMP" writes). The second form fills
    // `out`, reusing its memory.
    std::vector<uint8_t> ToBmpFile() const;
    void ToBmpFile(std::vector<uint8_t>& out) const;
    // Makes the buffer hold a picture of `header` (no colour table) and returns its pixel
    // block to be filled; the memory of an earlier picture of the same size is reused, and
    // so are its bytes.
    uint8_t* Prepare(const BITMAPINFOHEADER& header);

    // A name the producer of the pixels may give them, so that it can tell later that the
    // buffer still holds exactly what it drew. Every change made through this class
    // (Prepare and writable Pixels included) clears it; copies carry it with the bytes.
    uint64_t ContentTag() const { return m_tag; }
    void SetContentTag(uint64_t tag) { m_tag = tag; }

    // How each block was obtained: 5 = allocated here, 0 = none.
    int HeaderKind() const { return m_header.empty() ? 0 : 5; }
    int PixelKind() const { return m_pixels.empty() ? 0 : 5; }

private:
    std::vector<uint8_t> m_header;
    std::vector<uint8_t> m_pixels;
    uint64_t m_tag = 0;
};

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, int* error = nullptr);

} // namespace kestrel
