// Drawing pictures onto the composition surface: plain 24- and 32-bit rows copied straight,
// every other picture through the toolkit's decoder, the overlay with its transparent colour.

#include "capture/Dib.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kestrel {

namespace {

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

Surface MakeSurface(int width, int height) {
    Surface s(width, height, QImage::Format_BGR888);
    s.fill(Qt::black);
    return s;
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

void CDib::PrepareKeyed(const QImage& img, const PixelRect& dst, const PixelRect& src,
                        uint32_t transparent) const {
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
}

RowSpan CDib::TransparentRows(const PixelRect& dst, const PixelRect& src, uint32_t transparent) const {
    const QImage& img = Image();
    if (img.isNull() || dst.Width() <= 0 || dst.Height() <= 0 || src.Width() <= 0 || src.Height() <= 0)
        return {};
    PrepareKeyed(img, dst, src, transparent);
    if (m_keyed.runs.empty())
        return {};
    return {dst.top + m_keyed.runs.front().row, dst.top + m_keyed.runs.back().row + 1};
}

bool CDib::DrawTransparent(Surface& surface, const PixelRect& dst, const PixelRect& src,
                           uint32_t transparent) const {
    const QImage& img = Image();
    if (img.isNull())
        return false;
    if (dst.Width() <= 0 || dst.Height() <= 0 || src.Width() <= 0 || src.Height() <= 0)
        return true;
    PrepareKeyed(img, dst, src, transparent);
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

} // namespace kestrel
