// Fits from Find Peaks' starting peaks on the virtual apparatus's default sweep (the physical
// sphere, as --virtual starts it), over every window of 1 to 4 neighbouring modes and 20 random
// ranges (fixed seed), with Start Fit and with Fit All Modes (on the filter's amplitudes, on a
// calibrated Lock-in sweep's amplitudes and phases, and on a calibrated fast measurement's
// amplitudes and phases): how many results are bad (a peak outside the
// range, an absurd width, a mode of the range missed by more than half its width). Then, over 30
// noisy repetitions of an isolated mode and of the overlapping pair near 4.9 kHz, the spread of
// each fitted quantity over its mean reported error. Prints its figures; run from build/bench:
// fit_ranges [--verbose] [--fast] (--fast: only the fast measurement's whole fits)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bench/QuietWindow.h"
#include "fitting/FindModes.h"
#include "fitting/FindPeaks.h"
#include "fitting/FitRun.h"
#include "measurement/Latency.h"
#include "measurement/Messages.h"
#include "measurement/Playback.h"
#include "measurement/Sweep.h"
#include "physics/SampleRate.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"

namespace {

using namespace sonarix;

using bench::QuietWindow;

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
    void Report(const Notice&) override {}
};

constexpr int kRepetitions = 30;

struct Mode {
    double f, w, height;  // Hz, Hz, steady level x 100 at f
};

struct Bench {
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    audio::VirtualApparatus* apparatus = nullptr;
    std::optional<platform::ContextScope> context;
    std::vector<Mode> modes;
    bool verbose = false;
    bool fastOnly = false;  // --fast: only the whole fits of the fast measurement
    bool refine = true;
    int bad = 0, fits = 0;
    double seconds = 0;

    void Start() {
        // The physical sphere, as --virtual starts it.
        auto b = std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual);
        b->SetSphere(physics::SphereSetup{});
        apparatus = b.get();
        context.reset();
        context.emplace(std::move(b));
        audio::Init(-1, physics::kSampleRate, 0, nullptr, nullptr);
        audio::RecordInit(-1);
        StartRecording(*s);
        apparatus->AdvanceMs(1000);
        class Calibrator : public CalibrationWindow {
            void ProcessMessages() override {}
            int VolumePosition() const override { return 50; }
        } calibrator;
        CalibrateLatency(*s, calibrator);
        for (const physics::CavityMode& m : apparatus->Modes()) {
            if (m.frequency > 10000.0) continue;
            modes.push_back(
                {m.frequency, m.width, 100.0 * std::abs(apparatus->ExpectedResponse(m.frequency))});
        }
        std::sort(modes.begin(), modes.end(), [](auto& a, auto& b) { return a.f < b.f; });
    }

    FitData Sweep(const MeasureWindow::SweepFields& fields, bool lockIn, bool fast = false) {
        QuietWindow w;
        w.fields = fields;
        w.lockIn = lockIn;
        SweepEngine engine(*s, w);
        if (fast) {
            engine.FastMeasure(FastSettings{});
        } else {
            engine.Measure();
        }
        // Taken whole at once, the phases with the rest: the next measurement rewrites the slot.
        FitData d;
        d.FitCount = s->SpecCount[0];
        d.Phased = s->SpecPhased[0];
        for (int i = 1; i <= d.FitCount; ++i) {
            d.FitFrequency[i] = s->SpecFreq[0][i];
            d.FitAmplitude[i] = s->SpecAmp[0][i];
            d.FitPhase[i] = s->SpecPhase[0][i];
        }
        return d;
    }

    // Fit All Modes over (from, to), judged as FitRange judges Start Fit; the fast
    // measurement's fits are counted apart.
    int wholeBad = 0, wholeFits = 0, fastBad = 0, fastFits = 0;
    double wholeSeconds = 0;
    void FitWhole(const FitData& data, double from, double to, const char* kind, bool phases) {
        const ModeProblem problem = ProblemOf(data, from, to, phases);
        const auto t0 = std::chrono::steady_clock::now();
        const ModeSearch search = FindModes(problem);
        wholeSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const bool isFast = std::strcmp(kind, "fast") == 0;
        ++(isFast ? fastFits : wholeFits);
        std::string why;
        for (const FittedMode& m : search.fit.modes) {
            if (m.beyond) continue;  // fitted for its flank; no result of the range
            if (!std::isfinite(m.frequency) || m.frequency < from - m.width ||
                m.frequency > to + m.width)
                why += " mode at " + std::to_string(static_cast<int>(m.frequency)) + " outside";
            if (!std::isfinite(m.width) || m.width <= 0 || m.width > to - from)
                why += " width " + std::to_string(m.width);
        }
        for (const Mode& m : modes) {
            if (m.f < from || m.f > to) continue;
            double nearest = 1e9;
            for (const FittedMode& q : search.fit.modes)
                nearest = std::min(nearest, std::abs(q.frequency - m.f));
            if (nearest > 0.5 * m.w) {
                why += " mode " + std::to_string(static_cast<int>(m.f)) + " missed by " +
                       std::to_string(static_cast<int>(std::min(nearest, 1e6)));
            }
        }
        if (!why.empty()) ++(isFast ? fastBad : wholeBad);
        if (verbose || !why.empty()) {
            std::printf("%-7s %7.1f ... %7.1f: Fit All Modes, %zu modes%s\n", kind, from, to,
                        search.fit.modes.size(), why.empty() ? "" : (":" + why).c_str());
        }
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

// The spread of each fitted quantity over repetitions against the mean error the fits reported.
struct Scatter {
    std::vector<double> values, errors;
    void Add(double v, double e) {
        values.push_back(v);
        errors.push_back(e);
    }
    double Ratio() const {
        const double n = static_cast<double>(values.size());
        double mean = 0, meanError = 0;
        for (size_t i = 0; i < values.size(); ++i) {
            mean += values[i] / n;
            meanError += errors[i] / n;
        }
        double var = 0;
        for (double v : values) var += (v - mean) * (v - mean) / (n - 1);
        return std::sqrt(var) / meanError;
    }
};

// One fit from Find Peaks' starts; the peaks sorted by frequency, with their errors.
struct Fitted {
    std::vector<std::array<double, 4>> peaks, errors;  // F, A, W, phase
    bool undetermined = false;
    double seconds = 0;
};

Fitted FitOnce(const FitData& data, double from, double to, bool phases) {
    auto fit = std::make_unique<FitState>();
    fit->data = data;
    fit->data.Phased = phases && data.Phased;
    const auto t0 = std::chrono::steady_clock::now();
    FindPeaks(fit->data, from, to, fit->peaks);
    RefinePeaks(fit->data, from, to, fit->peaks);
    class Window : public RangeWindow {
    public:
        bool phases = false;
        bool FitPhases() const override { return phases; }
    } w;
    w.from = from;
    w.to = to;
    w.phases = phases;
    FitRunner runner(*fit);
    runner.Run(w);
    Fitted out;
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::vector<int> order;
    for (int k = 1; k <= kPeaks; ++k) {
        if (fit->peaks.PeakAmplitude[k] > 0) order.push_back(k);
    }
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return fit->peaks.PeakFrequency[a] < fit->peaks.PeakFrequency[b];
    });
    for (int k : order) {
        const PeakTable& t = fit->peaks;
        const PeakErrors& e = runner.Report().peaks[static_cast<size_t>(k)];
        out.peaks.push_back(
            {t.PeakFrequency[k], t.PeakAmplitude[k], t.PeakWidth[k], t.PeakPhase[k]});
        out.errors.push_back({e.frequency, e.amplitude, e.width, e.phase});
        out.undetermined = out.undetermined || e.undetermined;
    }
    return out;
}

