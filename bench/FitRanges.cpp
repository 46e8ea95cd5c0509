// Fits from Find Peaks' starting peaks on the virtual apparatus's default sweep, over every
// window of 1 to 4 neighbouring modes and 20 random ranges (fixed seed): how many results are
// bad (a peak outside the range, an absurd width, a mode of the range missed by more than half
// its width). Then, over 30 noisy repetitions of an isolated mode and of the overlapping pair
// near 4.9 kHz, the spread of each fitted quantity over its mean reported error. Prints its
// figures; run from build/bench: fit_ranges [--verbose]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fitting/FindPeaks.h"
#include "fitting/FitRun.h"
#include "measurement/Latency.h"
#include "measurement/Messages.h"
#include "measurement/Playback.h"
#include "measurement/Sweep.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"

namespace {

using namespace sonarix;

class QuietWindow : public MeasureWindow {
public:
    SweepFields fields{"100", "10000", "10", "50"};
    bool lockIn = false;
    SweepFields Fields() const override { return fields; }
    int SelectedSlot() const override { return 0; }
    bool FftFilterOn() const override { return true; }
    bool LockInOn() const override { return lockIn; }
    int VolumePosition() const override { return 50; }
    void ProcessMessages() override {}
    void Redraw() override {}
    void ShowLag(bool) override {}
    void ShowSaturation(bool) override {}
    void ShowMeasure(bool) override {}
    void EnableMeasure(bool) override {}
};

class RangeWindow : public FitWindow {
public:
    double from = 0, to = 0;
    void ShowStartFit(bool) override {}
    void FitRange(double& f, double& t) override {
        f = from;
        t = to;
    }
    void ShowProgress(bool) override {}
    void StepProgress() override {}
    void ProcessMessages() override {}
    void RefreshPeakLabels() override {}
    void RedrawFit() override {}
};

struct Mode {
    double f, w, height;  // Hz, Hz, steady level x 100 at f
};

struct Bench {
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    audio::VirtualApparatus* apparatus = nullptr;
    std::vector<Mode> modes;
    bool verbose = false;
    bool refine = true;
    int bad = 0, fits = 0;
    double seconds = 0;

    void Start() {
        auto b = std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual);
        apparatus = b.get();
        audio::UseBackend(std::move(b));
        audio::Init(-1, 44100, 0, nullptr, nullptr);
        audio::RecordInit(-1);
        StartRecording(*s);
        apparatus->AdvanceMs(1000);
        class Calibrator : public CalibrationWindow {
            void ProcessMessages() override {}
            int VolumePosition() const override { return 50; }
        } calibrator;
        CalibrateLatency(*s, calibrator);
        for (const audio::CavityMode& m : apparatus->Modes()) {
            if (m.frequency > 10000.0) continue;
            modes.push_back(
                {m.frequency, m.width, 100.0 * std::abs(apparatus->ExpectedResponse(m.frequency))});
        }
        std::sort(modes.begin(), modes.end(), [](auto& a, auto& b) { return a.f < b.f; });
    }

    FitData Sweep(const MeasureWindow::SweepFields& fields, bool lockIn) {
        QuietWindow w;
        w.fields = fields;
        w.lockIn = lockIn;
        SweepEngine engine(*s, w);
        engine.Measure();
        FitData d;
        d.FitCount = s->SpecCount[0];
        for (int i = 1; i <= d.FitCount; ++i) {
            d.FitFrequency[i] = s->SpecFreq[0][i];
            d.FitAmplitude[i] = s->SpecAmp[0][i];
        }
        return d;
    }

