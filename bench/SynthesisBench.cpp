// Building the sweep images: the default sweep and the one-hour sweep.
#include <benchmark/benchmark.h>

#include <memory>

#include "measurement/TestSignals.h"

namespace {

void BM_DefaultSweep(benchmark::State& state) {
    auto s = std::make_unique<sonarix::SharedState>();
    for (auto _ : state) {
        sonarix::MakeSweepWav(*s, "100", "10000", "10", "50");
        benchmark::DoNotOptimize(s->WavImage.Data());
    }
    state.SetItemsProcessed(state.iterations() * s->SampleCount);
}
BENCHMARK(BM_DefaultSweep)->Unit(benchmark::kMillisecond);

// 158760000 samples, about 318 MB. A fresh state each time, so the image is allocated anew.
void BM_OneHourSweep(benchmark::State& state) {
    for (auto _ : state) {
        auto s = std::make_unique<sonarix::SharedState>();
        sonarix::MakeSweepWav(*s, "0", "1000", "1", "3600");
        benchmark::DoNotOptimize(s->WavImage.Data());
        state.PauseTiming();
        s.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 158760000);
}
BENCHMARK(BM_OneHourSweep)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same sweep range as the default, but an hour long (the usual upper range of frequencies).
void BM_OneHourSweepAudioRange(benchmark::State& state) {
    for (auto _ : state) {
        auto s = std::make_unique<sonarix::SharedState>();
        sonarix::MakeSweepWav(*s, "100", "10000", "10", "3636.3636");
        benchmark::DoNotOptimize(s->WavImage.Data());
        state.PauseTiming();
        s.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_OneHourSweepAudioRange)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
