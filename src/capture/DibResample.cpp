// The smooth resampler of DibBuffer: smoothstep weights of two source pixels a direction,
// worked in integers from tables made once per pair of sizes.

#include "capture/Dib.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KESTREL_AVX2 1
#endif

namespace kestrel {

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

#if defined(KESTREL_AVX2)
// Whether the processor has 256-bit integer vectors: the two blends below then work twice
// as many values an instruction. Every sum is the same as the narrower code's.
bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

__attribute__((target("avx2"))) size_t BlendRowsAvx2(const uint8_t* r0, const uint8_t* r1, uint16_t a0,
                                                     uint16_t a1, uint16_t* out, size_t n) {
    const __m256i w0 = _mm256_set1_epi16(static_cast<int16_t>(a0)),
                  w1 = _mm256_set1_epi16(static_cast<int16_t>(a1)), offset = _mm256_set1_epi16(INT16_MIN);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i p = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + i)));
        const __m256i q = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + i)));
        const __m256i v = _mm256_add_epi16(_mm256_mullo_epi16(p, w0), _mm256_mullo_epi16(q, w1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_xor_si256(v, offset));
    }
    return i;
}
#endif

// Blends two rows of bytes: out[i] = a0 x r0[i] + a1 x r1[i] - 32768. With a0 + a1 = 256
// every sum stays below 65536, so sixteen 16-bit lanes are worked at once; the values are
// stored less 32768 (read as signed 16-bit numbers) for BlendColumns.
void BlendRows(const uint8_t* r0, const uint8_t* r1, uint16_t a0, uint16_t a1, uint16_t* out, size_t n) {
    size_t i = 0;
#if defined(KESTREL_AVX2)
    if (HasAvx2())
        i = BlendRowsAvx2(r0, r1, a0, a1, out, n);
#endif
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

#if defined(__SSE2__)
// A source pixel and the next one: the six bytes from `at`. Eight are read at once while
// they stay within the row, so no byte past the source is ever read.
inline __m128i LoadPixelPair(const uint8_t* row, uint32_t at, size_t rowBytes) {
    if (at + 8 <= rowBytes)
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + at));
    uint64_t bytes = 0;
    std::memcpy(&bytes, row + at, 6);
    return _mm_cvtsi64_si128(static_cast<long long>(bytes));
}
#endif

#if defined(KESTREL_AVX2)
// The sums of BlendColumns for one pixel in each 128-bit half of `x` (values as BlendRows
// leaves them, from the pixel's first one on), with that pixel's tap weights (Tap::pair)
// repeated across the half.
__attribute__((target("avx2"))) inline __m256i PixelPairAvx2(__m256i x, __m256i weights) {
    const __m256i pairs = _mm256_unpacklo_epi16(x, _mm256_srli_si256(x, 6)); // p0 q0 p1 q1 p2 q2
    return _mm256_srli_epi32(
        _mm256_add_epi32(_mm256_madd_epi16(pairs, weights), _mm256_set1_epi32(256 * 32768)), 16);
}

// Stores four pixels from two PixelPairAvx2 results (pixels 0 and 2, then 1 and 3: the
// packs work within halves, which puts 0 and 1 in the low half and 2 and 3 in the high
// one). Each half's two pixels are closed up to six bytes and stored as eight: the two
// after pixel 1 are overwritten by pixel 2, and the two after pixel 3 fall on the next
// pixel, which the caller leaves for later.
__attribute__((target("avx2"))) inline void StoreFourAvx2(__m256i evenPixels, __m256i oddPixels,
                                                          uint8_t* dst) {
    const __m256i packed = _mm256_packs_epi32(evenPixels, oddPixels);
    const __m256i closeUp = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, //
                                             0, 1, 2, 4, 5, 6, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i bytes = _mm256_shuffle_epi8(_mm256_packus_epi16(packed, packed), closeUp);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 6), _mm256_extracti128_si256(bytes, 1));
}

// The weights of pixels 0 and 2 (`even`) and of 1 and 3 (`odd`) of four, each repeated
// across its half, from the four taps' Tap::pair values stored one after the other.
struct FourWeights {
    __m256i even, odd;
};
__attribute__((target("avx2"))) inline FourWeights LoadFourWeights(const int32_t* pairs) {
    const __m256i four = _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs)));
    return {_mm256_permutevar8x32_epi32(four, _mm256_setr_epi32(0, 0, 0, 0, 2, 2, 2, 2)),
            _mm256_permutevar8x32_epi32(four, _mm256_setr_epi32(1, 1, 1, 1, 3, 3, 3, 3))};
}

