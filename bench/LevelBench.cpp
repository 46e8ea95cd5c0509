// One level read during a sweep on the virtual apparatus, by each method: the seven FFT bins,
// the lock-in against a tone at the step frequency, and the lock-in against the played image
// (with a calibrated latency). All three in one run, so their costs compare directly.
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>

#include "measurement/Playback.h"
#include "measurement/ReadLevel.h"
#include "measurement/TestSignals.h"
#include "physics/SampleRate.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"

namespace {

// A sweep image playing on the apparatus, half a second in.
struct Playing {
    Playing() {
        auto b = std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual);
        apparatus = b.get();
        context.emplace(std::move(b));
        audio::Init(-1, physics::kSampleRate, 0, nullptr, nullptr);
        audio::RecordInit(-1);
        sonarix::StartRecording(*s);
        sonarix::MakeSweepWav(*s, "1000", "3000", "10", "20");
        sonarix::StartPlayback(*s, 50);
        apparatus->AdvanceMs(500);
    }
    // The context ends after the state, whose recording it holds.
    std::optional<platform::ContextScope> context;
    std::unique_ptr<sonarix::SharedState> s = std::make_unique<sonarix::SharedState>();
    audio::VirtualApparatus* apparatus = nullptr;
    sonarix::LevelBuffers buffers;
};

void BM_LevelFft(benchmark::State& state) {
    Playing p;
    for (auto _ : state) {
        benchmark::DoNotOptimize(sonarix::ReadLevel(*p.s, 1500.0, true, p.buffers));
    }
}
BENCHMARK(BM_LevelFft)->Unit(benchmark::kMicrosecond);

void BM_LevelLockInTone(benchmark::State& state) {
    Playing p;
    for (auto _ : state) {
        benchmark::DoNotOptimize(sonarix::ReadLockInLevel(*p.s, 1500.0, p.buffers));
    }
}
BENCHMARK(BM_LevelLockInTone)->Unit(benchmark::kMicrosecond);

void BM_LevelLockInImage(benchmark::State& state) {
    Playing p;
    p.s->Latency = sonarix::LatencyCalibration{true, 441.0, 60.0, 0.0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(sonarix::ReadLockInLevel(*p.s, 1500.0, p.buffers));
    }
}
BENCHMARK(BM_LevelLockInImage)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
