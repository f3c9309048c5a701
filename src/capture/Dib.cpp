#include "capture/Dib.h"

#include "platform/RegularFile.h"

#include <QBuffer>
#include <QByteArray>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrel {

namespace {

constexpr size_t kFileHeaderSize = sizeof(BITMAPFILEHEADER);
constexpr size_t kInfoHeaderSize = sizeof(BITMAPINFOHEADER);
// The largest picture a reader takes (4096 x 4096 at 32 bits) with room for its headers;
// bigger files are refused before reading.
constexpr size_t kMaxBmpFileBytes = 4096ull * 4096 * 4 + 65536;

bool IsKnownDepth(int bits) {
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

unsigned DepthMaskBit(int bits) {
    switch (bits) {
    case 1:
        return DibBuffer::kDepth1;
    case 4:
        return DibBuffer::kDepth4;
    case 8:
        return DibBuffer::kDepth8;
    case 16:
        return DibBuffer::kDepth16;
    case 24:
        return DibBuffer::kDepth24;
    case 32:
        return DibBuffer::kDepth32;
    default:
        return 0;
    }
}

template <typename T> T ReadAt(std::span<const uint8_t> bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

bool DimensionsAcceptable(int32_t width, int32_t height) {
    if (width < 1 || width > kMaxBmpDimension)
        return false;
    if (height == 0 || height < -kMaxBmpDimension || height > kMaxBmpDimension)
        return false;
    return true;
}

std::vector<uint8_t> MakeBmpFile(const std::vector<uint8_t>& header, const std::vector<uint8_t>& pixels) {
    std::vector<uint8_t> out(kFileHeaderSize + header.size() + pixels.size());
    BITMAPFILEHEADER fh;
    fh.bfType = kBmpMagic;
    fh.bfSize = static_cast<uint32_t>(out.size());
    fh.bfOffBits = static_cast<uint32_t>(kFileHeaderSize + header.size());
    std::memcpy(out.data(), &fh, sizeof fh);
    if (!header.empty())
        std::memcpy(out.data() + kFileHeaderSize, header.data(), header.size());
    if (!pixels.empty())
        std::memcpy(out.data() + kFileHeaderSize + header.size(), pixels.data(), pixels.size());
    return out;
}

// Nearest-neighbour column map: destination column i of `dstW` takes source column
// map[i] of a `srcW`-wide source rectangle starting at `srcLeft`.
std::vector<int> NearestMap(int dstW, int srcLeft, int srcW) {
    std::vector<int> map(static_cast<size_t>(std::max(dstW, 0)));
    if (dstW == srcW) { // unscaled: no division needed
        for (int i = 0; i < dstW; ++i)
            map[i] = srcLeft + i;
        return map;
    }
    for (int i = 0; i < dstW; ++i)
        map[i] = srcLeft + static_cast<int>((static_cast<int64_t>(i) * srcW) / dstW);
    return map;
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

Surface MakeSurface(int width, int height) {
    Surface s(width, height, QImage::Format_BGR888);
    s.fill(Qt::black);
    return s;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, int* error) {
    const int err = ReadRegularFile(path, bytes, kMaxBmpFileBytes);
    if (err && error)
        *error = err;
    return err == 0;
}

// ---------------------------------------------------------------------------------------------
// CDib

void CDib::Clear() {
    m_problem = DibProblem::None;
    m_file.clear();
    m_pixelOffset = 0;
    m_palette.clear();
    m_image = QImage();
    m_imageMade = false;
    m_keyed = Keyed{};
}

size_t CDib::Load(const std::string& path, int* openError) {
    Clear();
    std::vector<uint8_t> bytes;
    int err = 0;
    if (!ReadWholeFile(path, bytes, &err)) {
        if (openError)
            *openError = err;
        m_problem = DibProblem::CannotOpen;
        return 0;
    }
    return Adopt(bytes);
}

size_t CDib::Read(std::span<const uint8_t> file) {
    Clear();
    m_problem = Check(file);
    if (m_problem != DibProblem::None)
        return 0;
    m_file.assign(file.begin(), file.end());
    return Accept();
}

size_t CDib::Adopt(std::vector<uint8_t>& file) {
    Clear();
    m_problem = Check(file);
    if (m_problem != DibProblem::None)
        return 0;
    m_file.swap(file);
    return Accept();
}

void CDib::Release(std::vector<uint8_t>& file) {
    file.swap(m_file);
    Clear();
}

size_t CDib::Accept() {
    m_pixelOffset = ReadAt<BITMAPFILEHEADER>(m_file, 0).bfOffBits;
    CreatePalette();
    return m_file.size();
}

namespace {

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

DibProblem CDib::Check(std::span<const uint8_t> file) {
    constexpr DibProblem bad = DibProblem::Unreadable;
    if (file.size() < kFileHeaderSize)
        return bad;
    auto fh = ReadAt<BITMAPFILEHEADER>(file, 0);
    if (fh.bfType != kBmpMagic)
        return bad;
    // The pixels start after the info header and inside the file.
    if (fh.bfOffBits < kFileHeaderSize + kInfoHeaderSize || fh.bfOffBits > file.size())
        return bad;
    std::span<const uint8_t> header = file.subspan(kFileHeaderSize, fh.bfOffBits - kFileHeaderSize);
    std::span<const uint8_t> pixels = file.subspan(fh.bfOffBits);
    auto ih = ReadAt<BITMAPINFOHEADER>(header, 0);
    if (ih.biSize < kInfoHeaderSize || ih.biSize > header.size())
        return bad;
    if (ih.biWidth < 1 || ih.biHeight == 0 || ih.biHeight == INT32_MIN)
        return bad;
    if (!DimensionsAcceptable(ih.biWidth, ih.biHeight))
        return DibProblem::TooLarge;
    if (!IsKnownDepth(ih.biBitCount) || !CompressionFitsDepth(ih.biCompression, ih.biBitCount))
        return bad;
    // A colour table longer than the depth can index is no table of this picture.
    if (DibColourCount(ih) > (1ull << ih.biBitCount))
        return bad;
    uint64_t tableStart = ih.biSize;
    if (ih.biCompression == BI_BITFIELDS && ih.biSize == kInfoHeaderSize)
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

std::vector<uint8_t> CDib::Write() const {
    if (IsEmpty())
        return {};
    BITMAPINFOHEADER ih = *Info();
    const uint32_t headerSize = ih.biSize;
    ih.biSize = kInfoHeaderSize; // the written header is the 40-byte one
    const uint32_t colours = ColourCount();
    const uint64_t stride = DibStride(ih.biWidth, ih.biBitCount);
    if (ih.biCompression != BI_RLE8 && ih.biCompression != BI_RLE4)
        ih.biSizeImage = static_cast<uint32_t>(stride * static_cast<uint64_t>(std::abs(ih.biHeight)));
    std::vector<uint8_t> header(kInfoHeaderSize + 4ull * colours);
    std::memcpy(header.data(), &ih, kInfoHeaderSize);
    // The colour table follows the info header in the stored block.
    size_t tableBytes = std::min<size_t>(
        4ull * colours, HeaderBlock().size() - std::min<size_t>(HeaderBlock().size(), headerSize));
    if (tableBytes)
        std::memcpy(header.data() + kInfoHeaderSize, HeaderBlock().data() + headerSize, tableBytes);
    const auto block = PixelBlock();
    std::vector<uint8_t> pixels(block.begin(),
                                block.begin() + std::min<size_t>(block.size(), ih.biSizeImage));
    pixels.resize(ih.biSizeImage, 0);
    return MakeBmpFile(header, pixels);
}

const BITMAPINFOHEADER* CDib::Info() const {
    return m_file.size() >= kFileHeaderSize + kInfoHeaderSize
               ? reinterpret_cast<const BITMAPINFOHEADER*>(m_file.data() + kFileHeaderSize)
               : nullptr;
}

int CDib::Width() const {
    return Info() ? Info()->biWidth : 0;
}
int CDib::Height() const {
    return Info() ? std::abs(Info()->biHeight) : 0;
}
uint32_t CDib::ColourCount() const {
    return Info() ? DibColourCount(*Info()) : 0;
}

bool CDib::CreatePalette() {
    m_palette.clear();
    const uint32_t count = ColourCount();
    if (count == 0)
        return true;
    const BITMAPINFOHEADER* ih = Info();
    const size_t start =
        ih->biSize + ((ih->biCompression == BI_BITFIELDS && ih->biSize == kInfoHeaderSize) ? 12 : 0);
    const auto header = HeaderBlock();
    for (uint32_t i = 0; i < count && start + 4ull * i + 4 <= header.size(); ++i) {
        const uint8_t* q = header.data() + start + 4ull * i;
        m_palette.push_back(qRgb(q[2], q[1], q[0]));
    }
    return true;
}

const QImage& CDib::Image() const {
    if (m_imageMade)
        return m_image;
    m_imageMade = true;
    if (IsEmpty())
        return m_image;
    const BITMAPINFOHEADER* ih = Info();
    std::span<const uint8_t> file(m_file);
    std::vector<uint8_t> expanded;
    if (ih->biCompression == BI_RLE8 || ih->biCompression == BI_RLE4) {
        // The toolkit's run-length decoder leaves the pixels that deltas and early line ends
        // skip uninitialised; our own reader sets them to colour 0, so every pixel is defined.
        DibBuffer plain;
        if (!plain.LoadBmpBytes(m_file, DibBuffer::kAllDepths))
            return m_image;
        plain.ToBmpFile(expanded);
        file = expanded;
    }
    QImage decoded = QImage::fromData(file.data(), static_cast<int>(file.size()), "BMP");
    if (decoded.isNull())
        return m_image;
    if (ih->biBitCount == 32 && ih->biCompression == BI_RGB && decoded.hasAlphaChannel() &&
        decoded.format() == QImage::Format_ARGB32) {
        // The fourth byte of a plain 32-bit picture is unused, not alpha: keep the colours.
        QImage raw(decoded.constBits(), decoded.width(), decoded.height(), decoded.bytesPerLine(),
                   QImage::Format_RGB32);
        m_image = raw.copy();
    } else {
        m_image = decoded.convertToFormat(QImage::Format_RGB32);
    }
    return m_image;
}

bool CDib::Draw(Surface& surface) const {
    return Draw(surface, {0, 0, Width(), Height()}, {0, 0, Width(), Height()});
}

bool CDib::DrawRows(Surface& surface, const PixelRect& dst, const PixelRect& src) const {
    return DrawBgrRows(surface, *Info(), PixelBlock(), dst, src);
}

bool DrawBgrRows(Surface& surface, const BITMAPINFOHEADER& ih, std::span<const uint8_t> pixels,
                 const PixelRect& dst, const PixelRect& src) {
    if ((ih.biBitCount != 24 && ih.biBitCount != 32) || ih.biCompression != BI_RGB || ih.biWidth <= 0 ||
        ih.biHeight == 0 || ih.biHeight == INT32_MIN || dst.Width() <= 0 || dst.Height() <= 0 ||
        src.Width() <= 0 || src.Height() <= 0)
        return false;
    const int bpp = ih.biBitCount / 8;
    const int w = ih.biWidth, h = std::abs(ih.biHeight);
    const size_t stride = DibStride(w, ih.biBitCount);
    if (pixels.size() < stride * static_cast<size_t>(h))
        return false;
    const std::vector<int> xs = NearestMap(dst.Width(), src.left, src.Width());
    const int x0 = std::max(dst.left, 0), x1 = std::min(dst.right, surface.width());
    const int y0 = std::max(dst.top, 0), y1 = std::min(dst.bottom, surface.height());
    // Columns that stay inside the picture (the map only grows).
    int first = x0, last = x1;
    while (first < last && xs[first - dst.left] < 0)
        ++first;
    while (last > first && xs[last - 1 - dst.left] >= w)
        --last;
    const bool unscaled = dst.Width() == src.Width();
    uint8_t* const bits = surface.bits(); // once: every scanLine call would check for sharing
    const qsizetype bytesPerLine = surface.bytesPerLine();
    for (int y = y0; y < y1; ++y) {
        const int sy =
            src.top + static_cast<int>((static_cast<int64_t>(y - dst.top) * src.Height()) / dst.Height());
        if (sy < 0 || sy >= h)
            continue;
        const uint8_t* in = pixels.data() + stride * static_cast<size_t>(ih.biHeight > 0 ? h - 1 - sy : sy);
        uint8_t* out = bits + y * bytesPerLine;
        if (unscaled && bpp == 3) {
            if (last > first)
                std::memcpy(out + 3 * first, in + 3 * static_cast<size_t>(xs[first - dst.left]),
                            3 * static_cast<size_t>(last - first));
            continue;
        }
        for (int x = first; x < last; ++x) {
            const uint8_t* p = in + static_cast<size_t>(xs[x - dst.left]) * bpp;
            uint8_t* o = out + 3 * x;
            o[0] = p[0], o[1] = p[1], o[2] = p[2];
        }
    }
    return true;
}

bool CDib::Draw(Surface& surface, const PixelRect& dst, const PixelRect& src) const {
    if (IsEmpty() || dst.Width() <= 0 || dst.Height() <= 0 || src.Width() <= 0 || src.Height() <= 0)
        return false;
    const BITMAPINFOHEADER* ih = Info();
    // Plain 24- and 32-bit rows are already blue, green, red: copied straight from the
    // pixel block. Everything else goes through the toolkit's reader.
    if ((ih->biBitCount == 24 || ih->biBitCount == 32) && ih->biCompression == BI_RGB)
        return DrawRows(surface, dst, src);
    const QImage& img = Image();
    if (img.isNull())
        return false;
    const std::vector<int> xs = NearestMap(dst.Width(), src.left, src.Width());
    const int x0 = std::max(dst.left, 0), x1 = std::min(dst.right, surface.width());
    const int y0 = std::max(dst.top, 0), y1 = std::min(dst.bottom, surface.height());
    for (int y = y0; y < y1; ++y) {
        const int sy =
            src.top + static_cast<int>((static_cast<int64_t>(y - dst.top) * src.Height()) / dst.Height());
        if (sy < 0 || sy >= img.height())
            continue;
        const auto* in = reinterpret_cast<const QRgb*>(img.constScanLine(sy));
        uint8_t* out = surface.scanLine(y);
        for (int x = x0; x < x1; ++x) {
            const int sx = xs[x - dst.left];
            if (sx < 0 || sx >= img.width())
                continue;
            const QRgb p = in[sx];
            uint8_t* o = out + 3 * x;
            o[0] = static_cast<uint8_t>(qBlue(p));
            o[1] = static_cast<uint8_t>(qGreen(p));
            o[2] = static_cast<uint8_t>(qRed(p));
        }
    }
    return true;
}

bool CDib::DrawTransparent(Surface& surface, const PixelRect& dst, const PixelRect& src,
                           uint32_t transparent) const {
    const QImage& img = Image();
    if (img.isNull())
        return false;
    if (dst.Width() <= 0 || dst.Height() <= 0 || src.Width() <= 0 || src.Height() <= 0)
        return true;
    auto same = [](const PixelRect& a, const PixelRect& b) {
        return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
    };
    if (!m_keyed.valid || !same(m_keyed.dst, dst) || !same(m_keyed.src, src) ||
        m_keyed.colour != transparent) {
        // Scale once and remember which pixels show; later frames only copy.
        const size_t w = static_cast<size_t>(dst.Width()), h = static_cast<size_t>(dst.Height());
        m_keyed = Keyed{dst,  src, transparent, std::vector<uint8_t>(w * h * 3), std::vector<uint8_t>(w * h),
                        true, {}};
        const std::vector<int> xs = NearestMap(dst.Width(), src.left, src.Width());
        const int tr = transparent & 0xFF, tg = (transparent >> 8) & 0xFF, tb = (transparent >> 16) & 0xFF;
        for (size_t j = 0; j < h; ++j) {
            const int sy =
                src.top + static_cast<int>((static_cast<int64_t>(j) * src.Height()) / dst.Height());
            if (sy < 0 || sy >= img.height())
                continue;
            const auto* in = reinterpret_cast<const QRgb*>(img.constScanLine(sy));
            for (size_t i = 0; i < w; ++i) {
                const int sx = xs[i];
                if (sx < 0 || sx >= img.width())
                    continue;
                const QRgb p = in[sx];
                if (qRed(p) == tr && qGreen(p) == tg && qBlue(p) == tb)
                    continue;
                uint8_t* o = &m_keyed.bgr[(j * w + i) * 3];
                o[0] = static_cast<uint8_t>(qBlue(p));
                o[1] = static_cast<uint8_t>(qGreen(p));
                o[2] = static_cast<uint8_t>(qRed(p));
                m_keyed.mask[j * w + i] = 1;
            }
        }
    }
    if (m_keyed.runs.empty() && !m_keyed.mask.empty()) {
        // The showing pixels as runs per row, so that each frame only copies.
        const int w = dst.Width();
        for (int j = 0; j < dst.Height(); ++j) {
            const uint8_t* mask = m_keyed.mask.data() + static_cast<size_t>(j) * w;
            for (int i = 0; i < w;) {
                while (i < w && !mask[i])
                    ++i;
                const int start = i;
                while (i < w && mask[i])
                    ++i;
                if (i > start)
                    m_keyed.runs.push_back({j, start, i - start});
            }
        }
        m_keyed.mask.clear();
    }
    const int w = dst.Width();
    uint8_t* const bits = surface.bits();
    const qsizetype bytesPerLine = surface.bytesPerLine();
    for (const Keyed::Run& run : m_keyed.runs) {
        const int y = dst.top + run.row;
        if (y < 0 || y >= surface.height())
            continue;
        // Clip the run to the surface.
        const int x0 = std::max(dst.left + run.start, 0);
        const int x1 = std::min(dst.left + run.start + run.length, surface.width());
        if (x1 <= x0)
            continue;
        const uint8_t* bgr = m_keyed.bgr.data() + (static_cast<size_t>(run.row) * w + (x0 - dst.left)) * 3;
        std::memcpy(bits + y * bytesPerLine + 3 * x0, bgr, 3 * static_cast<size_t>(x1 - x0));
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// DibBuffer

void DibBuffer::Free() {
    m_tag = 0;
    m_header.clear();
    m_header.shrink_to_fit();
    m_pixels.clear();
    m_pixels.shrink_to_fit();
}

uint32_t DibBuffer::Stride() const {
    const BITMAPINFOHEADER* ih = Info();
    return ih ? static_cast<uint32_t>(DibStride(ih->biWidth, ih->biBitCount)) : 0;
}

std::vector<uint8_t> DibBuffer::ToBmpFile() const {
    std::vector<uint8_t> out;
    ToBmpFile(out);
    return out;
}

void DibBuffer::ToBmpFile(std::vector<uint8_t>& out) const {
    if (IsEmpty()) {
        out.clear();
        return;
    }
    out.resize(kFileHeaderSize + m_header.size() + m_pixels.size());
    BITMAPFILEHEADER fh;
    fh.bfType = kBmpMagic;
    fh.bfSize = static_cast<uint32_t>(out.size());
    fh.bfOffBits = static_cast<uint32_t>(kFileHeaderSize + m_header.size());
    std::memcpy(out.data(), &fh, sizeof fh);
    std::memcpy(out.data() + kFileHeaderSize, m_header.data(), m_header.size());
    if (!m_pixels.empty())
        std::memcpy(out.data() + kFileHeaderSize + m_header.size(), m_pixels.data(), m_pixels.size());
}

uint8_t* DibBuffer::Prepare(const BITMAPINFOHEADER& header) {
    m_tag = 0;
    m_header.resize(kInfoHeaderSize);
    std::memcpy(m_header.data(), &header, kInfoHeaderSize);
    m_pixels.resize(DibStride(header.biWidth, header.biBitCount) *
                    static_cast<uint64_t>(std::abs(header.biHeight)));
    return m_pixels.data();
}

bool DibBuffer::LoadBmp(const std::string& path, unsigned depthMask) {
    Free();
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, bytes))
        return false;
    return LoadBmpBytes(bytes, depthMask);
}

bool DibBuffer::LoadBmpBytes(std::span<const uint8_t> file, unsigned depthMask) {
    Free();
    if (file.size() < kFileHeaderSize + kInfoHeaderSize)
        return false;
    auto fh = ReadAt<BITMAPFILEHEADER>(file, 0);
    auto ih = ReadAt<BITMAPINFOHEADER>(file, kFileHeaderSize);
    if (fh.bfType != kBmpMagic || ih.biSize != kInfoHeaderSize)
        return false;
    if (ih.biCompression != BI_RGB && ih.biCompression != BI_RLE8)
        return false;
    if (ih.biCompression == BI_RLE8 && ih.biBitCount != 8)
        return false;
    if (!IsKnownDepth(ih.biBitCount) || !(DepthMaskBit(ih.biBitCount) & depthMask))
        return false;
    if (!DimensionsAcceptable(ih.biWidth, ih.biHeight))
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
    const size_t tableStart = kFileHeaderSize + kInfoHeaderSize;
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
    m_header.resize(kInfoHeaderSize + 4ull * colours);
    std::memcpy(m_header.data(), &ih, kInfoHeaderSize);
    if (colours)
        std::memcpy(m_header.data() + kInfoHeaderSize, file.data() + tableStart, 4ull * colours);
    m_pixels = std::move(pixels);
    return true;
}

bool DibBuffer::CopyFrom(std::span<const uint8_t> header, std::span<const uint8_t> pixels) {
    m_tag = 0;
    m_header.clear();
    m_pixels.clear(); // keeps the memory for a picture of the same size
    if (header.size() < kInfoHeaderSize)
        return false;
    auto ih = ReadAt<BITMAPINFOHEADER>(header, 0);
    if (!IsKnownDepth(ih.biBitCount) || !DimensionsAcceptable(ih.biWidth, ih.biHeight))
        return false;
    const uint64_t colours = DibColourCount(ih);
    const uint64_t headerBytes = kInfoHeaderSize + 4 * colours;
    uint64_t imageSize = ih.biSizeImage;
    if (imageSize == 0)
        imageSize = DibStride(ih.biWidth, ih.biBitCount) * static_cast<uint64_t>(std::abs(ih.biHeight));
    if (header.size() < headerBytes || pixels.size() < imageSize)
        return false;
    m_header.assign(header.begin(), header.begin() + static_cast<ptrdiff_t>(headerBytes));
    m_pixels.assign(pixels.begin(), pixels.begin() + static_cast<ptrdiff_t>(imageSize));
    return true;
}

bool DibBuffer::InitHeader(BITMAPINFOHEADER& h, int width, int height, int bits) {
    if (!IsKnownDepth(bits))
        return false;
    h = BITMAPINFOHEADER{};
    h.biSize = kInfoHeaderSize;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<uint16_t>(bits);
    h.biCompression = BI_RGB;
    h.biClrUsed = bits == 1 ? 2 : bits == 4 ? 16 : bits == 8 ? 256 : 0;
    h.biSizeImage = static_cast<uint32_t>(static_cast<uint64_t>(std::abs(static_cast<int64_t>(height))) *
                                          DibStride(width, bits));
    return true;
}

namespace {

struct Weight {
    int index;
    int first, second; // sum to 256
};

// One entry per destination position: source index and the smoothstep weights of it and
// the next one. The last position takes the last source position exactly; a source or a
// destination of one position takes the first.
std::vector<Weight> WeightTable(int oldSize, int newSize) {
    std::vector<Weight> table(static_cast<size_t>(newSize));
    if (oldSize <= 1 || newSize <= 1) {
        for (auto& e : table)
            e = {0, 256, 0};
        return table;
    }
    const double step = static_cast<double>(oldSize - 1) / static_cast<double>(newSize - 1);
    double p = 0;
    for (int i = 0; i < newSize; ++i, p += step) {
        int index = static_cast<int>(p);
        const double f = p - index;
        int w = static_cast<int>(f * f * (3 - 2 * f) * 256);
        if (index > oldSize - 2) { // rounding may carry p onto the last position
            index = oldSize - 2;
            w = 256;
        }
        table[i] = {index, 256 - w, w};
    }
    table.back() = {oldSize - 2, 0, 256};
    return table;
}

int ReadBits(const uint8_t* row, int x, int bits) {
    const int perByte = 8 / bits;
    const int shift = (perByte - 1 - x % perByte) * bits;
    return (row[x / perByte] >> shift) & ((1 << bits) - 1);
}

void WriteBits(uint8_t* row, int x, int bits, int value) {
    const int perByte = 8 / bits;
    const int shift = (perByte - 1 - x % perByte) * bits;
    const int mask = ((1 << bits) - 1) << shift;
    row[x / perByte] = static_cast<uint8_t>((row[x / perByte] & ~mask) | ((value << shift) & mask));
}

} // namespace

bool DibBuffer::Resize(int newWidth, int newHeight) {
    if (m_pixels.empty() || !Info())
        return false;
    DibBuffer resized;
    if (!resized.ResizeFrom(m_header, m_pixels, newWidth, newHeight))
        return false;
    *this = std::move(resized);
    return true;
}

namespace {

using U8x16 = uint8_t __attribute__((vector_size(16)));
using U16x16 = uint16_t __attribute__((vector_size(32)));

// Blends two rows of bytes: out[i] = a0 x r0[i] + a1 x r1[i] - 32768. With a0 + a1 = 256
// every sum stays below 65536, so sixteen 16-bit lanes are worked at once; the values are
// stored less 32768 (read as signed 16-bit numbers) for BlendColumns.
void BlendRows(const uint8_t* r0, const uint8_t* r1, uint16_t a0, uint16_t a1, uint16_t* out, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), w0 = _mm_set1_epi16(static_cast<int16_t>(a0)),
                  w1 = _mm_set1_epi16(static_cast<int16_t>(a1)), offset = _mm_set1_epi16(INT16_MIN);
    for (; i + 16 <= n; i += 16) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + i));
        const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + i));
        const __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(p, zero), w0),
                                         _mm_mullo_epi16(_mm_unpacklo_epi8(q, zero), w1));
        const __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(p, zero), w0),
                                         _mm_mullo_epi16(_mm_unpackhi_epi8(q, zero), w1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_xor_si128(lo, offset));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_xor_si128(hi, offset));
    }
