// The two BMP readers, drawing and the resampler, on pictures the tests build themselves.

#include "BmpBuilder.h"
#include "TestSupport.h"
#include "capture/Dib.h"
#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <QFile>

#include <fcntl.h>
#include <functional>
#include <future>
#include <sys/stat.h>
#include <tuple>

// Specs are written as designated initialisers that leave the rest at its defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace kestrel;
using namespace kestrel::test;

namespace {

const std::vector<RGBQUAD> kFourColours = {
    {0, 0, 255, 0}, {0, 255, 0, 0}, {255, 0, 0, 0}, {255, 255, 255, 0}};

// 4 x 2 picture, top row red green blue white, bottom row white blue green red.
const uint32_t kExpected[2][4] = {{0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF},
                                  {0xFFFFFF, 0x0000FF, 0x00FF00, 0xFF0000}};
const int kIndex[2][4] = {{0, 1, 2, 3}, {3, 2, 1, 0}};

std::vector<uint8_t> PalettedRows(int bits, bool topDown) {
    const size_t stride = DibStride(4, bits);
    std::vector<uint8_t> px(stride * 2, 0);
    for (int y = 0; y < 2; ++y) {
        uint8_t* row = &px[(topDown ? y : 1 - y) * stride];
        for (int x = 0; x < 4; ++x) {
            const int v = kIndex[y][x];
            if (bits == 8)
                row[x] = static_cast<uint8_t>(v);
            else if (bits == 4)
                row[x / 2] |= static_cast<uint8_t>(v << (x % 2 ? 0 : 4));
            else // 1 bit: index parity only, the palette's first two entries
                row[0] |= static_cast<uint8_t>((v & 1) << (7 - x));
        }
    }
    return px;
}

std::vector<uint8_t> DirectRows(int bits, bool topDown) {
    const size_t stride = DibStride(4, bits);
    std::vector<uint8_t> px(stride * 2, 0);
    for (int y = 0; y < 2; ++y) {
        uint8_t* row = &px[(topDown ? y : 1 - y) * stride];
        for (int x = 0; x < 4; ++x) {
            const uint32_t c = kExpected[y][x];
            const int r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
            if (bits == 16) {
                const uint16_t v = static_cast<uint16_t>(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
                std::memcpy(row + 2 * x, &v, 2);
            } else {
                const int bpp = bits / 8;
                row[bpp * x] = static_cast<uint8_t>(b);
                row[bpp * x + 1] = static_cast<uint8_t>(g);
                row[bpp * x + 2] = static_cast<uint8_t>(r);
                if (bpp == 4)
                    row[bpp * x + 3] = 0; // unused byte, not alpha
            }
        }
    }
    return px;
}

uint32_t Rgb(QRgb p) {
    return p & 0xFFFFFF;
}

uint32_t Expected(int bits, int x, int y) {
    if (bits == 1)
        return kExpected[0][kIndex[y][x] & 1];
    if (bits == 16) { // 5 bits per channel: 255 reads back as 248 widened
        const uint32_t c = kExpected[y][x];
        auto w = [](int v) { return (v >> 3) << 3 | (v >> 5); };
        return (w((c >> 16) & 0xFF) << 16) | (w((c >> 8) & 0xFF) << 8) | w(c & 0xFF);
    }
    return kExpected[y][x];
}

} // namespace

TEST(BmpReaders, EveryDepthReadsWithColoursInPlace) {
    for (int bits : {1, 4, 8, 16, 24, 32}) {
        for (bool topDown : {false, true}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, top-down " << topDown);
            BmpShape shape;
            shape.width = 4;
            shape.height = topDown ? -2 : 2;
            shape.bits = bits;
            if (bits <= 8) {
                shape.palette = kFourColours;
                if (bits == 1)
                    shape.palette.resize(2);
                shape.pixels = PalettedRows(bits, topDown);
            } else {
                shape.pixels = DirectRows(bits, topDown);
            }
            const auto file = BuildBmp(shape);
            CDib dib;
            ASSERT_EQ(dib.Read(file), file.size());
            EXPECT_EQ(dib.Width(), 4);
            EXPECT_EQ(dib.Height(), 2);
            const QImage& img = dib.Image();
            ASSERT_FALSE(img.isNull());
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 4; ++x) {
                    const uint32_t want = Expected(bits, x, y);
                    if (bits == 16) { // the toolkit may widen 5-bit channels either way
                        const uint32_t got = Rgb(img.pixel(x, y));
                        for (int sh : {0, 8, 16})
                            EXPECT_NEAR((got >> sh) & 0xFF, (want >> sh) & 0xFF, 8) << x << "," << y;
                    } else {
                        EXPECT_EQ(Rgb(img.pixel(x, y)), want) << x << "," << y;
                    }
                }
            EXPECT_EQ(dib.Palette().size(), bits <= 8 ? shape.palette.size() : 0u);

            DibBuffer buf;
            ASSERT_TRUE(buf.LoadBmpBytes(file, DibBuffer::kAllDepths));
            EXPECT_EQ(buf.Pixels(), shape.pixels);
            EXPECT_EQ(buf.Height(), shape.height);
            // The same depth left out of the mask is refused.
            unsigned bit = bits == 1    ? 1
                           : bits == 4  ? 2
                           : bits == 8  ? 4
                           : bits == 16 ? 8
                           : bits == 24 ? 16
                                        : 32;
            EXPECT_FALSE(buf.LoadBmpBytes(file, DibBuffer::kAllDepths & ~bit));
            EXPECT_TRUE(buf.IsEmpty());
        }
    }
}

