#pragma once

#include <chrono>

// The two picture classes: CDib, a BMP file kept whole and drawn onto a surface, and
// DibBuffer, a header block and pixel block with a strict reader and a smooth resampler.
// The file layout is in BmpFormat, drawing in DibDraw.cpp, resampling in DibResample.cpp.

#include "capture/BmpFormat.h"
#include "capture/Surface.h"

#include <QImage>
#include <QRgb>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

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
    // The surface rows that DrawTransparent with the same arguments writes.
    RowSpan TransparentRows(const PixelRect& dst, const PixelRect& src, uint32_t transparent) const;

private:
    size_t Accept();
    bool CreatePalette();
    bool DrawRows(Surface& surface, const PixelRect& dst, const PixelRect& src) const;
    // Scales the picture for DrawTransparent once per set of arguments and finds its runs.
    void PrepareKeyed(const QImage& img, const PixelRect& dst, const PixelRect& src,
                      uint32_t transparent) const;
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
// The wall clock in microseconds since the epoch, as pictures are stamped when taken.
inline int64_t WallClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class DibBuffer {
public:
    // Depth mask bits for LoadBmp.
    static constexpr unsigned kDepth1 = kBmpDepth1, kDepth4 = kBmpDepth4, kDepth8 = kBmpDepth8,
                              kDepth16 = kBmpDepth16, kDepth24 = kBmpDepth24, kDepth32 = kBmpDepth32,
                              kAllDepths = kBmpAllDepths;

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
    // Resamples a picture given as its rows, top to bottom, each `width` pixels of blue,
    // green and red, into a top-down 24-bit picture in this buffer.
    bool ResizeFromRows(std::span<const uint8_t* const> rows, int width, int newWidth, int newHeight);
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

    // When the camera handed over the picture, in microseconds since the epoch (0: not
    // known). Set by the device side; CopyFrom does not carry it.
    int64_t CapturedUs() const { return m_capturedUs; }
    void SetCapturedUs(int64_t us) { m_capturedUs = us; }

    // How each block was obtained: 5 = allocated here, 0 = none.
    int HeaderKind() const { return m_header.empty() ? 0 : 5; }
    int PixelKind() const { return m_pixels.empty() ? 0 : 5; }

private:
    std::vector<uint8_t> m_header;
    std::vector<uint8_t> m_pixels;
    uint64_t m_tag = 0;
    int64_t m_capturedUs = 0;
};

} // namespace kestrel
