// The whole-spectrum fit on the physical virtual sphere: for each temperature and ring, a
// calibrated fast measurement over 100 ... 10000 Hz (9900 points), every mode fitted at once,
// compared with the modes the apparatus was built from. Prints the worst frequency and width
// errors, the errors in units of the stated ones, the mode search's time and the fit's alone
// (from the modes found). With --rings also the 3, 6 and 9 mm spacer rings, each group of
// members searched in a window of its own and judged on the members a fit can tell apart; with
// --repeat the spread of 20 more measurements' fits against their stated errors.
// Run from build/bench: bench_whole_fit [--verbose] [--rings] [--repeat] [--length 1|2|4|8]
// (--length: the fast sweep's length factor, 1 by default)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

#include "bench/QuietWindow.h"
#include "fitting/AllModesFit.h"
#include "fitting/FindModes.h"
#include "measurement/Latency.h"
#include "measurement/Playback.h"
#include "measurement/Sweep.h"
#include "physics/SampleRate.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"

namespace {

using namespace sonarix;

using bench::QuietWindow;

class Calibrator : public CalibrationWindow {
    int VolumePosition() const override { return 50; }
};

// The members of a ring-split sphere that a fit can tell apart at the apparatus's angle: a
// member counts when its peak (its amplitude times its angle gain, the term's height at its
// frequency) is a tenth of the whole response there or more, every other member at least
// a quarter as high lies more than their two half widths together away (the usual rule for
// resolved lines: apart by more than a full width at half height), and the weaker ones that
// near pull it by less than 0.05 Hz.
std::vector<physics::CavityMode> Resolvable(const audio::VirtualApparatus& apparatus,
                                            const std::vector<physics::CavityMode>& modes) {
    const double angle = apparatus.HemisphereAngle();
    std::vector<physics::CavityMode> out;
    for (const physics::CavityMode& m : modes) {
        const double h = std::abs(m.amplitude * physics::AngleGain(m, angle));
        bool ok = h >= 0.1 * std::abs(apparatus.ExpectedResponse(m.frequency));
        double pull = 0.0;
        for (const physics::CavityMode& o : modes) {
            if (&o == &m) continue;
            const double ho = std::abs(o.amplitude * physics::AngleGain(o, angle));
            const double apart = std::abs(o.frequency - m.frequency);
            if (apart > m.width + o.width) continue;
            if (ho >= 0.25 * h) ok = false;
            pull += ho / h * apart;
        }
        // Weaker members within those widths blend in: to first order they pull the fitted
        // line by their share of the height times their distance.
        if (pull > 0.05) ok = false;
        if (ok) out.push_back(m);
    }
    return out;
}

// Windows around each group of members (l, n), six widths beyond its outer members, merged
// where they overlap.
std::vector<std::pair<double, double>> GroupWindows(const std::vector<physics::CavityMode>& modes) {
    std::vector<std::pair<double, double>> w;
    for (const physics::CavityMode& m : modes)
        w.emplace_back(m.frequency - 6.0 * m.width, m.frequency + 6.0 * m.width);
    std::sort(w.begin(), w.end());
    std::vector<std::pair<double, double>> merged;
    for (const auto& x : w) {
        if (!merged.empty() && x.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, x.second);
        } else {
            merged.push_back(x);
        }
    }
    return merged;
}

}  // namespace

