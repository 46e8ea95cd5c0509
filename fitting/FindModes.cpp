// The mode search of the whole-spectrum fit.
#include "fitting/FindModes.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "fitting/FindPeaks.h"

namespace sonarix {
namespace {

using Value = std::complex<double>;

double Median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

std::vector<double> Magnitudes(const ModeProblem& p) {
    std::vector<double> y(p.data.size());
    for (size_t i = 0; i < y.size(); ++i)
        y[i] = p.complexData ? std::abs(p.data[i]) : p.data[i].real();
    return y;
}

std::vector<double> RealParts(const ModeProblem& p) {
    std::vector<double> y(p.data.size());
    for (size_t i = 0; i < y.size(); ++i) y[i] = p.data[i].real();
    return y;
}

// A fit of the guesses over the problem's points, from the delay `delay` when it is a number.
std::unique_ptr<AllModesSolver> Solver(const ModeProblem& p, const std::vector<ModeGuess>& g,
                                       double delay) {
    AllModesOptions options;
    options.delay = delay;
    options.maxIterations = 100;
    if (p.complexData) return std::make_unique<AllModesSolver>(p.frequencies, p.data, g, options);
    return std::make_unique<AllModesSolver>(p.frequencies, RealParts(p), g, options);
}

// Beyond the range by more than its width, but near enough for its flank to reach in.
bool Beyond(const FittedMode& m, double from, double to) {
    const double F = m.frequency, W = m.width;
    return (F <= from - W && F > from - kFlankReach * W) ||
           (F >= to + W && F < to + kFlankReach * W);
}

// A resonance placed for the range: a finite frequency inside it (or beyond by less than its
// width) or beyond it within reach of its flank, and a quality factor of 2 or more.
bool Placed(const FittedMode& m, double from, double to) {
    const double F = m.frequency, W = m.width;
    return std::isfinite(F) && W > 0.0 && F / (2.0 * W) >= 2.0 &&
           ((F > from - W && F < to + W) || Beyond(m, from, to));
}

// Every fitted mode a resonance of the range: inside it (or beyond by less than its width),
// or a mode beyond it whose flank reaches in, a quality factor of 2 or more, narrower than a
// quarter of the range, its amplitude five times its error or more (many places are tried),
// and no two within a tenth of their widths of each other. With `clear` 0 (a fit to build
// on), any amplitude and a width up to the range's.
bool Plausible(const AllModesFit& fit, double from, double to, size_t* weakest = nullptr,
               double clear = 5.0) {
    bool ok = true;
    double lowest = HUGE_VAL;
    for (size_t j = 0; j < fit.modes.size(); ++j) {
        const FittedMode& m = fit.modes[j];
        const double F = m.frequency, W = m.width;
        const double clarity = std::abs(m.amplitude) / m.amplitudeError;
        // A mode beyond the range stands for its flank: the range's points need not fix its
        // amplitude (its frequency and amplitude trade against each other there).
        const bool beyond = Beyond(m, from, to);
        bool good = Placed(m, from, to) && W < (clear > 0.0 ? 0.25 : 1.0) * (to - from) &&
                    (clarity > clear || beyond);
        for (size_t k = 0; k < fit.modes.size(); ++k) {
            if (k != j &&
                std::abs(fit.modes[k].frequency - F) < 0.1 * std::min(W, fit.modes[k].width))
                good = false;
        }
        // The mode to drop first: an implausible one, else the least clear.
        const double rank = good ? clarity : -1.0;
        if (rank < lowest) {
            lowest = rank;
            if (weakest != nullptr) *weakest = j;
        }
        ok = ok && good;
    }
    return ok;
}

void MarkBeyond(AllModesFit& fit, double from, double to) {
    for (FittedMode& m : fit.modes) m.beyond = Beyond(m, from, to);
}

void SortByFrequency(std::vector<ModeGuess>& g) {
    std::sort(g.begin(), g.end(),
              [](const ModeGuess& a, const ModeGuess& b) { return a.frequency < b.frequency; });
}

std::vector<ModeGuess> GuessesOf(const AllModesFit& fit) {
    std::vector<ModeGuess> g;
    for (const FittedMode& m : fit.modes) g.push_back({m.frequency, m.width});
    return g;
}

// The residuals' noise per real value: from the median modulus of the residuals (robust to the
// few points a missing mode leaves high).
double ResidualNoise(const ModeProblem& p, const AllModesFit& fit) {
    std::vector<double> r(p.frequencies.size());
    for (size_t i = 0; i < r.size(); ++i) {
        const Value model = AllModesValue(fit, p.frequencies[i]);
        r[i] = p.complexData ? std::abs(p.data[i] - model)
                             : std::abs(p.data[i].real() - std::abs(model));
    }
    // A complex Gaussian of sigma per component has the median modulus sigma sqrt(2 ln 2); a
    // real one the median absolute value 0.6745 sigma.
    return Median(std::move(r)) / (p.complexData ? std::sqrt(2.0 * std::numbers::ln2) : 0.6745);
}

// The residuals' scatter from point to point, per real value, from their second differences: a
// misfit smooth over a mode's width hardly reaches them (neighbouring points whose noise goes
// together read somewhat low).
double ResidualScatter(const ModeProblem& p, const AllModesFit& fit) {
    std::vector<double> re(p.frequencies.size()), im(p.frequencies.size());
    for (size_t i = 0; i < re.size(); ++i) {
        const Value model = AllModesValue(fit, p.frequencies[i]);
        const Value r =
            p.complexData ? p.data[i] - model : Value(p.data[i].real() - std::abs(model), 0.0);
        re[i] = r.real();
        im[i] = r.imag();
    }
    const double a = SecondDifferenceNoise(re);
    if (!p.complexData) return a;
    const double b = SecondDifferenceNoise(im);
    return std::sqrt(0.5 * (a * a + b * b));
}

// How much neighbouring residuals go together, 1 + 2 sum rho_k: the median over eight stretches
// of the range, so that a stretch the model misses (the loudspeaker's roll-off) does not count.
double TypicalCorrelation(const std::vector<Value>& r) {
    std::vector<double> factors;
    const size_t n = r.size(), part = n / 8;
    if (part < 16) return 1.0;
    for (size_t first = 0; first + part <= n; first += part) {
        double zero = 0.0;
        for (size_t i = first; i < first + part; ++i) zero += std::norm(r[i]);
        if (!(zero > 0.0)) continue;
        const double chance = 2.0 / std::sqrt(static_cast<double>(part));
        double sum = 0.0;
        for (size_t k = 1; k < part / 4; ++k) {
            double c = 0.0;
            for (size_t i = first; i + k < first + part; ++i)
                c += (std::conj(r[i]) * r[i + k]).real();
            if (c / zero < chance) break;
            sum += c / zero;
        }
        factors.push_back(1.0 + 2.0 * sum);
    }
    return factors.empty() ? 1.0 : Median(factors);
}

struct Place {
    double at = -1.0;         // below 0: none
    double from = 0, to = 0;  // the stretch around it that stands out
    double shared = 1.0;      // the residuals' typical correlation
};

// Where the residuals stand highest above the noise, over a window of about a mode's width:
// the centre of that window, if it stands out by more than eight of its standard deviations,
// and the stretch around it that stands out by more than two. Stretches tried before are
// passed over.
Place ResidualPlace(const ModeProblem& p, const AllModesFit& fit, double noise, double width,
                    const std::vector<std::pair<double, double>>& tried, double least = 8.0) {
    Place out;
    const size_t n = p.frequencies.size();
    if (n < 8 || !(noise > 0.0)) return out;
    std::vector<Value> r(n);
    for (size_t i = 0; i < n; ++i) {
        const Value model = AllModesValue(fit, p.frequencies[i]);
        r[i] = p.complexData ? p.data[i] - model : Value(p.data[i].real() - std::abs(model), 0.0);
    }
    // Correlated points count as fewer independent ones.
    const double shared = TypicalCorrelation(r);
    const double spacing =
        (p.frequencies.back() - p.frequencies.front()) / static_cast<double>(n - 1);
    const size_t half = std::max<size_t>(1, static_cast<size_t>(width / spacing));
    const double values = p.complexData ? 2.0 : 1.0;  // the mean of z under noise alone
    std::vector<double> deviation(n);
    double sum = 0.0;
    size_t count = 0;
    auto z = [&](size_t i) { return std::norm(r[i]) / (noise * noise); };
    // A running sum over i - half ... i + half.
    for (size_t i = 0; i < std::min(n, half + 1); ++i) {
        sum += z(i);
        ++count;
    }
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) {
            if (i + half < n) {
                sum += z(i + half);
                ++count;
            }
            if (i > half) {
                sum -= z(i - half - 1);
                --count;
            }
        }
        // Noise alone: z is chi-square of `values` degrees, of variance 2 values per point.
        deviation[i] = (sum / static_cast<double>(count) - values) /
                       std::sqrt(2.0 * values * shared / static_cast<double>(count));
    }
    size_t best = n;
    for (size_t i = 0; i < n; ++i) {
        const double f = p.frequencies[i];
        bool passed = false;
        for (const auto& [lo, hi] : tried) passed = passed || (lo <= f && f <= hi);
        if (!passed && deviation[i] > least && (best == n || deviation[i] > deviation[best]))
            best = i;
    }
    if (best == n) return out;
    size_t lo = best, hi = best;
    while (lo > 0 && deviation[lo - 1] > 2.0) --lo;
    while (hi + 1 < n && deviation[hi + 1] > 2.0) ++hi;
    out.at = p.frequencies[best];
    out.shared = shared;
    out.from = p.frequencies[lo] - width;
    out.to = p.frequencies[hi] + width;
    return out;
}

}  // namespace

