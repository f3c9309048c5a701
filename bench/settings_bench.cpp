// Reading and writing the settings file: a normal one, one with many values and one with
// a hex blob continued over many lines (the reader must stay linear, so a file grown by
// hand or by accident never stalls a start).

#include "platform/SettingsStore.h"

#include <benchmark/benchmark.h>

#include <cstdio>

using kestrel::SettingsStore;

static std::string MakeFile(int values) {
    std::string text =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n";
    char line[64];
    for (int i = 0; i < values; ++i) {
        std::snprintf(line, sizeof line, "\"Value%d\"=dword:%08x\n", i, static_cast<unsigned>(i));
        text += line;
    }
    return text;
}

static void BM_Parse(benchmark::State& state) {
    const std::string text = MakeFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        SettingsStore store;
        benchmark::DoNotOptimize(store.Parse(text));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_Parse)->RangeMultiplier(10)->Range(100, 100000)->Complexity();

// A blob of 8 bytes per line continued over `lines` lines ("hex:01,…,\" then "  …").
static std::string MakeBlobFile(int lines) {
    std::string text =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n"
        "\"Blob\"=hex:";
    char item[4];
    for (int line = 0; line < lines; ++line) {
        for (int i = 0; i < 8; ++i) {
            std::snprintf(item, sizeof item, "%02x", static_cast<unsigned>((line + i) & 0xFF));
            text += item;
            if (line + 1 < lines || i < 7)
                text += ',';
        }
        text += line + 1 < lines ? "\\\n  " : "\n";
    }
    return text;
}

static void BM_ParseHexBlob(benchmark::State& state) {
    const std::string text = MakeBlobFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        SettingsStore store;
        benchmark::DoNotOptimize(store.Parse(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseHexBlob)
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

static void BM_Serialize(benchmark::State& state) {
    SettingsStore store;
    store.Parse(MakeFile(static_cast<int>(state.range(0))));
    for (auto _ : state)
        benchmark::DoNotOptimize(store.Serialize());
}
BENCHMARK(BM_Serialize)->Arg(100)->Arg(10000);

BENCHMARK_MAIN();