TEST(BmpReaders, RunLengthDecodesLikeItsUncompressedTwin) {
    // 6 x 4 picture of palette indexes, bottom row first in memory.
    const int w = 6, h = 4;
    const uint8_t want[4][8] = {
        {5, 5, 5, 1, 2, 3, 0, 0}, // run of 3, odd literal run of 3 (pad byte follows)
        {0, 0, 7, 7, 0, 0, 0, 0}, // delta right by 2, run of 2, end of line
        {0, 0, 0, 0, 0, 0, 0, 0}, // skipped by a delta down
        {0, 9, 8, 7, 6, 0, 0, 0}, // delta, literal run of 4, end of picture
    };
    std::vector<uint8_t> plain;
    for (auto& row : want)
        plain.insert(plain.end(), row, row + 8);
    const std::vector<uint8_t> rle = {
        3, 5, 0, 3, 1, 2, 3, 0xEE, // run, literal 3 + pad
        0, 0,                      // end of line
        0, 2, 2, 0,                // delta x+2
        2, 7, 0, 0,                // run, end of line
        0, 2, 1, 1,                // delta x+1, y+1: row 3, column 1
        0, 4, 9, 8, 7, 6,          // literal 4
        0, 1,                      // end of picture
        4, 4,                      // after the end: ignored
    };
    std::vector<RGBQUAD> palette(16);
    for (int i = 0; i < 16; ++i)
        palette[i] = {static_cast<uint8_t>(i * 16), static_cast<uint8_t>(i * 8), static_cast<uint8_t>(i), 0};
    BmpShape plainSpec{.width = w, .height = h, .bits = 8, .palette = palette, .pixels = plain};
    BmpShape rleSpec = plainSpec;
    rleSpec.compression = BI_RLE8;
    rleSpec.pixels = rle;

    DibBuffer a, b;
    ASSERT_TRUE(a.LoadBmpBytes(BuildBmp(plainSpec), DibBuffer::kAllDepths));
    ASSERT_TRUE(b.LoadBmpBytes(BuildBmp(rleSpec), DibBuffer::kAllDepths));
    EXPECT_EQ(a.Pixels(), b.Pixels());
    EXPECT_EQ(b.Info()->biCompression, BI_RGB);
    EXPECT_EQ(b.Info()->biSizeImage, 32u);

    // The toolkit's reader draws the run-length file the same way.
    CDib dp, dr;
    ASSERT_GT(dp.Read(BuildBmp(plainSpec)), 0u);
    ASSERT_GT(dr.Read(BuildBmp(rleSpec)), 0u);
    ASSERT_FALSE(dp.Image().isNull());
    ASSERT_FALSE(dr.Image().isNull());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            EXPECT_EQ(dp.Image().pixel(x, y), dr.Image().pixel(x, y)) << x << "," << y;
}