ModeProblem ProblemOf(const FitData& data, double from, double to, bool phases) {
    ModeProblem p;
    p.complexData = phases && data.Phased;
    std::vector<std::pair<double, Value>> points;
    for (int i = 1; i <= data.FitCount; ++i) {
        const double f = data.FitFrequency[i];
        if (!(from < f && f < to) || !std::isfinite(data.FitAmplitude[i])) continue;
        const Value v = p.complexData ? std::polar(data.FitAmplitude[i],
                                                   data.FitPhase[i] * std::numbers::pi / 180.0)
                                      : Value(data.FitAmplitude[i], 0.0);
        if (std::isfinite(v.real()) && std::isfinite(v.imag())) points.emplace_back(f, v);
    }
    std::stable_sort(points.begin(), points.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [f, v] : points) {
        p.frequencies.push_back(f);
        p.data.push_back(v);
    }
    return p;
}

std::vector<ModeGuess> ClearMaxima(const ModeProblem& p) {
    const std::vector<double>& x = p.frequencies;
    const std::vector<double> y = Magnitudes(p);
    const double noise = SecondDifferenceNoise(y);
    const double highest = y.empty() ? 0.0 : *std::max_element(y.begin(), y.end());
    std::vector<ModeGuess> found;
    for (size_t i = 1; i + 1 < y.size(); ++i) {
        if (!(y[i] > y[i - 1]) || y[i + 1] > y[i]) continue;
        // The prominence: the height above the higher of the lowest points between it and a
        // higher point on either side. A side that reaches the range's end first does not
        // count (the range may cut a mode's flank short), unless neither side meets a higher
        // point.
        double leftMin = y[i], rightMin = y[i];
        size_t j = i;
        for (; j-- > 0 && y[j] <= y[i];) leftMin = std::min(leftMin, y[j]);
        const bool leftBounded = j < y.size();
        for (j = i + 1; j < y.size() && y[j] <= y[i]; ++j) rightMin = std::min(rightMin, y[j]);
        const bool rightBounded = j < y.size();
        const double base = leftBounded && rightBounded ? std::max(leftMin, rightMin)
                            : leftBounded               ? leftMin
                            : rightBounded              ? rightMin
                                                        : std::min(leftMin, rightMin);
        if (!(y[i] - base > std::max(6.0 * noise, 0.05 * highest))) continue;
        // The term falls to half its height at F +- sqrt(3) W; where one flank does not get
        // there (a neighbour's hump), the other tells.
        double left = 0.0, right = 0.0;
        bool hasLeft = FallsBelow(x, y, i, -1, 0.5 * y[i], left);
        bool hasRight = FallsBelow(x, y, i, +1, 0.5 * y[i], right);
        if (!hasLeft && !hasRight) {
            // A bump on a strong neighbour's flank: its width from where it falls by half its
            // prominence.
            const double level = y[i] - 0.5 * (y[i] - base);
            hasLeft = FallsBelow(x, y, i, -1, level, left);
            hasRight = FallsBelow(x, y, i, +1, level, right);
        }
        if (!hasLeft && !hasRight) continue;
        const double half =
            hasLeft && hasRight ? 0.5 * (right - left) : (hasLeft ? x[i] - left : right - x[i]);
        const double width = std::max(half / std::sqrt(3.0), 1e-3);
        // A clear resonance, not a bump of a broad background (the residuals find the rest).
        if (x[i] / (2.0 * width) < kClearQuality) continue;
        found.push_back({x[i], width});
    }
    return found;
}