    // Fits from Find Peaks' starts over (from, to) and judges the result.
    void FitRange(const FitData& data, double from, double to, const char* kind) {
        auto fit = std::make_unique<FitState>();
        fit->data = data;
        FindPeaks(fit->data, from, to, fit->peaks);
        if (refine) RefinePeaks(fit->data, from, to, fit->peaks);
        const PeakTable start = fit->peaks;
        RangeWindow w;
        w.from = from;
        w.to = to;
        FitRunner runner(*fit);
        const auto t0 = std::chrono::steady_clock::now();
        const int steps = runner.Run(w);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ++fits;
        std::string why;
        const PeakTable& t = fit->peaks;
        for (int k = 1; k <= kPeaks; ++k) {
            if (!(t.PeakAmplitude[k] > 0)) continue;
            const double f = t.PeakFrequency[k], wd = t.PeakWidth[k];
            // Outside by more than its width: a mode just beyond the range may be fitted there.
            if (!std::isfinite(f) || f < from - wd || f > to + wd) {
                why += " peak " + std::to_string(k) + " outside";
            }
            if (!std::isfinite(wd) || wd <= 0 || wd > to - from) {
                why += " peak " + std::to_string(k) + " width " + std::to_string(wd);
            }
        }
        for (const Mode& m : modes) {
            if (m.f < from || m.f > to) continue;
            double nearest = 1e9;
            for (int k = 1; k <= kPeaks; ++k) {
                if (t.PeakAmplitude[k] > 0)
                    nearest = std::min(nearest, std::abs(t.PeakFrequency[k] - m.f));
            }
            if (nearest > 0.5 * m.w) {
                why += " mode " + std::to_string(static_cast<int>(m.f)) + " missed by " +
                       std::to_string(static_cast<int>(nearest));
            }
        }
        if (!why.empty()) ++bad;
        if (verbose || !why.empty()) {
            std::printf("%-7s %7.1f ... %7.1f: %d steps%s\n", kind, from, to, steps,
                        why.empty() ? "" : (":" + why).c_str());
            if (!runner.Notes().empty()) std::printf("    %s", runner.Notes().c_str());
            for (int k = 1; k <= kPeaks; ++k) {
                if (start.PeakAmplitude[k] > 0 || t.PeakAmplitude[k] > 0) {
                    std::printf("    %d: start %8.1f %7.2f %6.2f -> %10.2f %8.3f %10.2f %7.1f\n", k,
                                start.PeakFrequency[k], start.PeakAmplitude[k], start.PeakWidth[k],
                                t.PeakFrequency[k], t.PeakAmplitude[k], t.PeakWidth[k],
                                t.PeakPhase[k]);
                }
            }
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    SetMessageSink([](const std::string&) {});
    Bench b;
    b.verbose = argc > 1 && std::strcmp(argv[1], "--verbose") == 0;
    b.Start();
    const FitData data = b.Sweep({"100", "10000", "10", "50"}, false);
    if (argc > 1 && std::strcmp(argv[1], "--phase") == 0) {
        FitData d = b.Sweep({"4700", "5150", "2", "50"}, true);
        d.Phased = b.s->SpecPhased[0];
        for (int i = 1; i <= d.FitCount; ++i) d.FitPhase[i] = b.s->SpecPhase[0][i];
        for (const audio::CavityMode& m : b.apparatus->Modes()) {
            if (m.frequency > 4800 && m.frequency < 5000) {
                std::printf("mode l=%d %.2f A %.4f x gain %.4f W %.2f\n", m.l, m.frequency,
                            m.amplitude, audio::AngleGain(m.l, 180.0), m.width);
            }
        }
        for (const bool complex : {false, true}) {
            auto fit = std::make_unique<FitState>();
            fit->data = d;
            fit->data.Phased = complex && d.Phased;
            const int placed = FindPeaks(fit->data, 4700, 5150, fit->peaks);
            std::printf("placed %d: F %.1f A %.2f W %.2f ph %.1f\n", placed,
                        fit->peaks.PeakFrequency[1], fit->peaks.PeakAmplitude[1],
                        fit->peaks.PeakWidth[1], fit->peaks.PeakPhase[1]);
            const int refined = RefinePeaks(fit->data, 4700, 5150, fit->peaks);
            std::printf("refined %d\n", refined);
            class W : public RangeWindow {
            public:
                bool c = false;
                bool FitPhases() const override { return c; }
            } w;
            w.from = 4700;
            w.to = 5150;
            w.c = complex;
            FitRunner r(*fit);
            const int steps = r.Run(w);
            std::printf("%s: %d steps, chi2 %.4g, delay %.3f ms %s\n",
                        complex ? "complex" : "modulus", steps, r.ChiSquare(), fit->Delay * 1e3,
                        r.Notes().c_str());
            for (int k = 1; k <= kPeaks; ++k) {
                if (fit->peaks.PeakAmplitude[k] > 0) {
                    std::printf("  %d: F %.2f A %.3f W %.2f phase %.1f (+-F %.3f A %.3f ph %.2f)\n",
                                k, fit->peaks.PeakFrequency[k], fit->peaks.PeakAmplitude[k],
                                fit->peaks.PeakWidth[k], fit->peaks.PeakPhase[k],
                                r.Report().peaks[k].frequency, r.Report().peaks[k].amplitude,
                                r.Report().peaks[k].phase);
                }
            }
        }
        return 0;
    }
    std::printf("modes below 10 kHz:");
    for (const Mode& m : b.modes) std::printf(" %.1f (W %.1f, %.2f)", m.f, m.w, m.height);
    std::printf("\n");
    for (const Mode& m : b.modes) {
        double best = m.f;
        auto steady = [&](double f) { return std::abs(b.apparatus->ExpectedResponse(f)); };
        for (double f = m.f - 60; f <= m.f + 60; f += 0.05) {
            if (steady(f) > steady(best)) best = f;
        }
        std::printf("mode %.1f: steady maximum at %.1f\n", m.f, best);
    }
    // Every window of 1 ... 4 neighbouring modes: three widths beyond the outer modes, but not
    // past halfway to the next mode; modes that overlap (closer than their widths together)
    // count as one, so that no window cuts through a pair.
    std::vector<std::vector<Mode>> groups;
    for (const Mode& m : b.modes) {
        if (!groups.empty() && m.f - groups.back().back().f < m.w + groups.back().back().w) {
            groups.back().push_back(m);
        } else {
            groups.push_back({m});
        }
    }
    const size_t n = groups.size();
    for (size_t len = 1; len <= 4; ++len) {
        for (size_t i = 0; i + len <= n; ++i) {
            const Mode& first = groups[i].front();
            const Mode& last = groups[i + len - 1].back();
            double from = first.f - 3.0 * first.w, to = last.f + 3.0 * last.w;
            if (i > 0) from = std::max(from, 0.5 * (groups[i - 1].back().f + first.f));
            if (i + len < n) to = std::min(to, 0.5 * (last.f + groups[i + len].front().f));
            b.FitRange(data, from, to, "window");
        }
    }
    std::mt19937 rng(2026);
    std::uniform_real_distribution<double> start(100.0, 9700.0), width(300.0, 3000.0);
    for (int r = 0; r < 20; ++r) {
        const double from = start(rng);
        const double to = std::min(10000.0, from + width(rng));
        b.FitRange(data, from, to, "random");
    }
    std::printf("bad results: %d of %d fits; mean fit %.3f s\n", b.bad, b.fits, b.seconds / b.fits);
    audio::UseBackend(nullptr);
    return 0;
}