TEST(BmpReaders, RunLengthStaysInsideRowsAndInput) {
    std::vector<RGBQUAD> palette(256);
    const std::vector<std::vector<uint8_t>> streams = {
        {255, 1, 255, 1, 255, 1}, // runs far past the row's end
        {0, 2, 200, 200, 5, 1},   // delta far below the picture
        {0, 200, 1, 2, 3},        // literal run longer than the input
        {0, 3, 1, 2},             // literal run cut short
        {0, 2, 1},                // delta without its bytes
    };
    for (const auto& s : streams) {
        BmpShape shape{
            .width = 3, .height = 2, .bits = 8, .compression = BI_RLE8, .palette = palette, .pixels = s};
        DibBuffer buf;
        ASSERT_TRUE(buf.LoadBmpBytes(BuildBmp(shape), DibBuffer::kAllDepths));
        ASSERT_EQ(buf.Pixels().size(), 8u);
        // Row padding bytes are never written.
        EXPECT_EQ(buf.Pixels()[3], 0);
        EXPECT_EQ(buf.Pixels()[7], 0);
    }
}

struct HostileCase {
    const char* rule;
    std::function<std::vector<uint8_t>()> make;
    bool cdibRefuses, bufferRefuses;
};

TEST(BmpReaders, HostileAndDamagedFilesAreRefused) {
    const auto good = [] {
        return BmpShape{.width = 4, .height = 2, .bits = 24, .pixels = DirectRows(24, false)};
    };
    const auto with = [good](std::function<void(BmpShape&)> f) {
        return [good, f] {
            BmpShape s = good();
            f(s);
            return BuildBmp(s);
        };
    };
    const std::vector<HostileCase> cases = {
        {"wrong magic", with([](BmpShape& s) { s.magic = 0x4D43; }), true, true},
        {"truncated file header",
         [good] {
             auto f = BuildBmp(good());
             f.resize(10);
             return f;
         },
         true, true},
        {"truncated pixels",
         [good] {
             auto f = BuildBmp(good());
             f.resize(f.size() - 3);
             return f;
         },
         true, true},
        {"12-byte header", with([](BmpShape& s) {
             s.headerSize = 12;
             s.offset = 26;
         }),
         true, true},
        {"header under 40", with([](BmpShape& s) {
             s.headerSize = 39;
             s.offset = 53;
         }),
         true, true},
        {"offset below 54", with([](BmpShape& s) { s.offset = 40; }), true, true},
        {"offset past the end",
         [good] {
             auto f = BuildBmp(good());
             uint32_t o = 1u << 20;
             std::memcpy(&f[10], &o, 4);
             return f;
         },
         true, true},
        {"compression 2", with([](BmpShape& s) {
             s.compression = BI_RLE4;
             s.bits = 4;
             s.palette.resize(16);
         }),
         false, true},
        {"colour masks at 24 bits", with([](BmpShape& s) { s.compression = BI_BITFIELDS; }), true, true},
        {"run-length at 24 bits", with([](BmpShape& s) { s.compression = BI_RLE8; }), true, true},
        {"run-length 4 at 8 bits", with([](BmpShape& s) {
             s.compression = BI_RLE4;
             s.bits = 8;
             s.palette.resize(256);
         }),
         true, true},
        {"JPEG inside", with([](BmpShape& s) { s.compression = 4; }), true, true},
        {"PNG inside", with([](BmpShape& s) { s.compression = 5; }), true, true},
        {"more colours than 1 bit indexes", with([](BmpShape& s) {
             s.bits = 1;
             s.palette.resize(200);
         }),
         true, false},
        {"depth 2", with([](BmpShape& s) { s.bits = 2; }), true, true},
        {"width above 4096", with([](BmpShape& s) { s.width = 4097; }), true, true},
        {"height above 4096", with([](BmpShape& s) { s.height = -4097; }), true, true},
        {"width 0", with([](BmpShape& s) { s.width = 0; }), true, true},
        {"height of INT_MIN", with([](BmpShape& s) { s.height = INT32_MIN; }), true, true},
        {"colour table past the header block", with([](BmpShape& s) { s.clrUsed = 1000; }), true, false},
        {"8-bit colour table missing",
         [] {
             BmpShape s{.width = 2, .height = 2, .bits = 8, .pixels = std::vector<uint8_t>(8)};
             auto f = BuildBmp(s);
             uint32_t used = 200;
             std::memcpy(&f[14 + 32], &used, 4);
             return f;
         },
         true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        const auto file = c.make();
        CDib dib;
        if (c.cdibRefuses) {
            EXPECT_EQ(dib.Read(file), 0u);
            EXPECT_TRUE(dib.IsEmpty());
            EXPECT_EQ(dib.Width(), 0);
            EXPECT_FALSE(dib.Draw(*std::make_unique<Surface>(MakeSurface(4, 4))));
        }
        DibBuffer buf;
        if (c.bufferRefuses) {
            EXPECT_FALSE(buf.LoadBmpBytes(file, DibBuffer::kAllDepths));
            EXPECT_TRUE(buf.IsEmpty());
            EXPECT_EQ(buf.HeaderKind(), 0);
        }
    }
}

TEST(BmpReaders, RefusedPictureFilesSayWhy) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    const std::string big = root + "/big.bmp", garbage = root + "/garbage.bmp", pipe = root + "/pipe.bmp",
                      huge = root + "/huge.bmp";
    ASSERT_TRUE(WriteBytes(big, BuildBmp({.width = 4097,
                                          .height = 1,
                                          .bits = 8,
                                          .palette = kFourColours,
                                          .pixels = std::vector<uint8_t>(4100)})));
    ASSERT_TRUE(WriteBytes(garbage, {'B', 'M', 1, 2, 3}));
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    // Larger than any picture a reader takes (sparse: no disk is used).
    {
        QFile f(QString::fromStdString(huge));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(80ll << 20));
    }
    struct Row {
        std::string path;
        DibProblem problem;
        int error;
    };
    const std::vector<Row> rows = {
        {big, DibProblem::TooLarge, 0},         {garbage, DibProblem::Unreadable, 0},
        {root, DibProblem::CannotOpen, EISDIR}, {pipe, DibProblem::CannotOpen, EINVAL},
        {huge, DibProblem::CannotOpen, EFBIG},  {root + "/none.bmp", DibProblem::CannotOpen, ENOENT},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        // Run apart, so that a reader stuck on the pipe fails the test instead of hanging it.
        auto load = std::async(std::launch::async, [&r] {
            CDib dib;
            int err = 0;
            const size_t got = dib.Load(r.path, &err);
            DibBuffer buf;
            const bool bufferRead = buf.LoadBmp(r.path, DibBuffer::kAllDepths);
            return std::tuple{got, dib.Problem(), err, bufferRead};
        });
        if (load.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            ADD_FAILURE() << "reading blocked";
            const int w = ::open(r.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (w >= 0)
                ::close(w); // the stuck reader sees the end of the pipe
            load.wait();
            continue;
        }
        const auto [got, problem, err, bufferRead] = load.get();
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(problem, r.problem);
        EXPECT_EQ(err, r.error) << ErrorText(err);
        EXPECT_FALSE(bufferRead);
    }
}