std::vector<ModeGuess> FlankModes(const ModeProblem& p, const std::vector<ModeGuess>& guesses) {
    const std::vector<double>& x = p.frequencies;
    const std::vector<double> y = Magnitudes(p);
    std::vector<ModeGuess> found;
    if (y.size() < 8) return found;
    const double noise = SecondDifferenceNoise(y);
    const double highest = *std::max_element(y.begin(), y.end());
    std::vector<double> widths;
    for (const ModeGuess& g : guesses) widths.push_back(g.width);
    for (const int step : {-1, +1}) {
        // From the end at `step`'s side inwards to the first point higher than the end: the
        // end's height above the lowest point between, as a maximum's prominence.
        const auto inward = static_cast<size_t>(-step);
        const size_t end = step > 0 ? y.size() - 1 : 0;
        const double top = y[end];
        double valley = top;
        size_t lowest = end;
        for (size_t i = end; i < y.size() && y[i] <= top; i += inward) {
            if (y[i] < valley) {
                valley = y[i];
                lowest = i;
            }
        }
        if (!(top - valley > std::max(6.0 * noise, 0.05 * highest))) continue;
        // A flank falling as 1 / |F - f| has the slope of its logarithm 1 / |F - f|: from the
        // last few points up to the end.
        const size_t span = std::min<size_t>(4, (lowest > end ? lowest - end : end - lowest));
        const size_t inner = end + span * inward;
        if (span == 0 || !(y[inner] > 0.0)) continue;
        const double slope = std::log(top / y[inner]) / std::abs(x[end] - x[inner]);
        if (!(slope > 0.0)) continue;
        const double distance = 1.0 / slope;
        const double width = widths.empty() ? 0.1 * distance : Median(widths);
        found.push_back({x[end] + step * distance, std::min(width, 0.5 * distance)});
    }
    return found;
}

