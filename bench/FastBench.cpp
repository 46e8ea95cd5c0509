// The fast measurement against the stepped sweep on the virtual apparatus in real time (its
// default noise and 10 ms latency, calibrated), in one run: the time from the press to the
// shown spectrum, the 12 modes' frequencies as the fit finds them (one peak at a time, and all
// at once from the complex fast spectrum), the noise in a band without resonances (also for a
// sweep eight times as long), and a steady tone's level against the fast spectrum at five
// frequencies. The hemisphere stands at 180 degrees, where every mode sounds.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <chrono>
#include <cmath>
#include <complex>
#include <optional>

#include "app/Program.h"
#include "fitting/AllModesFit.h"
#include "fitting/FindPeaks.h"
#include "fitting/FitRun.h"
#include "measurement/FastSweep.h"
#include "measurement/Latency.h"
#include "measurement/Playback.h"
#include "measurement/ReadLevel.h"
#include "measurement/TestSignals.h"
#include "platform/Clock.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "plot/Controls.h"
#include "tests/fitting/FakeFitWindow.h"
#include "ui/main/MainWindow.h"

namespace {

using namespace sonarix;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The fitted frequency of the mode nearest f in the slot's points: the peaks found in f +- 3
// widths fitted together (amplitude only, as for any spectrum), the one nearest f taken.
double FittedMode(const SharedState& s, int slot, double f, double width) {
    auto fit = std::make_unique<FitState>();
    FitData& d = fit->data;
    d.FitCount = s.SpecCount[slot];
    for (int k = 1; k <= d.FitCount; ++k) {
        d.FitFrequency[k] = s.SpecFreq[slot][k];
        d.FitAmplitude[k] = s.SpecAmp[slot][k];
    }
    test::FakeFitWindow w;
    w.from = f - 3.0 * width;
    w.to = f + 3.0 * width;
    if (FindPeaks(d, w.from, w.to, fit->peaks) == 0) return NAN;
    RefinePeaks(d, w.from, w.to, fit->peaks);
    FitRunner runner(*fit);
    runner.Run(w);
    double best = NAN;
    for (int k = 1; k <= kPeaks; ++k) {
        const double p = fit->peaks.PeakFrequency[k];
        if (fit->peaks.PeakAmplitude[k] > 0.0 && !(std::abs(p - f) >= std::abs(best - f))) best = p;
    }
    return best;
}

void BM_FastVersusStepped(benchmark::State& state) {
    std::optional<platform::ContextScope> context(
        std::in_place,
        std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::RealTime));
    auto* apparatus = dynamic_cast<audio::VirtualApparatus*>(audio::CurrentBackend());
    auto program = std::make_unique<Program>();
    StartUp(*program);
    CreateRemainingWindows(*program);
    QApplication::processEvents();
    SharedState& s = *program->state;
    MainWindow& f = *program->mainWindow;
    apparatus->SetHemisphereAngle(180.0);  // every mode sounds (at 0 degrees the odd ones do not)
    {
        class Window : public CalibrationWindow {
        public:
            void ProcessMessages() override { QApplication::processEvents(); }
            int VolumePosition() const override { return 50; }
        } w;
        platform::Sleep(800);
        CalibrateLatency(s, w);
    }
    double stepped = 0, fast = 0;
    for (auto _ : state) {
        auto t = std::chrono::steady_clock::now();
        f.OnMeasureClicked();  // slot 1: the stepped default, 10 Hz
        while (f.Engine().Running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        stepped = Seconds(t);
        f.SpectrumSlotGroup->SetItemIndex(1);
        t = std::chrono::steady_clock::now();
        f.FastMeasureClick();  // slot 2: the fast default, 1 Hz
        while (f.Engine().Running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        fast = Seconds(t);
        f.SpectrumSlotGroup->SetItemIndex(2);
        f.SetFastChoice({1.0, 8});
        f.FastMeasureClick();  // slot 3: eight times as long
        while (f.Engine().Running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        f.SetFastChoice({1.0, 1});
    }
    state.counters["stepped_s"] = stepped;
    state.counters["fast_s"] = fast;
    state.counters["fast_points"] = s.SpecCount[1];
    state.counters["fast_compute_ms"] = 1e3 * f.Engine().LastFastStats().computeSeconds;

    // The modes.
    double worstFast = 0, worstStepped = 0;
    int modes = 0;
    for (const physics::CavityMode& m : apparatus->Modes()) {
        if (m.frequency < 200.0 || m.frequency > 9900.0) continue;
        ++modes;
        worstFast =
            std::max(worstFast, std::abs(FittedMode(s, 1, m.frequency, m.width) - m.frequency));
        worstStepped =
            std::max(worstStepped, std::abs(FittedMode(s, 0, m.frequency, m.width) - m.frequency));
    }
    state.counters["modes"] = modes;
    state.counters["mode_error_fast_hz"] = worstFast;
    state.counters["mode_error_stepped_hz"] = worstStepped;
    // All modes at once from the fast spectrum's complex points above the loudspeaker's
    // high-pass, from guesses 3 Hz and 20 % off.
    {
        std::vector<double> fr;
        std::vector<std::complex<double>> d;
        for (int k = 1; k <= s.SpecCount[1]; ++k) {
            if (s.SpecFreq[1][k] < 1500.0) continue;
            fr.push_back(s.SpecFreq[1][k]);
            d.push_back(std::polar(s.SpecAmp[1][k], s.SpecPhase[1][k] * M_PI / 180.0));
        }
        std::vector<ModeGuess> guesses;
        const std::vector<physics::CavityMode> all = apparatus->Modes();
        for (const physics::CavityMode& m : all)
            guesses.push_back({m.frequency + 3.0, 1.2 * m.width});
        const auto t = std::chrono::steady_clock::now();
        const AllModesFit whole = FitAllModes(fr, d, guesses);
        state.counters["whole_fit_s"] = Seconds(t);
        double worst = 0, worstSigma = 0;
        for (size_t j = 0; j < all.size(); ++j) {
            worst = std::max(worst, std::abs(whole.modes[j].frequency - all[j].frequency));
            worstSigma = std::max(worstSigma, whole.modes[j].frequencyError);
        }
        state.counters["mode_error_fast_whole_hz"] = worst;
        state.counters["mode_sigma_fast_whole_hz"] = worstSigma;
    }

    // The noise: each slot's RMS deviation from the apparatus's own response over 500 ... 1500
    // Hz, where there is no mode, as a fraction of the response there.
    const double scale = 100.0 * std::sqrt(1.5) * kSampleAmplitude / 32768.0 * 0.5;
    auto noise = [&](int slot, double lo = 500.0, double hi = 1500.0) {
        double sum = 0, ref = 0;
        int n = 0;
        for (int k = 1; k <= s.SpecCount[slot]; ++k) {
            const double fr = s.SpecFreq[slot][k];
            if (fr < lo || fr > hi) continue;
            const double want = scale * std::abs(apparatus->ExpectedResponse(fr));
            sum += std::pow(s.SpecAmp[slot][k] - want, 2);
            ref += want * want;
            ++n;
        }
        return 10.0 * std::log10(sum / ref);
    };
    state.counters["noise_fast_db"] = noise(1);
    state.counters["noise_fast_x8_db"] = noise(2);
    state.counters["noise_stepped_db"] = noise(0);
    // The same about the l = 2 mode, where the stepped sweep's ring-up shows.
    state.counters["dev_3k_4k_fast_db"] = noise(1, 3000.0, 4000.0);
    state.counters["dev_3k_4k_stepped_db"] = noise(0, 3000.0, 4000.0);

    // A steady tone (FFT read, as the stepped sweep) against the fast spectrum.
    double worstTone = 0;
    LevelBuffers buffers;
    for (double tone : {2500.0, 3620.0, 4780.0, 6410.0, 8500.0}) {
        s.CurrentFreq = tone;
        MakeToneWav(s, 1.0);
        StartPlayback(s, 50);
        platform::Sleep(600);
        const double level = 100.0 * ReadLevel(s, tone, true, buffers);
        audio::ChannelStop(s.PlayStream);
        const int k = static_cast<int>(std::lround(tone - s.SpecFreq[1][1])) + 1;
        worstTone = std::max(worstTone, std::abs(s.SpecAmp[1][k] / level - 1.0));
    }
    state.counters["tone_vs_fast_worst"] = worstTone;
    ShutDown(*program);
    program.reset();
    context.reset();
}
BENCHMARK(BM_FastVersusStepped)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