// BlendColumns' adjacent case four pixels at a time. Returns how many pixels it did; it
// leaves at least the row's last pixel, whose fourth byte would fall past the row.
__attribute__((target("avx2"))) size_t BlendColumnsAvx2(const uint16_t* v, const Tap* taps,
                                                        const int32_t* pairs, size_t count, uint8_t* dst) {
    auto pair = [v](const Tap& low, const Tap& high, __m256i weights) __attribute__((target("avx2"))) {
        return PixelPairAvx2(
            _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + low.first))),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + high.first)), 1),
            weights);
    };
    size_t i = 0;
    for (; i + 4 < count; i += 4, dst += 12) {
        const FourWeights w = LoadFourWeights(pairs + i);
        StoreFourAvx2(pair(taps[i], taps[i + 2], w.even), pair(taps[i + 1], taps[i + 3], w.odd), dst);
    }
    return i;
}

// BlendTaps four pixels at a time, as BlendColumnsAvx2.
__attribute__((target("avx2"))) size_t BlendTapsAvx2(const uint8_t* r0, const uint8_t* r1, size_t rowBytes,
                                                     uint16_t a0, uint16_t a1, const Tap* taps,
                                                     const int32_t* pairs, size_t count, uint8_t* dst) {
    const __m256i w0 = _mm256_set1_epi16(static_cast<int16_t>(a0)),
                  w1 = _mm256_set1_epi16(static_cast<int16_t>(a1)), offset = _mm256_set1_epi16(INT16_MIN);
    auto pair = [&](const Tap& low, const Tap& high, __m256i weights) __attribute__((target("avx2"))) {
        const __m256i p = _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(LoadPixelPair(r0, low.first, rowBytes),
                                                                  LoadPixelPair(r0, high.first, rowBytes)));
        const __m256i q = _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(LoadPixelPair(r1, low.first, rowBytes),
                                                                  LoadPixelPair(r1, high.first, rowBytes)));
        const __m256i v = _mm256_add_epi16(_mm256_mullo_epi16(p, w0), _mm256_mullo_epi16(q, w1));
        return PixelPairAvx2(_mm256_xor_si256(v, offset), weights);
    };
    size_t i = 0;
    for (; i + 4 < count; i += 4, dst += 12) {
        const FourWeights w = LoadFourWeights(pairs + i);
        StoreFourAvx2(pair(taps[i], taps[i + 2], w.even), pair(taps[i + 1], taps[i + 3], w.odd), dst);
    }
    return i;
}
#endif

#if defined(__SSE2__)
// w0 p + w1 q >> 16 for the three bytes of one pixel, from x holding p0 p1 p2 q0 q1 q2 as
// signed values 32768 below the blended ones: the multiply-add of signed pairs gives the
// sum less 256 x 32768, which the bias adds back.
inline __m128i WeighTapPair(__m128i x, const Tap& t) {
    const __m128i bias = _mm_set1_epi32(256 * 32768);
    const __m128i pairs = _mm_unpacklo_epi16(x, _mm_srli_si128(x, 6)); // p0 q0 p1 q1 p2 q2
    return _mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(pairs, _mm_set1_epi32(t.pair)), bias), 16);
}

// Two weighed pixels stored as six bytes. Each writes four, the fourth being the next
// pixel's, so the row's last pixel is never done here.
inline void StoreTwoPixels(__m128i first, __m128i second, uint8_t* dst) {
    const __m128i both = _mm_packus_epi16(_mm_packs_epi32(first, second), _mm_setzero_si128());
    uint32_t bytes[2];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes), both);
    std::memcpy(dst, &bytes[0], 4);
    std::memcpy(dst + 3, &bytes[1], 4);
}
#endif

// One destination row of three-byte pixels: (w0 p + w1 q) >> 16 for each byte, where p and
// q are the blended values (each of them 32768 more than stored).
void BlendColumns(const uint16_t* v, const std::vector<Tap>& taps, const std::vector<int32_t>& pairs,
                  bool adjacent, uint8_t* dst) {
    size_t i = 0;
    const size_t count = taps.size();
#if defined(__SSE2__)
    // One multiply-add of signed pairs gives w0 (p - 32768) + w1 (q - 32768), which is
    // w0 p + w1 q less 256 x 32768: the same sum exactly once that is added back. When the
    // second pixel follows the first (any source row of two pixels or more), one read of
    // eight values holds both. Two pixels are worked at a time and each writes four bytes,
    // the fourth being the next pixel's, so the row's last pixel is done below.
    if (adjacent) {
#if defined(KESTREL_AVX2)
        if (HasAvx2()) {
            i = BlendColumnsAvx2(v, taps.data(), pairs.data(), count, dst);
            dst += 3 * i;
        }
#endif
        auto pixel = [&](const Tap& t) {
            return WeighTapPair(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + t.first)), t);
        };
        for (; i + 2 < count; i += 2, dst += 6)
            StoreTwoPixels(pixel(taps[i]), pixel(taps[i + 1]), dst);
    }