constexpr int kRelaxedTries = 3;

// Drops the mode Plausible names (an implausible one, else the least clear) and fits again,
// until every mode is plausible; `fit` is left without modes when none is.
FitSteps DropImplausible(const ModeProblem& p, AllModesFit& fit, ModeSearch& out,
                         const bool& stop) {
    const double from = p.frequencies.front(), to = p.frequencies.back();
    int steps = 0;
    for (size_t weakest = 0; !stop && !Plausible(fit, from, to, &weakest);) {
        std::vector<ModeGuess> guesses = GuessesOf(fit);
        guesses.erase(guesses.begin() + static_cast<std::ptrdiff_t>(weakest));
        if (guesses.empty()) {
            fit.modes.clear();
            break;
        }
        std::unique_ptr<AllModesSolver> solver = Solver(p, guesses, fit.delay);
        while (!stop && solver->Step()) {
            ++steps;
            co_yield 0;
        }
        fit = solver->Result();
        ++out.fits;
    }
    co_return steps;
}

double MedianWidth(const AllModesFit& fit) {
    std::vector<double> widths;
    for (const FittedMode& m : fit.modes) widths.push_back(m.width);
    return Median(widths);
}

// The fit's modes and one more at `place`, as wide as its nearest neighbour; within that
// neighbour's width the two start as a split of it (a pair one mode took for itself).
std::vector<ModeGuess> WithModeAt(const AllModesFit& fit, double place, double width) {
    double near = width, distance = HUGE_VAL;
    size_t nearest = 0;
    for (size_t j = 0; j < fit.modes.size(); ++j) {
        if (std::abs(fit.modes[j].frequency - place) < distance) {
            distance = std::abs(fit.modes[j].frequency - place);
            near = fit.modes[j].width;
            nearest = j;
        }
    }
    std::vector<ModeGuess> guesses = GuessesOf(fit);
    if (distance < near) {
        const double F = guesses[nearest].frequency;
        guesses[nearest] = {F - 0.5 * near, 0.7 * near};
        guesses.push_back({F + 0.5 * near, 0.7 * near});
    } else {
        guesses.push_back({place, near});
    }
    SortByFrequency(guesses);
    return guesses;
}