TEST(BmpReaders, ColoursUsedAreBoundedByTheDepth) {
    // A 1-bit file claiming 200 colours with 2 present in a table long enough for 200.
    std::vector<RGBQUAD> palette(200);
    BmpShape s{.width = 8, .height = 1, .bits = 1, .palette = palette, .pixels = {0xAA, 0, 0, 0}};
    DibBuffer buf;
    ASSERT_TRUE(buf.LoadBmpBytes(BuildBmp(s), DibBuffer::kAllDepths));
    EXPECT_EQ(buf.Info()->biClrUsed, 2u);
    EXPECT_EQ(buf.Header().size(), 48u);
}

TEST(BmpReaders, MissingFileReportsTheOpenError) {
    CDib dib;
    int err = 0;
    EXPECT_EQ(dib.Load("/nonexistent/folder/capframe.bmp", &err), 0u);
    EXPECT_EQ(err, ENOENT);
    DibBuffer buf;
    EXPECT_FALSE(buf.LoadBmp("/nonexistent/folder/capframe.bmp", DibBuffer::kAllDepths));
}

TEST(CDibWrite, RoundTripsAndRecomputesSizes) {
    BmpShape s{.width = 3, .height = 2, .bits = 24, .pixels = Pixels24(3, 2, [](int x, int y) {
                                                        return x * 40 + y;
                                                    })};
    s.sizeImage = 0; // a writer that left the size out
    CDib dib;
    ASSERT_GT(dib.Read(BuildBmp(s)), 0u);
    const auto out = dib.Write();
    uint32_t offBits = 0, size = 0, sizeImage = 0;
    std::memcpy(&size, out.data() + 2, 4);
    std::memcpy(&offBits, out.data() + 10, 4);
    std::memcpy(&sizeImage, out.data() + 14 + 20, 4);
    EXPECT_EQ(offBits, 54u);
    EXPECT_EQ(size, 54u + 24);
    EXPECT_EQ(sizeImage, 24u);
    CDib again;
    ASSERT_EQ(again.Read(out), out.size());
    EXPECT_EQ(again.Image(), dib.Image());
}