#endif
    for (; i < count; ++i, dst += 3) {
        const Tap& t = taps[i];
        for (size_t k = 0; k < 3; ++k)
            dst[k] = static_cast<uint8_t>(
                (t.w0 * (v[t.first + k] ^ 0x8000u) + t.w1 * (v[t.second + k] ^ 0x8000u)) >> 16);
    }
}

// One destination row of three-byte pixels straight from the two source rows, for a
// smaller picture: only the pixels the taps name are read, where BlendRows would blend
// every one of them. The sums are BlendRows' and BlendColumns' exactly: the rows' blend
// a0 P + a1 Q of each byte first, then w0 and w1 over the two pixels.
void BlendTaps(const uint8_t* r0, const uint8_t* r1, size_t rowBytes, uint16_t a0, uint16_t a1,
               const std::vector<Tap>& taps, const std::vector<int32_t>& pairs, uint8_t* dst) {
    size_t i = 0;
    const size_t count = taps.size();
#if defined(KESTREL_AVX2)
    if (HasAvx2()) {
        i = BlendTapsAvx2(r0, r1, rowBytes, a0, a1, taps.data(), pairs.data(), count, dst);
        dst += 3 * i;
    }
#endif
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), w0 = _mm_set1_epi16(static_cast<int16_t>(a0)),
                  w1 = _mm_set1_epi16(static_cast<int16_t>(a1)), offset = _mm_set1_epi16(INT16_MIN);
    auto pixel = [&](const Tap& t) {
        const __m128i v =
            _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(LoadPixelPair(r0, t.first, rowBytes), zero), w0),
                          _mm_mullo_epi16(_mm_unpacklo_epi8(LoadPixelPair(r1, t.first, rowBytes), zero), w1));
        return WeighTapPair(_mm_xor_si128(v, offset), t);
    };
    for (; i + 2 < count; i += 2, dst += 6)
        StoreTwoPixels(pixel(taps[i]), pixel(taps[i + 1]), dst);
#endif
    for (; i < count; ++i, dst += 3) {
        const Tap& t = taps[i];
        for (size_t k = 0; k < 3; ++k) {
            const uint32_t p = r0[t.first + k] * a0 + r1[t.first + k] * a1;
            const uint32_t q = r0[t.second + k] * a0 + r1[t.second + k] * a1;
            dst[k] = static_cast<uint8_t>((t.w0 * p + t.w1 * q) >> 16);
        }
    }
}

bool Overlaps(std::span<const uint8_t> a, const std::vector<uint8_t>& b) {
    const uint8_t* bStart = b.data();
    const uint8_t* bEnd = bStart + b.capacity();
    return !a.empty() && bStart && a.data() < bEnd && bStart < a.data() + a.size();
}

// The tables of one pair of sizes.
struct Tables {
    int oldW = -1, newW = -1, oldH = -1, newH = -1;
    std::vector<Weight> cols, rows;
    std::vector<Tap> taps;      // the column table as three-byte offsets, made when needed
    std::vector<int32_t> pairs; // each tap's Tap::pair, one after the other, for the vector blends
};

// The tables of the last sizes asked for are kept: every small picture has the same.
Tables& TablesFor(int oldW, int oldH, int newW, int newH) {
    thread_local Tables tables;
    if (tables.oldW != oldW || tables.newW != newW) {
        tables.cols = WeightTable(oldW, newW);
        tables.taps.clear();
        tables.oldW = oldW, tables.newW = newW;
    }
    if (tables.oldH != oldH || tables.newH != newH) {
        tables.rows = WeightTable(oldH, newH);
        tables.oldH = oldH, tables.newH = newH;
    }
    return tables;
}