// Where the residuals hold the next mode (at < 0: nowhere).
Place NextPlace(const ModeProblem& p, const AllModesFit& fit, double noise, double width,
                const std::vector<std::pair<double, double>>& tried, int& relaxedTries,
                bool& relaxed) {
    Place found = ResidualPlace(p, fit, noise, width, tried);
    // Where the model misses something everywhere (a stepped sweep's ring-up), the noise
    // read off the residuals is too high for a weak mode on a strong one's flank to stand
    // out: the highest place is tried once more, kept only if it halves chi-square.
    relaxed = found.at < 0.0 && relaxedTries < kRelaxedTries;
    if (relaxed) {
        ++relaxedTries;
        // Where the residuals are mostly misfit (they scatter from point to point far
        // less than they stand off), the highest place is tried whatever its height.
        const bool misfit = ResidualScatter(p, fit) < 0.2 * noise;
        found = ResidualPlace(p, fit, noise, width, tried, misfit ? 0.0 : 2.0);
    }
    return found;
}

FitSteps SearchModes(const ModeProblem& p, ModeSearch& out, const bool& stop,
                     std::vector<ModeGuess> start) {
    out = ModeSearch{};
    if (p.frequencies.size() < 8) co_return 0;
    const double from = p.frequencies.front(), to = p.frequencies.back();
    std::vector<ModeGuess> guesses = start.empty() ? ClearMaxima(p) : std::move(start);
    const std::vector<ModeGuess> flanks = FlankModes(p, guesses);
    int steps = 0;
    AllModesFit fit;
    std::unique_ptr<AllModesSolver> solver;
    // First with the modes whose flanks rise to the range's ends; without them once more when
    // they make the fit implausible (the flank the background's or the seed far off).
    for (int pass = flanks.empty() ? 1 : 0; pass < 2; ++pass) {
        std::vector<ModeGuess> g = guesses;
        if (pass == 0) {
            g.insert(g.end(), flanks.begin(), flanks.end());
            SortByFrequency(g);
        }
        if (g.empty()) co_return 0;
        solver = Solver(p, g, NAN);
        while (!stop && solver->Step()) {
            ++steps;
            co_yield 0;
        }
        fit = solver->Result();
        ++out.fits;
        if (pass == 0 && fit.valid && Plausible(fit, from, to)) break;
    }
    if (!fit.valid) co_return steps;
    // Modes the data do not hold (a shoulder's maximum, a bump of the noise) leave first.
    for (FitSteps drop = DropImplausible(p, fit, out, stop); drop.Next();) {
        ++steps;
        co_yield 0;
    }
    if (fit.modes.empty()) co_return steps;  // the one mode tried is none of the range
    // A plausible fit becomes the search's result.
    auto keep = [&](const AllModesFit& kept) {
        out.modes = GuessesOf(kept);
        out.fit = kept;
        MarkBeyond(out.fit, from, to);
        out.noise = ResidualNoise(p, kept);
    };
    keep(fit);
    // Then what the residuals hold.
    std::vector<std::pair<double, double>> tried;
    int relaxedTries = 0;  // in a row without a mode kept
    // `fit` is what the next mode is added to: the last plausible fit (out.fit), or one
    // beyond it whose modes the others' misfit still hides (provisional), with its noise.
    bool provisional = false;
    double noise = out.noise;
    while (!stop && static_cast<int>(fit.modes.size()) < kMostModes) {
        const double width = MedianWidth(fit);
        bool relaxed = false;
        const Place found = NextPlace(p, fit, noise, width, tried, relaxedTries, relaxed);
        if (found.at < 0.0) break;
        tried.emplace_back(found.from, found.to);
        const double place = found.at;
        solver = Solver(p, WithModeAt(fit, place, width), fit.delay);
        while (!stop && solver->Step()) {
            ++steps;
            co_yield 0;
        }
        AllModesFit trial = solver->Result();
        ++out.fits;
        // Modes that ran off (out of the range, or to no width) while the others settled: the
        // others fitted again without them.
        if (trial.valid && !Plausible(trial, from, to, nullptr, 0.0)) {
            std::vector<ModeGuess> kept;
            for (const FittedMode& m : trial.modes) {
                if (Placed(m, from, to)) kept.push_back({m.frequency, m.width});
            }
            if (!kept.empty() && kept.size() < trial.modes.size()) {
                solver = Solver(p, kept, trial.delay);
                while (!stop && solver->Step()) {
                    ++steps;
                    co_yield 0;
                }
                trial = solver->Result();
                ++out.fits;
            }
        }
        const double trialNoise = trial.valid ? ResidualNoise(p, trial) : noise;
        const double gain =
            (fit.rms * fit.rms - trial.rms * trial.rms) * trial.points / (trialNoise * trialNoise);
        const bool halved = trial.rms < fit.rms * std::sqrt(0.5);
        if (!trial.valid || gain < kLeastModeGain * found.shared || (relaxed && !halved)) continue;
        if (Plausible(trial, from, to)) {
            fit = trial;
            provisional = false;
            relaxedTries = 0;
            keep(fit);
            noise = out.noise;
        } else if (halved && Plausible(trial, from, to, nullptr, 0.0)) {
            // Plausible but for the amplitudes' errors, which the misfit of modes not yet
            // found reads large (members of a cluster that one mode took for itself): built on
            // while each mode added halves chi-square, and judged when the search ends.
            fit = trial;
            provisional = true;
            relaxedTries = 0;
            noise = ResidualNoise(p, fit);
        }
    }
    if (provisional && !stop) {
        for (FitSteps drop = DropImplausible(p, fit, out, stop); drop.Next();) {
            ++steps;
            co_yield 0;
        }
        if (!fit.modes.empty() && fit.modes.size() > out.fit.modes.size() && fit.rms < out.fit.rms)
            keep(fit);
    }
    co_return steps;
}

ModeSearch FindModes(const ModeProblem& problem) {
    ModeSearch out;
    const bool stop = false;
    FitSteps steps = SearchModes(problem, out, stop);
    while (steps.Next()) {
    }
    return out;
}

}  // namespace sonarix