// --------------------------------------------------------------------------------------------
// Drawing

TEST(CDibDraw, ScalingRepeatsAndDropsPixelsWithoutBlending) {
    BmpShape s{.width = 2, .height = 2, .bits = 24, .pixels = Pixels24(2, 2, [](int x, int y) {
                                                        return x == y ? 0xFF0000u : 0x0000FFu;
                                                    })};
    CDib dib;
    ASSERT_GT(dib.Read(BuildBmp(s)), 0u);
    Surface big = MakeSurface(4, 4);
    ASSERT_TRUE(dib.Draw(big, {0, 0, 4, 4}, {0, 0, 2, 2}));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(Rgb(big.pixel(x, y)), (x / 2 == y / 2) ? 0xFF0000u : 0x0000FFu) << x << "," << y;
    Surface one = MakeSurface(1, 1);
    ASSERT_TRUE(dib.Draw(one, {0, 0, 1, 1}, {0, 0, 2, 2}));
    EXPECT_EQ(Rgb(one.pixel(0, 0)), 0xFF0000u); // top-left kept, nothing mixed
}

TEST(CDibDraw, TransparentColourShowsTheTargetExactly) {
    // Overlay: left column the transparent colour (1,2,3), right column a near miss (1,2,4).
    BmpShape s{.width = 2, .height = 2, .bits = 24, .pixels = Pixels24(2, 2, [](int x, int) {
                                                        return x == 0 ? 0x010203u : 0x010204u;
                                                    })};
    CDib overlay;
    ASSERT_GT(overlay.Read(BuildBmp(s)), 0u);
    Surface target = MakeSurface(4, 2);
    target.fill(QColor(200, 100, 50));
    const Surface before = target.copy();
    ASSERT_TRUE(overlay.DrawTransparent(target, {0, 0, 4, 2}, {0, 0, 2, 2}, 0x030201 /* 0x00BBGGRR */));
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(target.pixel(x, 0), x < 2 ? before.pixel(x, 0) : qRgb(1, 2, 4)) << x;
        EXPECT_EQ(target.pixel(x, 1), x < 2 ? before.pixel(x, 1) : qRgb(1, 2, 4)) << x;
    }
    // A wholly transparent overlay leaves the target unchanged, also on the cached path.
    BmpShape all{
        .width = 2, .height = 2, .bits = 24, .pixels = Pixels24(2, 2, [](int, int) { return 0x010203u; })};
    CDib clear;
    ASSERT_GT(clear.Read(BuildBmp(all)), 0u);
    for (int round = 0; round < 2; ++round) {
        Surface t = before.copy();
        ASSERT_TRUE(clear.DrawTransparent(t, {0, 0, 4, 2}, {0, 0, 2, 2}, 0x030201));
        EXPECT_EQ(t, before);
    }
    CDib empty;
    Surface t = before.copy();
    EXPECT_FALSE(empty.DrawTransparent(t, {0, 0, 4, 2}, {0, 0, 2, 2}, 0));
    EXPECT_EQ(t, before);
}

// --------------------------------------------------------------------------------------------
// Resampler

