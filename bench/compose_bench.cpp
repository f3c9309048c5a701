// ComposeFrame from the test pattern (overlay of the frame's size, two captions) against
// encoding the same composed frame and its 118 x 90 picture with the same writer.

#include "BenchOptions.h"
#include "TestPatternCapture.h"
#include "capture/CaptureSubsystem.h"
#include "capture/TestPattern.h"

#include <QGuiApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>

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

// The measured widths, each at 4:3 or 16:9 as cameras deliver them.
constexpr int kWidths[] = {320, 640, 1280, 1920};
int HeightFor(int w) {
    return w >= 1280 ? w * 9 / 16 : w * 3 / 4;
}

// Made on first use, so that a run of one size does not set up the others.
Setup& SetupFor(int w) {
    static std::map<int, std::unique_ptr<Setup>> setups;
    std::unique_ptr<Setup>& s = setups[w];
    if (!s)
        s = std::make_unique<Setup>(w, HeightFor(w));
    return *s;
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
BENCHMARK(BM_ComposeFrame)->Arg(320)->Arg(640)->Arg(1280)->Arg(1920)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeOnly)->Arg(320)->Arg(640)->Arg(1280)->Arg(1920)->Unit(benchmark::kMillisecond);

// CPU time of the whole process (every thread, the background file writer included), in ms.
double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// CPU ms per call of f over `calls` calls.
template <typename F> double CpuMsPerCall(F&& f, int calls) {
    const double a = ProcessCpuMs();
    for (int i = 0; i < calls; ++i)
        f();
    return (ProcessCpuMs() - a) / calls;
}

// One side alone, for an instruction-count profiler started with
// --toggle-collect='*ProfileSide*': "--profile=compose640" (or encode640, compose1920, any
// side and measured width) runs 50 calls of that side ("--calls=N" for another number) and
// nothing else.
__attribute__((noinline)) void ProfileSide(Setup& s, bool compose, int calls) {
    for (int i = 0; i < calls; ++i)
        compose ? s.Compose() : s.EncodeOnly();
}

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    if (const char* profile = OptionText(argc, argv, "--profile=")) {
        const std::string side = profile;
        const bool compose = side.rfind("compose", 0) == 0;
        const int w = std::atoi(side.c_str() + (compose ? 7 : 6));
        if (std::find(std::begin(kWidths), std::end(kWidths), w) == std::end(kWidths)) {
            std::fprintf(stderr, "--profile: composeW or encodeW with W one of 320, 640, 1280, 1920\n");
            return 2;
        }
        Setup& s = SetupFor(w);
        s.Compose(); // first-call work (fonts, overlay mask) is not counted
        ProfileSide(s, compose, CountOption(argc, argv, "--calls=", 50));
        s.capture->Composer().FlushCapFrame();
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    // CPU time rather than wall time: on a shared machine the wall clock mostly measures the
    // other processes. Rounds of 20 calls alternate between the two sides, and the median
    // round of each side is taken, so both see the same load.
    // "--rounds=N" shortens the run, e.g. under a profiler.
    const int kRounds = CountOption(argc, argv, "--rounds=", 41);
    constexpr int kCalls = 20;
    std::printf("\nCPU time per call (process, all threads), median of %d interleaved rounds of %d calls:\n",
                kRounds, kCalls);
    for (int w : kWidths) {
        Setup& s = SetupFor(w);
        std::vector<double> compose, encode, ratios;
        for (int round = 0; round < kRounds; ++round) {
            compose.push_back(CpuMsPerCall([&] { s.Compose(); }, kCalls));
            encode.push_back(CpuMsPerCall([&] { s.EncodeOnly(); }, kCalls));
            ratios.push_back(compose.back() / encode.back());
        }
        auto median = [](std::vector<double>& v) {
            std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
            return v[v.size() / 2];
        };
        // The ratio of each round's two sides, taken a moment apart, follows the machine's
        // changing load less than the ratio of the two medians does.
        const double c = median(compose), e = median(encode), r = median(ratios);
        std::printf("%dx%d: ComposeFrame %.3f ms, encode only %.3f ms, ratio %.2f; median ratio within a "
                    "round %.2f (goal <= 1.15)\n",
                    w, HeightFor(w), c, e, c / e, r);
    }
    benchmark::Shutdown();
    return 0;
}
