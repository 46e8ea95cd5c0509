// The sweep in real time on the virtual apparatus with the real main window (offscreen):
// the default sweep's wall time and lag events, and sweeps of 100 ... 10000 Hz in 10 Hz steps
// at short step times while the other three slots hold 19999 points each, with where a step's
// time goes. build/bench/bench_sweep [--benchmark_filter=Short] (the default sweep takes 50 s).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <cmath>
#include <memory>

#include "app/Program.h"
#include "display/Unit1Form.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/VirtualApparatus.h"
#include "plot/Controls.h"

namespace {

struct Running {
    Running() {
        audio::UseBackend(
            std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::RealTime));
        program = std::make_unique<sonarix::Program>();
        sonarix::StartUp(*program);
        sonarix::CreateRemainingWindows(*program);
        QApplication::processEvents();
    }
    ~Running() {
        sonarix::ShutDown(*program);
        program.reset();
        audio::UseBackend(nullptr);
    }
    sonarix::TForm1& Form() { return *program->form1; }
    std::unique_ptr<sonarix::Program> program;
};

void Report(benchmark::State& state, const sonarix::SweepStats& st) {
    const double n = std::max(st.steps, 1);
    state.counters["steps"] = st.steps;
    state.counters["lag_events"] = st.lagEvents;
    state.counters["wall_s"] = st.totalSeconds;
    state.counters["wait_ms"] = 1e3 * st.waitSeconds / n;
    state.counters["level_ms"] = 1e3 * st.levelSeconds / n;
    state.counters["redraw_ms"] = 1e3 * st.redrawSeconds / n;
    state.counters["messages_ms"] = 1e3 * st.messageSeconds / n;
}

void BM_DefaultSweep(benchmark::State& state) {
    Running r;
    for (auto _ : state) r.Form().Button2Click();
    Report(state, r.Form().Engine().LastStats());
}
BENCHMARK(BM_DefaultSweep)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// Step time in ms as the argument; slots 2 ... 4 full of a noisy resonance spectrum.
void BM_ShortSteps(benchmark::State& state) {
    Running r;
    sonarix::SharedState& s = *r.program->state;
    for (int slot = 1; slot < sonarix::kSlots; ++slot) {
        for (int i = 1; i <= sonarix::kMaxSweepPoints; ++i) {
            const double f = 100.0 + i * 0.495;
            s.SpecFreq[slot][i] = f;
            s.SpecAmp[slot][i] = 2.0 + 40.0 / (1.0 + std::pow((f - 4906.0) / 25.0, 2)) +
                                 0.5 * std::sin(i * 0.7 + slot);
        }
        s.SpecCount[slot] = sonarix::kMaxSweepPoints;
    }
    r.Form().Edit4->setText(QString::number(state.range(0)));
    for (auto _ : state) r.Form().Button2Click();
    Report(state, r.Form().Engine().LastStats());
}
BENCHMARK(BM_ShortSteps)
    ->Arg(10)
    ->Arg(8)
    ->Arg(6)
    ->Arg(5)
    ->Arg(4)
    ->Arg(3)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