namespace {
DibBuffer Buffer24(int w, int h, std::function<uint32_t(int, int)> fn) {
    DibBuffer b;
    BmpShape s{.width = w, .height = h, .bits = 24, .pixels = Pixels24(w, std::abs(h), fn, h < 0)};
    EXPECT_TRUE(b.LoadBmpBytes(BuildBmp(s), DibBuffer::kAllDepths));
    return b;
}
const uint8_t* Px(const DibBuffer& b, int x, int memRow) {
    return b.Pixels().data() + static_cast<size_t>(memRow) * b.Stride() + 3 * x;
}
} // namespace

TEST(DibResize, LastColumnAndRowAreTheSourceOnesExactly) {
    // Each pixel encodes its own column and row: blue = x, green = memory row.
    DibBuffer b = Buffer24(176, 144, [](int x, int y) { return static_cast<uint32_t>(x | (143 - y) << 8); });
    ASSERT_TRUE(b.Resize(118, 90));
    EXPECT_EQ(b.Width(), 118);
    EXPECT_EQ(b.Height(), 90);
    EXPECT_EQ(b.Pixels().size(), 90u * b.Stride());
    EXPECT_EQ(Px(b, 117, 89)[0], 175);
    EXPECT_EQ(Px(b, 117, 89)[1], 143);
    EXPECT_EQ(Px(b, 0, 0)[0], 0);
    EXPECT_EQ(Px(b, 0, 0)[1], 0);
}

TEST(DibResize, HalfWayPositionsWeighBothNeighboursEqually) {
    // 3 columns to 5: column 1 sits half-way between source columns 0 and 1.
    DibBuffer b = Buffer24(3, 1, [](int x, int) {
        return x == 0 ? 0x000000u : x == 1 ? 0x0000C8u : 0x000064u;
    });
    ASSERT_TRUE(b.Resize(5, 1));
    EXPECT_EQ(Px(b, 0, 0)[0], 0);
    EXPECT_EQ(Px(b, 1, 0)[0], 100); // (128 x 0 + 128 x 200) x 256 >> 16
    EXPECT_EQ(Px(b, 2, 0)[0], 200);
    EXPECT_EQ(Px(b, 3, 0)[0], 150);
    EXPECT_EQ(Px(b, 4, 0)[0], 100);
}

TEST(DibResize, TopDownKeepsItsSign) {
    DibBuffer b = Buffer24(8, -6, [](int x, int y) { return static_cast<uint32_t>(x + y); });
    ASSERT_TRUE(b.Resize(4, 3));
    EXPECT_EQ(b.Height(), -3);
    EXPECT_EQ(Px(b, 0, 0)[0], 0); // the first memory row is still the top
}

TEST(DibResize, WidthOrHeightOfOneTakesTheFirstColumnOrRow) {
    struct Row {
        int fromW, fromH, toW, toH;
    };
    for (const Row& r :
         {Row{5, 4, 1, 4}, Row{5, 4, 5, 1}, Row{1, 1, 3, 3}, Row{1, 4, 2, 2}, Row{5, 1, 1, 1}}) {
        SCOPED_TRACE(testing::Message() << r.fromW << "x" << r.fromH << " to " << r.toW << "x" << r.toH);
        DibBuffer b =
            Buffer24(r.fromW, r.fromH, [](int x, int y) { return x == 0 && y == 0 ? 0x0000FFu : 0x000010u; });
        ASSERT_TRUE(b.Resize(r.toW, r.toH));
        EXPECT_EQ(b.Width(), r.toW);
        EXPECT_EQ(b.Height(), r.toH);
        // Memory row 0 is the picture's bottom row: (0, fromH - 1) from the top.
        const uint8_t want = r.fromH == 1 ? 0xFF : 0x10;
        EXPECT_EQ(Px(b, 0, 0)[0], want);
    }
}