// Resamples three-byte rows, the common case (every small picture): source row i (in
// memory order) is rowAt(i); the new rows go to `out`, `newStride` bytes apart.
// The two source rows are blended first, then each destination pixel blends two columns
// of that: b0 (a0 P00 + a1 P10) + b1 (a0 P01 + a1 P11) is the same sum as
// (b0 P00 + b1 P01) a0 + (b0 P10 + b1 P11) a1, so every byte is the same.
template <typename RowAt>
void Resample24(RowAt rowAt, Tables& tables, int oldW, int oldH, uint8_t* out, size_t newStride) {
    const int newWidth = tables.newW, newHeight = tables.newH;
    const std::vector<Weight>& cols = tables.cols;
    const std::vector<Weight>& rows = tables.rows;
    auto next = [](int index, int size) { return std::min(index + 1, size - 1); };
    std::vector<Tap>& taps = tables.taps;
    std::vector<int32_t>& pairs = tables.pairs;
    if (taps.empty()) {
        taps.resize(static_cast<size_t>(newWidth));
        pairs.resize(static_cast<size_t>(newWidth));
        for (int i = 0; i < newWidth; ++i) {
            const uint32_t w0 = static_cast<uint32_t>(cols[i].first),
                           w1 = static_cast<uint32_t>(cols[i].second);
            taps[i] = {static_cast<uint32_t>(cols[i].index * 3),
                       static_cast<uint32_t>(next(cols[i].index, oldW) * 3), w0, w1,
                       static_cast<int32_t>(w0 | w1 << 16)};
            pairs[i] = taps[i].pair;
        }
    }
    thread_local std::vector<uint16_t> blended;
    const size_t rowBytes = static_cast<size_t>(oldW) * 3;
    // A picture less than a quarter as wide reads only the source pixels it takes (a
    // thumbnail of a large frame takes a few in ten); any other blends each source row
    // once, which costs less when most of its pixels are taken.
    const bool sparse = 4 * static_cast<int64_t>(newWidth) < oldW;
    if (!sparse)
        blended.resize(rowBytes + 8); // values are read eight at a time
    const size_t padding = newStride - 3 * static_cast<size_t>(newWidth);
    for (int j = 0; j < newHeight; ++j) {
        const Weight& r = rows[j];
        const uint8_t* row0 = rowAt(r.index);
        const uint8_t* row1 = rowAt(next(r.index, oldH));
        uint8_t* dst = out + static_cast<uint64_t>(j) * newStride;
        if (sparse) {
            BlendTaps(row0, row1, rowBytes, static_cast<uint16_t>(r.first), static_cast<uint16_t>(r.second),
                      taps, pairs, dst);
        } else {
            BlendRows(row0, row1, static_cast<uint16_t>(r.first), static_cast<uint16_t>(r.second),
                      blended.data(), rowBytes);
            BlendColumns(blended.data(), taps, pairs, oldW >= 2, dst);
        }
        if (padding)
            std::memset(dst + newStride - padding, 0, padding);
    }
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
    if (header.size() < kBmpInfoHeaderSize || pixels.empty())
        return fail();
    const auto oldHeader = ReadAt<BITMAPINFOHEADER>(header, 0);
    const BITMAPINFOHEADER* old = &oldHeader;
    if (newWidth < 1 || newHeight < 1 || newWidth > kMaxBmpDimension || newHeight > kMaxBmpDimension)
        return fail();
    if (!BmpDimensionsAcceptable(old->biWidth, old->biHeight))
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
    Tables& tables = TablesFor(oldW, oldH, newWidth, newHeight);
    const std::vector<Weight>& cols = tables.cols;
    const std::vector<Weight>& rows = tables.rows;
    std::vector<uint8_t>& out = m_pixels;
    out.resize(newStride * static_cast<uint64_t>(newHeight));
    if (bits != 24) // every byte of the three-byte rows is written below, padding too
        std::fill(out.begin(), out.end(), uint8_t{0});
    const uint8_t* src = pixels.data();
    auto next = [](int index, int size) { return std::min(index + 1, size - 1); };

    if (bits == 24) {
        Resample24([src, oldStride](int i) { return src + static_cast<uint64_t>(i) * oldStride; }, tables,
                   oldW, oldH, out.data(), newStride);
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
    std::memcpy(m_header.data(), &nh, kBmpInfoHeaderSize);
    return true;
}

bool DibBuffer::ResizeFromRows(std::span<const uint8_t* const> rows, int width, int newWidth, int newHeight) {
    m_tag = 0;
    m_header.clear();
    const int height = static_cast<int>(std::min<size_t>(rows.size(), INT32_MAX));
    BITMAPINFOHEADER nh;
    if (width < 1 || height < 1 || !BmpDimensionsAcceptable(width, height) || newWidth < 1 || newHeight < 1 ||
        newWidth > kMaxBmpDimension || newHeight > kMaxBmpDimension ||
        !InitHeader(nh, newWidth, -newHeight, 24) ||
        std::find(rows.begin(), rows.end(), nullptr) != rows.end()) {
        Free();
        return false;
    }
    const uint64_t newStride = DibStride(newWidth, 24);
    m_pixels.resize(newStride * static_cast<uint64_t>(newHeight));
    Resample24([rows](int i) { return rows[static_cast<size_t>(i)]; },
               TablesFor(width, height, newWidth, newHeight), width, height, m_pixels.data(), newStride);
    m_header.assign(reinterpret_cast<const uint8_t*>(&nh),
                    reinterpret_cast<const uint8_t*>(&nh) + kBmpInfoHeaderSize);
    return true;
}

} // namespace kestrel