// Over the repetitions of `make`, the spread of F, A, W (and phase, against the first peak's
// when only amplitudes are fitted) of each of `count` peaks over their mean reported error.
void ReportScatter(const char* name, int count, bool phases,
                   const std::function<FitData(int)>& make, double from, double to) {
    std::vector<std::array<Scatter, 4>> s(static_cast<size_t>(count));
    int usable = 0, undetermined = 0;
    double seconds = 0;
    for (int r = 0; r < kRepetitions; ++r) {
        const Fitted f = FitOnce(make(r), from, to, phases);
        seconds += f.seconds;
        if (static_cast<int>(f.peaks.size()) != count) continue;
        ++usable;
        undetermined += f.undetermined ? 1 : 0;
        for (int k = 0; k < count; ++k) {
            const auto i = static_cast<size_t>(k);
            for (int q = 0; q < 3; ++q)
                s[i][static_cast<size_t>(q)].Add(f.peaks[i][q], f.errors[i][q]);
            if (phases) {
                s[i][3].Add(f.peaks[i][3], f.errors[i][3]);
            } else if (k > 0) {
                // The difference to the first peak; its error is the one peak's that is not the
                // reference.
                const double d = std::remainder(f.peaks[i][3] - f.peaks[0][3], 360.0);
                s[i][3].Add(d, std::isnan(f.errors[i][3]) ? f.errors[0][3] : f.errors[i][3]);
            }
        }
    }
    std::printf(
        "%-40s %2d of %d fits with %d peaks (%d with amplitude and phase open), %.3f s "
        "a fit with the search:\n",
        name, usable, kRepetitions, count, undetermined, seconds / kRepetitions);
    for (int k = 0; k < count; ++k) {
        const auto i = static_cast<size_t>(k);
        std::printf("    peak %d: spread / error  F %.2f  A %.2f  W %.2f", k + 1, s[i][0].Ratio(),
                    s[i][1].Ratio(), s[i][2].Ratio());
        if (s[i][3].values.size() > 1) std::printf("  phase %.2f", s[i][3].Ratio());
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const platform::ContextScope quiet(
        [](platform::Context& c) { c.tell = [](const std::string&) {}; });
    Bench b;
    for (int i = 1; i < argc; ++i) {
        b.verbose = b.verbose || std::strcmp(argv[i], "--verbose") == 0;
        b.fastOnly = b.fastOnly || std::strcmp(argv[i], "--fast") == 0;
    }
    b.Start();
    const FitData data = b.fastOnly ? FitData{} : b.Sweep({"100", "10000", "10", "50"}, false);
    const FitData lockIn = b.fastOnly ? FitData{} : b.Sweep({"100", "10000", "10", "50"}, true);
    // The fast measurement over the same range (its default spacing), with its phases.
    const FitData fast = b.Sweep({"100", "10000", "10", "50"}, false, true);
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
            if (!b.fastOnly) {
                b.FitRange(data, from, to, "window");
                b.FitWhole(data, from, to, "window", false);
                b.FitWhole(lockIn, from, to, "lock-in", true);
            }
            b.FitWhole(fast, from, to, "fast", true);
        }
    }
    std::mt19937 rng(2026);
    std::uniform_real_distribution<double> start(100.0, 9700.0), width(300.0, 3000.0);
    for (int r = 0; r < 20; ++r) {
        const double from = start(rng);
        const double to = std::min(10000.0, from + width(rng));
        if (!b.fastOnly) {
            b.FitRange(data, from, to, "random");
            b.FitWhole(data, from, to, "random", false);
            b.FitWhole(lockIn, from, to, "lock-in", true);
        }
        b.FitWhole(fast, from, to, "fast", true);
    }
    if (!b.fastOnly) {
        std::printf("Start Fit: bad results: %d of %d fits; mean fit %.3f s\n", b.bad, b.fits,
                    b.seconds / b.fits);
        std::printf(
            "Fit All Modes: bad results: %d of %d fits (half on the filter's amplitudes, half "
            "on Lock-in's amplitudes and phases); mean fit %.3f s\n",
            b.wholeBad, b.wholeFits, b.wholeSeconds / (b.wholeFits + b.fastFits));
    }
    std::printf(
        "Fit All Modes on the fast measurement's amplitudes and phases: bad results: %d of %d "
        "fits\n",
        b.fastBad, b.fastFits);

    if (b.fastOnly) return 0;

    // Errors against scatter: data made from the model with known noise (amplitudes with noise
    // of 0.05; with phases, complex noise of 0.05 in each part), and repeated sweeps of the
    // apparatus (its noise goes on from sweep to sweep), with the filter and with Lock-in.
    std::printf("\nspread of fitted values over %d repetitions / mean reported error:\n",
                kRepetitions);
    const Params isolated = [] {
        Params p{};
        p[1] = 1500, p[2] = 10, p[3] = 20, p[4] = std::tan(30 * M_PI / 360);
        return p;
    }();
    const Params pair = [] {
        Params p{};
        p[1] = 1500, p[2] = 10, p[3] = 20, p[4] = 0;
        p[5] = 1530, p[6] = 8, p[7] = 20, p[8] = std::tan(60 * M_PI / 360);
        return p;
    }();
    for (const bool phases : {false, true}) {
        for (const auto& [name, truth, count] : {std::tuple{"model, isolated", isolated, 1},
                                                 std::tuple{"model, overlapping pair", pair, 2}}) {
            ReportScatter(
                (std::string(name) + (phases ? ", amplitude and phase" : ", amplitude")).c_str(),
                count, phases,
                [&, truth = truth](int r) {
                    FitData d;
                    std::mt19937 rng(1000 + r);
                    std::normal_distribution<double> noise(0.0, 0.05);
                    for (double x = 1380; x <= 1650; x += 1.0) {
                        Complex z = ModelSum(truth, x);
                        ++d.FitCount;
                        d.FitFrequency[d.FitCount] = x;
                        if (phases) {
                            z = CAdd(z, Complex{noise(rng), noise(rng)});
                            d.FitAmplitude[d.FitCount] = CAbs(z);
                            d.FitPhase[d.FitCount] = -std::atan2(z.Im, z.Re) * 180.0 / M_PI;
                        } else {
                            d.FitAmplitude[d.FitCount] = CAbs(z) + noise(rng);
                        }
                    }
                    d.Phased = phases;
                    return d;
                },
                1380, 1650);
        }
    }
    for (const bool lockIn : {false, true}) {
        for (const auto& [name, from, to, count] :
             {std::tuple{"apparatus, mode at 3648.9 Hz", 3560.0, 3740.0, 1},
              std::tuple{"apparatus, modes at 4905.9 and 4928.5 Hz", 4830.0, 5005.0, 2}}) {
            ReportScatter((std::string(name) + (lockIn ? ", Lock-in" : ", filter")).c_str(), count,
                          lockIn,
                          [&, from = from, to = to](int) {
                              char a[32], z[32];
                              std::snprintf(a, sizeof a, "%.0f", from - 100);
                              std::snprintf(z, sizeof z, "%.0f", to + 100);
                              return b.Sweep({a, z, "2", "50"}, lockIn);
                          },
                          from, to);
        }
    }
    return 0;
}