TEST(DibResize, ThreeByteRowsGiveWhatFourByteRowsGive) {
    // The 24-bit resampler has a loop of its own; the 32-bit one is the reference.
    struct Row {
        int fromW, fromH, toW, toH;
    };
    for (const Row& r :
         {Row{1920, 1080, 118, 90}, Row{1281, 721, 118, 90}, Row{640, 480, 118, 90}, Row{320, 240, 118, 90},
          Row{7, 5, 118, 90}, Row{33, 17, 9, 31}, Row{3, 2, 2, 3}, Row{2, 2, 1, 3}}) {
        SCOPED_TRACE(testing::Message() << r.fromW << "x" << r.fromH << " to " << r.toW << "x" << r.toH);
        auto colour = [](int x, int y) {
            return static_cast<uint32_t>((x * 7919 + y * 104729) * 2654435761u);
        };
        DibBuffer b24 = Buffer24(r.fromW, r.fromH, colour);
        BITMAPINFOHEADER ih;
        DibBuffer::InitHeader(ih, r.fromW, r.fromH, 32);
        std::vector<uint8_t> px32(static_cast<size_t>(r.fromW) * r.fromH * 4);
        for (int y = 0; y < r.fromH; ++y)
            for (int x = 0; x < r.fromW; ++x)
                std::memcpy(&px32[(static_cast<size_t>(y) * r.fromW + x) * 4], Px(b24, x, y), 3);
        DibBuffer b32;
        ASSERT_TRUE(b32.CopyFrom({reinterpret_cast<const uint8_t*>(&ih), sizeof ih}, px32));
        ASSERT_TRUE(b24.Resize(r.toW, r.toH));
        ASSERT_TRUE(b32.Resize(r.toW, r.toH));
        for (int y = 0; y < r.toH; ++y)
            for (int x = 0; x < r.toW; ++x)
                ASSERT_EQ(std::memcmp(Px(b24, x, y),
                                      b32.Pixels().data() + (static_cast<size_t>(y) * r.toW + x) * 4, 3),
                          0)
                    << x << "," << y;
    }
}

TEST(DibResize, EveryAcceptedDepthResizes) {
    for (int bits : {1, 4, 8, 16, 32}) {
        SCOPED_TRACE(bits);
        BmpShape s{.width = 4, .height = 2, .bits = bits};
        if (bits <= 8) {
            s.palette = kFourColours;
            if (bits == 1)
                s.palette.resize(2);
            s.pixels = PalettedRows(bits, false);
        } else {
            s.pixels = DirectRows(bits, false);
        }
        DibBuffer b;
        ASSERT_TRUE(b.LoadBmpBytes(BuildBmp(s), DibBuffer::kAllDepths));
        ASSERT_TRUE(b.Resize(8, 4));
        EXPECT_EQ(b.Pixels().size(), 4 * DibStride(8, bits));
        // Decode through the toolkit: the corners keep their colours.
        CDib back;
        ASSERT_GT(back.Read(b.ToBmpFile()), 0u);
        const QImage& img = back.Image();
        ASSERT_FALSE(img.isNull());
        for (auto [x, y, sx, sy] : {std::array{0, 0, 0, 0}, std::array{7, 0, 3, 0}, std::array{0, 3, 0, 1},
                                    std::array{7, 3, 3, 1}}) {
            const uint32_t want = Expected(bits, sx, sy);
            const uint32_t got = Rgb(img.pixel(x, y));
            for (int sh : {0, 8, 16})
                EXPECT_NEAR((got >> sh) & 0xFF, (want >> sh) & 0xFF, bits == 16 ? 8 : 0) << x << "," << y;
        }
    }
    DibBuffer empty;
    EXPECT_FALSE(empty.Resize(118, 90));
}

TEST(DibBufferCopy, CopiesHeaderTableAndImageBytes) {
    BITMAPINFOHEADER h;
    ASSERT_TRUE(DibBuffer::InitHeader(h, 5, -3, 24));
    EXPECT_EQ(h.biSizeImage, 3u * 16);
    EXPECT_FALSE(DibBuffer::InitHeader(h, 5, 3, 12));
    ASSERT_TRUE(DibBuffer::InitHeader(h, 5, -3, 24));
    std::vector<uint8_t> header(reinterpret_cast<uint8_t*>(&h), reinterpret_cast<uint8_t*>(&h) + 40);
    std::vector<uint8_t> pixels(48, 7);
    DibBuffer b;
    ASSERT_TRUE(b.CopyFrom(header, pixels));
    EXPECT_EQ(b.Pixels().size(), 48u);
    EXPECT_EQ(b.Stride(), 16u);
    EXPECT_FALSE(b.CopyFrom(header, std::span<const uint8_t>(pixels).first(47)));
    EXPECT_TRUE(b.IsEmpty());
}