#else
    for (; i + 16 <= n; i += 16) {
        U8x16 p, q;
        std::memcpy(&p, r0 + i, sizeof p);
        std::memcpy(&q, r1 + i, sizeof q);
        const U16x16 v =
            (__builtin_convertvector(p, U16x16) * a0 + __builtin_convertvector(q, U16x16) * a1) ^ 0x8000;
        std::memcpy(out + i, &v, sizeof v);
    }
#endif
    for (; i < n; ++i)
        out[i] = static_cast<uint16_t>((r0[i] * a0 + r1[i] * a1) ^ 0x8000);
}

// Two source pixels of a row blended by BlendRows, and their weights (summing to 256).
struct Tap {
    uint32_t first, second; // offsets of the pixels' first values
    uint32_t w0, w1;
    int32_t pair; // w0 and w1 as two 16-bit numbers, w0 in the low half
};

// One destination row of three-byte pixels: (w0 p + w1 q) >> 16 for each byte, where p and
// q are the blended values (each of them 32768 more than stored).
void BlendColumns(const uint16_t* v, const std::vector<Tap>& taps, bool adjacent, uint8_t* dst) {
    size_t i = 0;
    const size_t count = taps.size();
#if defined(__SSE2__)
    // One multiply-add of signed pairs gives w0 (p - 32768) + w1 (q - 32768), which is
    // w0 p + w1 q less 256 x 32768: the same sum exactly once that is added back. When the
    // second pixel follows the first (any source row of two pixels or more), one read of
    // eight values holds both. Two pixels are worked at a time and each writes four bytes,
    // the fourth being the next pixel's, so the row's last pixel is done below.
    if (adjacent) {
        const __m128i bias = _mm_set1_epi32(256 * 32768);
        auto pixel = [&](const Tap& t) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + t.first));
            const __m128i pairs = _mm_unpacklo_epi16(x, _mm_srli_si128(x, 6)); // p0 q0 p1 q1 p2 q2
            return _mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(pairs, _mm_set1_epi32(t.pair)), bias), 16);
        };
        for (; i + 2 < count; i += 2, dst += 6) {
            const __m128i both = _mm_packus_epi16(_mm_packs_epi32(pixel(taps[i]), pixel(taps[i + 1])), bias);
            uint32_t bytes[2];
            _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes), both);
            std::memcpy(dst, &bytes[0], 4);
            std::memcpy(dst + 3, &bytes[1], 4);
        }
    }
