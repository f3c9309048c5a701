// ComposeFrame from the test pattern (overlay of the frame's size, two captions) against
// encoding the same composed frame and its 118 x 90 picture with the same writer.

#include "TestPatternCapture.h"
#include "capture/CaptureSubsystem.h"
#include "capture/TestPattern.h"

#include <QGuiApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace kestrel;

namespace {

struct Setup : TestPatternCapture {
    QTemporaryDir dir;
    std::string root = dir.path().toStdString();
    Surface composed;
    DibBuffer small;

    Setup(int w, int h) {
        image.UseOverlay = 1;
        image.OverlayTransColor = RGB(0, 255, 0);
        image.OverlayBmp = root + "/overlay.bmp";
        WriteOverlay(w, h);
        Connect(root, w, h, 12);
        composed = capture->Composer().Compose().copy();
        BITMAPINFOHEADER ih;
        DibBuffer::InitHeader(ih, w, -h, 24);
        small.CopyFrom({reinterpret_cast<const uint8_t*>(&ih), sizeof ih},
                       {composed.constBits(), static_cast<size_t>(composed.sizeInBytes())});
        small.Resize(kSmallWidth, kSmallHeight);
    }

    void WriteOverlay(int w, int h) {
        BITMAPINFOHEADER ih;
        DibBuffer::InitHeader(ih, w, h, 24);
        std::vector<uint8_t> px(ih.biSizeImage);
        const size_t stride = DibStride(w, 24);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t* p = &px[y * stride + 3 * x];
                const bool logo = x > w * 2 / 3 && y > h * 7 / 8; // bottom-up: near the top
                p[0] = logo ? 200 : 0, p[1] = logo ? 40 : 255, p[2] = logo ? 40 : 0;
            }
        DibBuffer b;
        b.CopyFrom({reinterpret_cast<const uint8_t*>(&ih), sizeof ih}, px);
        const auto file = b.ToBmpFile();
        std::FILE* f = std::fopen(image.OverlayBmp.c_str(), "wb");
        std::fwrite(file.data(), 1, file.size(), f);
        std::fclose(f);
    }

    void Compose() { capture->ComposeFrame(); }
    void EncodeOnly() {
        JpegWriter& jpeg = capture->Jpeg();
        jpeg.SetQuality(image.JpegQuality);
        jpeg.WriteFile(composed.constBits(), composed.width(), -composed.height(), root + "/frame.jpg");
        jpeg.SetQuality(image.JpegQuality);
        jpeg.WriteFile(small.Pixels().data(), kSmallWidth, small.Height(), root + "/framei.jpg");
    }
};

Setup& SetupFor(int w) {
    static Setup large(640, 480), smallSetup(320, 240);
    return w == 640 ? large : smallSetup;
}

void BM_ComposeFrame(benchmark::State& state) {
    Setup& s = SetupFor(static_cast<int>(state.range(0)));
    for (auto _ : state)
        s.Compose();
}
void BM_EncodeOnly(benchmark::State& state) {
    Setup& s = SetupFor(static_cast<int>(state.range(0)));
    for (auto _ : state)
        s.EncodeOnly();
}
BENCHMARK(BM_ComposeFrame)->Arg(640)->Arg(320)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeOnly)->Arg(640)->Arg(320)->Unit(benchmark::kMillisecond);

template <typename F> double MedianMs(F&& f, int runs) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto a = std::chrono::steady_clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count());
    }
    std::nth_element(t.begin(), t.begin() + t.size() / 2, t.end());
    return t[t.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    // Medians of interleaved runs, so both sides see the same machine load.
    std::printf("\nmedians over 201 interleaved runs each:\n");
    for (int w : {640, 320}) {
        Setup& s = SetupFor(w);
        std::vector<double> compose, encode;
        for (int round = 0; round < 201; ++round) {
            compose.push_back(MedianMs([&] { s.Compose(); }, 1));
            encode.push_back(MedianMs([&] { s.EncodeOnly(); }, 1));
        }
        std::nth_element(compose.begin(), compose.begin() + 100, compose.end());
        std::nth_element(encode.begin(), encode.begin() + 100, encode.end());
        const double c = compose[100], e = encode[100];
        std::printf("%dx%d: ComposeFrame %.3f ms, encode only %.3f ms, ratio %.2f (target <= %s)\n", w,
                    w * 3 / 4, c, e, c / e, w == 640 ? "2" : "3");
    }
    benchmark::Shutdown();
    return 0;
}