int main(int argc, char** argv) {
    bool verbose = false, rings = false, repeat = false;
    FastSettings settings;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--length") == 0 && i + 1 < argc)
            settings.lengthFactor = std::atoi(argv[++i]);
        repeat = repeat || std::strcmp(argv[i], "--repeat") == 0;
        verbose = verbose || std::strcmp(argv[i], "--verbose") == 0;
        rings = rings || std::strcmp(argv[i], "--rings") == 0;
    }
    const std::vector<double> ringSizes =
        rings ? std::vector<double>{0.0, 0.003, 0.006, 0.009} : std::vector<double>{0.0};
    double slowest = 0.0;
    for (const double celsius : {0.0, 20.0, 40.0}) {
        for (const double ring : ringSizes) {
            physics::SphereSetup setup;
            setup.celsius = celsius;
            setup.ring = ring;
            auto backend = std::make_unique<audio::VirtualApparatus>(
                audio::VirtualApparatus::Clock::Manual, physics::ResonatorModel::Sphere(setup));
            audio::VirtualApparatus* apparatus = backend.get();
            const platform::ContextScope context(std::move(backend));
            auto s = std::make_unique<SharedState>();
            audio::Init(-1, physics::kSampleRate, 0, nullptr, nullptr);
            audio::RecordInit(-1);
            StartRecording(*s);
            apparatus->AdvanceMs(1000);
            Calibrator calibrator;
            CalibrateLatency(*s, calibrator);
            QuietWindow window;
            SweepEngine engine(*s, window);
            engine.FastMeasure(settings);
            std::vector<double> f;
            std::vector<std::complex<double>> d;
            for (int k = 1; k <= s->SpecCount[0]; ++k) {
                f.push_back(s->SpecFreq[0][k]);
                d.push_back(
                    std::polar(s->SpecAmp[0][k], s->SpecPhase[0][k] * std::numbers::pi / 180.0));
            }
            std::vector<physics::CavityMode> modes;
            for (const physics::CavityMode& m : apparatus->Modes()) {
                if (m.frequency < 10000.0) modes.push_back(m);
            }
            if (ring > 0.0) {
                // A ring: the search over the windows around the groups of members, each
                // resolvable member judged against the fit of its window.
                const std::vector<physics::CavityMode> resolvable = Resolvable(*apparatus, modes);
                int good = 0, stated = 0, extra = 0;
                double searchSeconds = 0.0;
                for (const auto& [lo, hi] : GroupWindows(modes)) {
                    ModeProblem window;
                    for (size_t i = 0; i < f.size(); ++i) {
                        if (f[i] > lo && f[i] < hi) {
                            window.frequencies.push_back(f[i]);
                            window.data.push_back(d[i]);
                        }
                    }
                    const auto t0 = std::chrono::steady_clock::now();
                    const ModeSearch search = FindModes(window);
                    searchSeconds +=
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
                            .count();
                    int inWindow = 0, members = 0;
                    for (const physics::CavityMode& m : modes)
                        members += m.frequency > lo && m.frequency < hi ? 1 : 0;
                    for (const physics::CavityMode& truth : resolvable) {
                        if (truth.frequency <= lo || truth.frequency >= hi) continue;
                        ++inWindow;
                        const FittedMode* best = nullptr;
                        for (const FittedMode& q : search.fit.modes) {
                            if (!q.beyond && (best == nullptr ||
                                              std::abs(q.frequency - truth.frequency) <
                                                  std::abs(best->frequency - truth.frequency)))
                                best = &q;
                        }
                        const double df =
                            best != nullptr ? best->frequency - truth.frequency : HUGE_VAL;
                        const double dw =
                            best != nullptr ? best->width / truth.width - 1.0 : HUGE_VAL;
                        const bool fOk = std::abs(df) <= 0.05, wOk = std::abs(dw) <= 0.02;
                        good += fOk && wOk ? 1 : 0;
                        // A weak member's stated errors may exceed those bounds: within three
                        // of them then.
                        const bool fStated =
                            fOk || (best != nullptr && std::abs(df) <= 3.0 * best->frequencyError);
                        const bool wStated =
                            wOk || (best != nullptr &&
                                    std::abs(dw) * truth.width <= 3.0 * best->widthError);
                        stated += fStated && wStated ? 1 : 0;
                        if (verbose)
                            std::printf(
                                "   l %d n %d m %d: %9.3f %+8.3f +- %.3f Hz, W %+6.2f %%%s\n",
                                truth.l, truth.n, truth.m, truth.frequency, df,
                                best != nullptr ? best->frequencyError : HUGE_VAL, 100.0 * dw,
                                fOk && wOk ? "" : (fStated && wStated ? "  (stated)" : "  <-"));
                    }
                    int fitted = 0;
                    for (const FittedMode& q : search.fit.modes) fitted += q.beyond ? 0 : 1;
                    extra += std::max(0, fitted - members);
                    if (verbose)
                        std::printf("  %7.1f ... %7.1f Hz: %d members, %d resolvable, %d fitted\n",
                                    lo, hi, members, inWindow, fitted);
                }
                std::printf(
                    "%4.0f C, ring %.0f mm: %2zu members, %2zu resolvable: %d within 0.05 Hz "
                    "and 2 %% of width, %d within those or three stated errors; %d modes "
                    "fitted beyond the members; search %.1f s\n",
                    celsius, ring * 1e3, modes.size(), resolvable.size(), good, stated, extra,
                    searchSeconds);
                continue;
            }
            ModeProblem problem;
            problem.frequencies = f;
            problem.data = d;
            const auto t0 = std::chrono::steady_clock::now();
            const ModeSearch search = FindModes(problem);
            const double searchSeconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            // The fit alone, from the found modes.
            const auto t1 = std::chrono::steady_clock::now();
            const AllModesFit fit = FitAllModes(f, d, search.modes);
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
            slowest = std::max(slowest, seconds);
            double worstF = 0, worstW = 0, worstFSigma = 0;
            int missed = 0;
            std::vector<bool> matched(fit.modes.size(), false);
            for (const physics::CavityMode& truth : modes) {
                size_t best = 0;
                for (size_t j = 1; j < fit.modes.size(); ++j) {
                    if (std::abs(fit.modes[j].frequency - truth.frequency) <
                        std::abs(fit.modes[best].frequency - truth.frequency))
                        best = j;
                }
                const FittedMode* m = fit.modes.empty() ? nullptr : &fit.modes[best];
                const double df =
                    m != nullptr ? std::abs(m->frequency - truth.frequency) : HUGE_VAL;
                const double strength =
                    std::abs(physics::AngleGain(truth, apparatus->HemisphereAngle()));
                if (df > 0.5 * truth.width) {
                    ++missed;
                    if (verbose)
                        std::printf("   l %d n %d m %2d: %9.3f missed (angle gain %.3f)\n", truth.l,
                                    truth.n, truth.m, truth.frequency, strength);
                    continue;
                }
                matched[best] = true;
                worstF = std::max(worstF, df);
                worstW = std::max(worstW, std::abs(m->width / truth.width - 1.0));
                worstFSigma = std::max(worstFSigma, df / m->frequencyError);
                if (verbose) {
                    std::printf(
                        "   l %d n %d m %2d: %9.3f (%+.3f +- %.3f)  W %6.3f (%+.2f %%) "
                        "|c| %.3f (angle gain %.3f)\n",
                        truth.l, truth.n, truth.m, truth.frequency, m->frequency - truth.frequency,
                        m->frequencyError, truth.width, 100.0 * (m->width / truth.width - 1.0),
                        std::abs(m->amplitude), strength);
                }
            }
            int extra = 0;
            for (size_t j = 0; j < fit.modes.size(); ++j) {
                if (matched[j]) continue;
                ++extra;
                if (verbose)
                    std::printf("   extra: %9.3f W %.3f |c| %.3f +- %.3f\n", fit.modes[j].frequency,
                                fit.modes[j].width, std::abs(fit.modes[j].amplitude),
                                fit.modes[j].amplitudeError);
            }
            std::printf(
                "%4.0f C, ring %.0f mm: %2zu modes, %2zu found (%d missed, %d extra) in "
                "%.2f s (%d fits); the fit %3d iterations%s, %.3f s; worst F %.4f Hz "
                "(%.1f sigma), worst W %.2f %%, delay %.4f ms, latency %.4f ms, correlation %.2f, "
                "rms %.3g\n",
                celsius, ring * 1e3, modes.size(), fit.modes.size(), missed, extra, searchSeconds,
                search.fits, fit.iterations, fit.converged ? "" : " (not converged)", seconds,
                worstF, worstFSigma, 100.0 * worstW, fit.delay * 1e3,
                s->Latency.valid ? s->Latency.samples / 44.1 - 10.0 : 0.0, fit.correlation,
                fit.rms);
            if (verbose) {
                // The residuals by band.
                for (double lo = 100.0; lo < 10000.0; lo += 1000.0) {
                    double sum = 0.0;
                    int n = 0;
                    for (size_t i = 0; i < f.size(); ++i) {
                        if (f[i] < lo || f[i] >= lo + 1000.0) continue;
                        sum += std::norm(d[i] - AllModesValue(fit, f[i]));
                        ++n;
                    }
                    std::printf("    %5.0f ... %5.0f Hz: residual rms %.3g\n", lo, lo + 1000.0,
                                std::sqrt(sum / (2.0 * n)));
                }
            }
            if (repeat && ring == 0.0) {
                // 20 more measurements (the noise goes on), each fitted from the modes found:
                // the spread of each mode's frequency, width and own phase over their mean
                // stated errors.
                constexpr int kTimes = 20;
                const size_t count = search.modes.size();
                std::vector<std::vector<double>> fs(count), ws(count), ps(count);
                std::vector<double> fe(count), we(count), pe(count);
                for (int r = 0; r < kTimes; ++r) {
                    engine.FastMeasure(settings);
                    std::vector<std::complex<double>> again;
                    for (int k = 1; k <= s->SpecCount[0]; ++k) {
                        again.push_back(std::polar(s->SpecAmp[0][k],
                                                   s->SpecPhase[0][k] * std::numbers::pi / 180.0));
                    }
                    const AllModesFit one = FitAllModes(f, again, search.modes);
                    for (size_t j = 0; j < one.modes.size(); ++j) {
                        fs[j].push_back(one.modes[j].frequency);
                        ws[j].push_back(one.modes[j].width);
                        fe[j] += one.modes[j].frequencyError / kTimes;
                        we[j] += one.modes[j].widthError / kTimes;
                        // Near the first repetition's, so that no turn splits them.
                        const double first = ps[j].empty() ? one.modes[j].ownPhase : ps[j][0];
                        ps[j].push_back(first + std::remainder(one.modes[j].ownPhase - first,
                                                               2.0 * std::numbers::pi));
                        pe[j] += one.modes[j].ownPhaseError / kTimes;
                    }
                }
                auto spread = [](const std::vector<double>& v) {
                    double mean = 0, var = 0;
                    for (double x : v) mean += x / static_cast<double>(v.size());
                    for (double x : v)
                        var += (x - mean) * (x - mean) / static_cast<double>(v.size() - 1);
                    return std::sqrt(var);
                };
                std::printf("    spread over %d repetitions / mean stated error (F, W, phase):",
                            kTimes);
                for (size_t j = 0; j < count; ++j)
                    std::printf(" %.0f: %.2f %.2f %.2f;", search.modes[j].frequency,
                                spread(fs[j]) / fe[j], spread(ws[j]) / we[j],
                                spread(ps[j]) / pe[j]);
                std::printf("\n");
            }
        }
    }
    std::printf("slowest whole fit: %.3f s\n", slowest);
    return 0;
}