#endif
    for (; i < count; ++i, dst += 3) {
        const Tap& t = taps[i];
        for (size_t k = 0; k < 3; ++k)
            dst[k] = static_cast<uint8_t>(
                (t.w0 * (v[t.first + k] ^ 0x8000u) + t.w1 * (v[t.second + k] ^ 0x8000u)) >> 16);
    }
}

bool Overlaps(std::span<const uint8_t> a, const std::vector<uint8_t>& b) {
    const uint8_t* bStart = b.data();
    const uint8_t* bEnd = bStart + b.capacity();
    return !a.empty() && bStart && a.data() < bEnd && bStart < a.data() + a.size();
}

} // namespace

bool DibBuffer::ResizeFrom(std::span<const uint8_t> header, std::span<const uint8_t> pixels, int newWidth,
                           int newHeight) {
    if (Overlaps(header, m_header) || Overlaps(pixels, m_pixels)) {
        // Resampling a picture into itself: through a fresh buffer.
        DibBuffer resized;
        const bool ok = resized.ResizeFrom(header, pixels, newWidth, newHeight);
        *this = std::move(resized);
        return ok;
    }
    // The pixel memory is kept for the next picture of the same size.
    m_tag = 0;
    m_header.clear();
    auto fail = [this] {
        Free();
        return false;
    };
    if (header.size() < kInfoHeaderSize || pixels.empty())
        return fail();
    const auto oldHeader = ReadAt<BITMAPINFOHEADER>(header, 0);
    const BITMAPINFOHEADER* old = &oldHeader;
    if (newWidth < 1 || newHeight < 1 || newWidth > kMaxBmpDimension || newHeight > kMaxBmpDimension)
        return fail();
    if (!DimensionsAcceptable(old->biWidth, old->biHeight))
        return fail();
    const int bits = old->biBitCount;
    const int oldW = old->biWidth, oldH = std::abs(old->biHeight);
    BITMAPINFOHEADER nh;
    if (!InitHeader(nh, newWidth, old->biHeight < 0 ? -newHeight : newHeight, bits))
        return fail();
    nh.biClrUsed = old->biClrUsed;
    const uint64_t oldStride = DibStride(oldW, bits), newStride = DibStride(newWidth, bits);
    if (pixels.size() < oldStride * static_cast<uint64_t>(oldH))
        return fail();
    // The tables of the last sizes asked for are kept: every small picture has the same.
    thread_local struct {
        int oldW = -1, newW = -1, oldH = -1, newH = -1;
        std::vector<Weight> cols, rows;
        std::vector<Tap> taps; // the column table as three-byte offsets, made when needed
    } tables;
    if (tables.oldW != oldW || tables.newW != newWidth) {
        tables.cols = WeightTable(oldW, newWidth);
        tables.taps.clear();
        tables.oldW = oldW, tables.newW = newWidth;
    }
    if (tables.oldH != oldH || tables.newH != newHeight) {
        tables.rows = WeightTable(oldH, newHeight);
        tables.oldH = oldH, tables.newH = newHeight;
    }
    const std::vector<Weight>& cols = tables.cols;
    const std::vector<Weight>& rows = tables.rows;
    std::vector<uint8_t>& out = m_pixels;
    out.resize(newStride * static_cast<uint64_t>(newHeight));
    if (bits != 24) // every byte of the three-byte rows is written below, padding too
        std::fill(out.begin(), out.end(), uint8_t{0});
    const uint8_t* src = pixels.data();
    auto next = [](int index, int size) { return std::min(index + 1, size - 1); };

    if (bits == 24) {
        // The common case (every small picture). The two source rows are blended first
        // over the whole row, then each destination pixel blends two columns of that:
        // b0 (a0 P00 + a1 P10) + b1 (a0 P01 + a1 P11) is the same sum as
        // (b0 P00 + b1 P01) a0 + (b0 P10 + b1 P11) a1, so every byte is the same.
        std::vector<Tap>& taps = tables.taps;
        if (taps.empty()) {
            taps.resize(static_cast<size_t>(newWidth));
            for (int i = 0; i < newWidth; ++i) {
                const uint32_t w0 = static_cast<uint32_t>(cols[i].first),
                               w1 = static_cast<uint32_t>(cols[i].second);
                taps[i] = {static_cast<uint32_t>(cols[i].index * 3),
                           static_cast<uint32_t>(next(cols[i].index, oldW) * 3), w0, w1,
                           static_cast<int32_t>(w0 | w1 << 16)};
            }
        }
        thread_local std::vector<uint16_t> blended;
        const size_t rowBytes = static_cast<size_t>(oldW) * 3;
        blended.resize(rowBytes + 8); // values are read eight at a time
        const size_t padding = newStride - 3 * static_cast<size_t>(newWidth);
        for (int j = 0; j < newHeight; ++j) {
            const Weight& r = rows[j];
            const uint8_t* row0 = src + static_cast<uint64_t>(r.index) * oldStride;
            const uint8_t* row1 = src + static_cast<uint64_t>(next(r.index, oldH)) * oldStride;
            BlendRows(row0, row1, static_cast<uint16_t>(r.first), static_cast<uint16_t>(r.second),
                      blended.data(), rowBytes);
            uint8_t* dst = out.data() + static_cast<uint64_t>(j) * newStride;
            BlendColumns(blended.data(), taps, oldW >= 2, dst);
            if (padding)
                std::memset(dst + newStride - padding, 0, padding);
        }
    } else if (bits == 32) {
        const int bpp = bits / 8;
        for (int j = 0; j < newHeight; ++j) {
            const Weight& r = rows[j];
            const uint8_t* row0 = src + static_cast<uint64_t>(r.index) * oldStride;
            const uint8_t* row1 = src + static_cast<uint64_t>(next(r.index, oldH)) * oldStride;
            uint8_t* dst = out.data() + static_cast<uint64_t>(j) * newStride;
            for (int i = 0; i < newWidth; ++i) {
                const Weight& c = cols[i];
                const int c0 = c.index * bpp, c1 = next(c.index, oldW) * bpp;
                for (int k = 0; k < bpp; ++k) {
                    const uint32_t top = c.first * row0[c0 + k] + c.second * row0[c1 + k];
                    const uint32_t bottom = c.first * row1[c0 + k] + c.second * row1[c1 + k];
                    dst[i * bpp + k] = static_cast<uint8_t>((top * r.first + bottom * r.second) >> 16);
                }
            }
        }
    } else {
        // Palette indexes and 16-bit pixels are copied, not blended.
        for (int j = 0; j < newHeight; ++j) {
            const Weight& r = rows[j];
            const int sy = r.first == 0 ? next(r.index, oldH) : r.index;
            const uint8_t* in = src + static_cast<uint64_t>(sy) * oldStride;
            uint8_t* dst = out.data() + static_cast<uint64_t>(j) * newStride;
            for (int i = 0; i < newWidth; ++i) {
                const Weight& c = cols[i];
                const int sx = c.first == 0 ? next(c.index, oldW) : c.index;
                if (bits == 8)
                    dst[i] = in[sx];
                else if (bits == 16)
                    std::memcpy(dst + 2 * i, in + 2 * sx, 2);
                else
                    WriteBits(dst, i, bits, ReadBits(in, sx, bits));
            }
        }
    }
    // The new header over the old one's start; the colour table is kept.
    m_header.assign(header.begin(), header.end());
    std::memcpy(m_header.data(), &nh, kInfoHeaderSize);
    return true;
}

} // namespace kestrel
