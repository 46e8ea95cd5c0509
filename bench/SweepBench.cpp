// The sweep in real time with the real main window (offscreen), on the virtual apparatus or,
// under scripts/with-sound-server, on the private sound server's null sink: the default
// sweep's wall time and lag events, and calibrated sweeps of 100 ... 10000 Hz in 10 Hz steps
// at short step times while the other three slots hold 19999 points each, with where a step's
// time goes and where the reads fell. build/bench/bench_sweep [--benchmark_filter=Short] (the
// default sweep takes 50 s).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/Program.h"
#include "measurement/Latency.h"
#include "physics/SampleRate.h"
#include "platform/Clock.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/AudioFactory.h"
#include "platform/audio/VirtualApparatus.h"
#include "plot/Controls.h"
#include "session/Journal.h"
#include "session/SessionKeeper.h"
#include "ui/main/MainWindow.h"

namespace {

// Under scripts/with-sound-server (PULSE_SERVER set) the program plays and records through the
// private sound server's null sink; otherwise through the virtual apparatus in real time.
bool OnSoundServer() { return std::getenv("PULSE_SERVER") != nullptr; }

struct Running {
    Running() {
        if (OnSoundServer()) {
            context.emplace(audio::CreateSoundCardBackend());
        } else {
            context.emplace(std::make_unique<audio::VirtualApparatus>(
                audio::VirtualApparatus::Clock::RealTime));
        }
        program = std::make_unique<sonarix::Program>();
        sonarix::StartUp(*program);
        sonarix::CreateRemainingWindows(*program);
        QApplication::processEvents();
    }
    ~Running() {
        sonarix::ShutDown(*program);
        program.reset();
        context.reset();
    }
    sonarix::MainWindow& Form() { return *program->mainWindow; }
    // "Measure", and the event loop until the sweep has ended.
    void Sweep() {
        Form().OnMeasureClicked();
        while (Form().Engine().Running()) {
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    // "Calibrate Latency" as the dialog runs it. Returns the true latency in samples where it
    // is known (the virtual apparatus), else the calibrated one.
    double Calibrate() {
        class Window : public sonarix::CalibrationWindow {
        public:
            void ProcessMessages() override { QApplication::processEvents(); }
            int VolumePosition() const override { return 50; }
        } w;
        platform::Sleep(800);  // a recording long enough for the calibration's block
        sonarix::CalibrateLatency(*program->state, w);
        if (auto* a = dynamic_cast<audio::VirtualApparatus*>(audio::CurrentBackend())) {
            return a->Latency();
        }
        return program->state->Latency.samples;
    }
    std::optional<platform::ContextScope> context;  // ends after the program
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
    state.counters["longest_work_ms"] = st.longestWorkMs;
    state.counters["longest_messages_ms"] = st.longestMessagesMs;
    state.counters["longest_redraw_ms"] = st.longestRedrawMs;
}

void BM_DefaultSweep(benchmark::State& state) {
    Running r;
    for (auto _ : state) r.Sweep();
    Report(state, r.Form().Engine().LastStats());
}
BENCHMARK(BM_DefaultSweep)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// Step time in ms as the argument; slots 2 ... 4 full of a noisy resonance spectrum; the
// latency calibrated first. Beside the time a step's work takes: the wall time against the
// planned time (the image's length and the latency), and where the read frames' centres lay
// from the frame where each step's own sample arrived (on the virtual apparatus, which knows
// it), and the processor time of the whole program during the sweep as a share of one core.
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
    const double latency = r.Calibrate();
    if (!s.Latency.valid) {
        state.SkipWithError("the latency calibration failed");
        return;
    }
    r.Form().TimePerStepEdit->setText(QString::number(state.range(0)));
    for (auto _ : state) r.Sweep();
    const sonarix::SweepStats& st = r.Form().Engine().LastStats();
    Report(state, st);
    const double planned = (s.SampleCount + latency + 512.0) / physics::kSampleRateHz;
    state.counters["planned_s"] = planned;
    state.counters["wall_over_planned"] = st.totalSeconds / planned;
    state.counters["cpu_of_a_core"] = st.cpuSeconds / st.totalSeconds;
    state.counters["calibration_error_ms"] = (s.Latency.samples - latency) / 44.1;
    state.counters["read_late_max_ms"] = st.readLateMaxMs;
    // Where the centre of each read's frames lay from the frame where the step's own sample
    // arrived: the apparatus knows the truth.
    if (auto* a = dynamic_cast<audio::VirtualApparatus*>(audio::CurrentBackend())) {
        double sum = 0.0, largest = 0.0;
        for (const sonarix::SweepStats::Read& read : st.reads) {
            const auto arrival =
                a->FrameOfSample(s.PlayStream, static_cast<uint64_t>(std::llround(read.sample)));
            if (!arrival.has_value()) continue;
            const double off =
                (read.endFrame - 512.5 - (*arrival + read.sample - std::llround(read.sample))) /
                44.1;
            sum += off;
            if (std::abs(off) > std::abs(largest)) largest = off;
        }
        state.counters["centre_mean_ms"] = sum / std::max<double>(1.0, st.reads.size());
        state.counters["centre_largest_ms"] = largest;
    }
}
BENCHMARK(BM_ShortSteps)
    ->Arg(50)
    ->Arg(20)
    ->Arg(10)
    ->Arg(5)
    ->Arg(3)
    ->Arg(2)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

// The journal's cost: the same calibrated sweep (step time in ms, first argument) without and
// with the crash journal (second argument 0 / 1), in a fresh folder. Besides the sweep's own
// figures: the time the journal took per point, measured around the keeper's call.
void BM_JournalCost(benchmark::State& state) {
    class Timed : public sonarix::StoreEvents {
    public:
        explicit Timed(sonarix::StoreEvents& keeper) : m_keeper(keeper) {}
        void SweepBegins(int slot) override { m_keeper.SweepBegins(slot); }
        void PointStored(int slot, int index) override {
            const auto t = std::chrono::steady_clock::now();
            m_keeper.PointStored(slot, index);
            const double us =
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t)
                    .count();
            total += us;
            longest = std::max(longest, us);
            slow += us > 10.0;
            ++points;
        }
        void SweepEnded(int slot) override { m_keeper.SweepEnded(slot); }
        double total = 0, longest = 0;
        int points = 0, slow = 0;

    private:
        sonarix::StoreEvents& m_keeper;
    };
    Running r;
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("sonarix-bench-" + std::to_string(getpid())))
            .string();
    if (state.range(1) != 0) sonarix::StartJournal(*r.program, folder);
    const double latency = r.Calibrate();
    sonarix::SharedState& s = *r.program->state;
    Timed timed(*r.program->session);
    r.Form().Engine().SetStoreEvents(&timed);
    r.Form().TimePerStepEdit->setText(QString::number(state.range(0)));
    for (auto _ : state) r.Sweep();
    const sonarix::SweepStats& st = r.Form().Engine().LastStats();
    Report(state, st);
    state.counters["wall_over_planned"] =
        st.totalSeconds / ((s.SampleCount + latency + 512.0) / physics::kSampleRateHz);
    state.counters["journal_us_per_point"] = timed.total / std::max(timed.points, 1);
    state.counters["journal_longest_us"] = timed.longest;
    state.counters["journal_points_over_10us"] = timed.slow;
    state.counters["journal_bytes"] =
        r.program->session->CurrentJournal() != nullptr
            ? static_cast<double>(r.program->session->CurrentJournal()->Size())
            : 0.0;
    r.program->session->EndJournal();
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_JournalCost)
    ->Args({10, 0})
    ->Args({10, 1})
    ->Args({3, 0})
    ->Args({3, 1})
    ->Args({2, 0})
    ->Args({2, 1})
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
