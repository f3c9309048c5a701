// Motion Compare on a 640 x 480 24-bit frame and the whole per-frame callback.

#include "app/HeadlessView.h"
#include "capture/CaptureWindow.h"
#include "capture/MotionDetector.h"
#include "capture/TestPattern.h"

#include <QGuiApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace kestrel;

namespace {

struct Frames {
    TestPatternDevice pattern;
    DibBuffer a, b;
    Frames() {
        pattern.SetFormat(640, 480, 24);
        pattern.Connect();
        pattern.TakeFrame(a);
        pattern.TakeFrame(b); // the block has moved a little: no motion, every sample compared
    }
};

struct Callback {
    QTemporaryDir dir;
    std::string root = dir.path().toStdString();
    ImageSettings image;
    HeadlessMainView view;
    HeadlessMessageBox box{stderr};
    int reinit = 1;
    DriverCatalog catalog{nullptr, [] { return std::vector<DriverEntry>{}; }};
    CCaptureWindow window{catalog, &view};
    JpegWriter jpeg;
    MotionWatch watch{MotionWatch::Inputs{&image, [this] { return root; }, &jpeg, &view, &box, &reinit, {}}};
    Callback() {
        image.UseMotion = 1;
        image.CaptureDevice = 0;
        catalog.Refresh();
        window.SetUserData(this);
        window.DriverConnect(0);
        static_cast<TestPatternDevice*>(window.Device())->SetFormat(640, 480, 24);
        watch.FrameCallback(window); // the first frame initialises and counts as motion
    }
};

void BM_MotionCompare(benchmark::State& state) {
    static Frames f;
    MotionDetector d;
    d.Init(*f.a.Info());
    d.SetRatio(0.075);
    d.Compare(f.a.Pixels());
    bool flip = false;
    for (auto _ : state) {
        benchmark::DoNotOptimize(d.Compare((flip = !flip) ? f.b.Pixels() : f.a.Pixels()));
    }
}
BENCHMARK(BM_MotionCompare)->Unit(benchmark::kMicrosecond);

void BM_FrameCallback(benchmark::State& state) {
    static Callback c;
    for (auto _ : state)
        benchmark::DoNotOptimize(c.watch.FrameCallback(c.window));
}
BENCHMARK(BM_FrameCallback)->Unit(benchmark::kMillisecond);

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
    static Frames f;
    MotionDetector d;
    d.Init(*f.a.Info());
    d.SetRatio(0.075);
    d.Compare(f.a.Pixels());
    bool flip = false;
    const double compare = MedianMs([&] { d.Compare((flip = !flip) ? f.b.Pixels() : f.a.Pixels()); }, 1001);
    static Callback c;
    const double callback = MedianMs([&] { c.watch.FrameCallback(c.window); }, 301);
    std::printf(
        "\nmedians: Compare 640x480x24 %.4f ms (target <= 0.1), per-frame callback %.3f ms (target <= 3), "
        "snapshots written %llu\n",
        compare, callback, static_cast<unsigned long long>(c.watch.Snapshots()));
    benchmark::Shutdown();
    return 0;
}
