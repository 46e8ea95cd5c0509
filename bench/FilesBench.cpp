// Writing and reading a spectrum file of 20000 points: formatting, the safe write (temporary
// file, flush to the disk, rename) and the reading rules.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "measurement/TextFiles.h"

namespace {

struct Slot {
    Slot() : x(20000), y(20000) {
        for (int i = 0; i < 20000; ++i) {
            x[static_cast<size_t>(i)] = 100.0 + 0.495 * i;
            y[static_cast<size_t>(i)] = 2.0 + 40.0 / (1.0 + (i - 9000) * (i - 9000) / 400.0);
        }
    }
    std::vector<double> x, y;
};

std::string Path() {
    return (std::filesystem::temp_directory_path() /
            ("sonarix-bench-" + std::to_string(getpid()) + ".dat"))
        .string();
}

void BM_FormatLines(benchmark::State& state) {
    Slot s;
    for (auto _ : state)
        benchmark::DoNotOptimize(sonarix::PairLines(s.x.data(), s.y.data(), 20000));
}
BENCHMARK(BM_FormatLines)->Unit(benchmark::kMillisecond);

void BM_SaveSpectrum(benchmark::State& state) {
    Slot s;
    const std::string path = Path();
    for (auto _ : state) {
        if (sonarix::WriteFileSafely(path, sonarix::PairLines(s.x.data(), s.y.data(), 20000)) !=
            0) {
            state.SkipWithError("write failed");
        }
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_SaveSpectrum)->Unit(benchmark::kMillisecond);

void BM_OpenSpectrum(benchmark::State& state) {
    Slot s;
    const std::string path = Path();
    sonarix::WriteFileSafely(path, sonarix::PairLines(s.x.data(), s.y.data(), 20000));
    std::vector<double> x(20000), y(20000);
    for (auto _ : state) {
        const sonarix::PairRead r = sonarix::ReadPairFile(path, 20000, x.data(), y.data());
        if (r.count != 20000) state.SkipWithError("short read");
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_OpenSpectrum)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
