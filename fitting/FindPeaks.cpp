// The peak finder.
#include "fitting/FindPeaks.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

namespace sonarix {
namespace {

struct Point {
    double x, y;
};

// The points of the data (strictly inside the range, if one is given), by ascending frequency;
// with `residual`, the data less the fit curve.
std::vector<Point> Sorted(const FitData& d, double from = -HUGE_VAL, double to = HUGE_VAL,
                          bool residual = false) {
    std::vector<Point> p;
    for (int i = 1; i <= d.FitCount; ++i) {
        const double x = d.FitFrequency[i];
        const double y = d.FitAmplitude[i] - (residual ? d.FitCurve[i] : 0.0);
        if (from < x && x < to && std::isfinite(x) && std::isfinite(y)) p.push_back({x, y});
    }
    std::stable_sort(p.begin(), p.end(), [](const Point& a, const Point& b) { return a.x < b.x; });
    return p;
}

// The measured phase at the data point nearest to f.
double DataPhaseAt(const FitData& d, double f) {
    int nearest = 1;
    for (int i = 2; i <= d.FitCount; ++i) {
        if (std::abs(d.FitFrequency[i] - f) < std::abs(d.FitFrequency[nearest] - f)) nearest = i;
    }
    return d.FitCount > 0 ? d.FitPhase[nearest] : 0.0;
}

}  // namespace

double SecondDifferenceNoise(const std::vector<double>& y) {
    if (y.size() < 3) return 0.0;
    std::vector<double> d;
    d.reserve(y.size() - 2);
    for (size_t i = 1; i + 1 < y.size(); ++i)
        d.push_back(std::fabs(y[i + 1] - 2.0 * y[i] + y[i - 1]));
    auto mid = d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2);
    std::nth_element(d.begin(), mid, d.end());
    return *mid / 1.652;
}

bool FallsBelow(const std::vector<double>& x, const std::vector<double>& y, size_t i, int step,
                double level, double& at) {
    for (size_t j = i;;) {
        if ((step < 0 && j == 0) || (step > 0 && j + 1 >= y.size())) return false;
        const size_t k = step < 0 ? j - 1 : j + 1;
        if (y[k] < level) {
            const double t = (y[j] - level) / (y[j] - y[k]);
            at = x[j] + t * (x[k] - x[j]);
            return true;
        }
        j = k;
    }
}

double EstimateNoise(const FitData& data, double from, double to) {
    const std::vector<Point> p = Sorted(data);
    // The points of the range, then their nearest neighbours outside it, one side after the
    // other, until there are kNoisePoints.
    size_t lo = 0;
    while (lo < p.size() && !(p[lo].x > from)) ++lo;
    size_t hi = lo;
    while (hi < p.size() && p[hi].x < to) ++hi;
    for (bool left = true; hi - lo < kNoisePoints && (lo > 0 || hi < p.size()); left = !left) {
        if (left && lo > 0) {
            --lo;
        } else if (!left && hi < p.size()) {
            ++hi;
        }
    }
    std::vector<double> y;
    for (size_t i = lo; i < hi; ++i) y.push_back(p[i].y);
    return SecondDifferenceNoise(y);
}

int FindPeaks(const FitData& data, double from, double to, PeakTable& t) {
    for (int k = 1; k <= kPeaks; ++k) {
        t.PeakFrequency[k] = 0.0;
        t.PeakAmplitude[k] = 0.0;
        t.PeakWidth[k] = 20.0;
        t.PeakPhase[k] = 0.0;
    }
    if (Sorted(data, from, to).size() < 3) return 0;
    const double noise = EstimateNoise(data, from, to);
    // Maxima inside the range, judged on all the data: a resonance whose top lies just inside
    // the range still has its other flank beyond it.
    const std::vector<Point> p = Sorted(data);
    std::vector<double> xs, ys;
    for (const Point& q : p) {
        xs.push_back(q.x);
        ys.push_back(q.y);
    }
    struct Candidate {
        size_t i;
        double prominence;
        double width;
    };
    std::vector<Candidate> found;
    for (size_t i = 0; i < p.size(); ++i) {
        if (!(from < p[i].x && p[i].x < to)) continue;
        // A maximum: above the left neighbour, not below the right one (a flat top counts
        // once, at its left end).
        if (i > 0 && !(p[i].y > p[i - 1].y)) continue;
        if (i + 1 < p.size() && p[i + 1].y > p[i].y) continue;
        double leftMin = p[i].y, rightMin = p[i].y;
        for (size_t j = i; j-- > 0 && p[j].y <= p[i].y;) leftMin = std::min(leftMin, p[j].y);
        for (size_t j = i + 1; j < p.size() && p[j].y <= p[i].y; ++j) {
            rightMin = std::min(rightMin, p[j].y);
        }
        const double prominence = p[i].y - std::max(leftMin, rightMin);
        if (!(prominence > 6.0 * noise && prominence > 0.0)) continue;
        // The width from the half-height crossings (the model falls to half its height at
        // F +- sqrt(3) W).
        double left = 0.0, right = 0.0;
        const bool hasLeft = FallsBelow(xs, ys, i, -1, 0.5 * p[i].y, left);
        const bool hasRight = FallsBelow(xs, ys, i, +1, 0.5 * p[i].y, right);
        if (!hasLeft && !hasRight) continue;  // no flank falls to half: a slope, not a peak
        const double half =
            hasLeft && hasRight ? 0.5 * (right - left) : (hasLeft ? p[i].x - left : right - p[i].x);
        const double width = std::max(half / std::sqrt(3.0), 1e-3);
        // A resonance has a quality factor F / 2W of a few at least; a broad hump of the
        // baseline (the loudspeaker's response) is no peak to fit, and its width would let the
        // solver wander off.
        if (p[i].x / (2.0 * width) < kLeastQuality) continue;
        found.push_back({i, prominence, width});
    }
    // Of those, the highest: two strong resonances close together lower each other's
    // prominence, yet both are what the fit needs.
    std::stable_sort(found.begin(), found.end(),
                     [&p](const Candidate& a, const Candidate& b) { return p[a.i].y > p[b.i].y; });
    if (found.size() > static_cast<size_t>(kPeaks)) found.resize(kPeaks);
    std::sort(found.begin(), found.end(),
              [](const Candidate& a, const Candidate& b) { return a.i < b.i; });
    int k = 0;
    for (const Candidate& c : found) {
        ++k;
        t.PeakFrequency[k] = p[c.i].x;
        t.PeakAmplitude[k] = p[c.i].y;
        t.PeakWidth[k] = c.width;
        // With measured phases, the peak's term at its top (i A e^(i phase)) points where the
        // data do.
        double phase = data.Phased ? -DataPhaseAt(data, p[c.i].x) - 90.0 : 0.0;
        if (phase <= -180.0) phase += 360.0;
        t.PeakPhase[k] = phase;
    }
    return k;
}

namespace {

// The fit window of the refinement's own fits: the range, and nothing shown.
class RangeOnly : public FitWindow {
public:
    RangeOnly(double from, double to, bool phases) : m_from(from), m_to(to), m_phases(phases) {}
    bool FitPhases() const override { return m_phases; }
    void ShowStartFit(bool) override {}
    void FitRange(double& from, double& to) override {
        from = m_from;
        to = m_to;
    }
    void ShowProgress(bool) override {}
    void StepProgress() override {}
    void ProcessMessages() override {}
    void RefreshPeakLabels() override {}
    void Report(const Notice&) override {}
    void RedrawFit() override {}

private:
    double m_from, m_to;
    bool m_phases;
};

// Every active peak a resonance of the range: its quality kLeastQuality or more, narrower than
// a quarter of the range, and not beyond it by more than its width (a mode just past the end
// may be fitted there).
bool Plausible(const PeakTable& t, double from, double to) {
    for (int k = 1; k <= kPeaks; ++k) {
        if (!(t.PeakAmplitude[k] > 0)) continue;
        const double F = t.PeakFrequency[k], W = t.PeakWidth[k];
        if (!(W > 0 && F / (2.0 * W) >= kLeastQuality && W < 0.25 * (to - from) && F > from - W &&
              F < to + W)) {
            return false;
        }
    }
    return true;
}

int Active(const PeakTable& t) {
    int n = 0;
    for (int k = 1; k <= kPeaks; ++k) n += t.PeakAmplitude[k] > 0 ? 1 : 0;
    return n;
}

// Fits until a run removes no peak, so that the table is what "Start Fit" from it gives again;
// returns that run's chi-square (below 0 when the range holds no point).
double FitToRest(FitState& fit, FitWindow& window) {
    for (int round = 0;; ++round) {
        FitRunner runner(fit);
        const int before = Active(fit.peaks);
        if (runner.Run(window) == 0) return -1.0;
        if (Active(fit.peaks) == before || round == 3) return runner.ChiSquare();
    }
}

}  // namespace

int RefinePeaks(const FitData& data, double from, double to, PeakTable& peaks) {
    // The peaks are found on the amplitudes; with phases, the found peaks are then fitted to
    // amplitude and phase from the phases the data show at their frequencies.
    RangeOnly window(from, to, false);
    auto fit = std::make_unique<FitState>();
    fit->data = data;
    fit->peaks = peaks;
    const double chisq0 = FitToRest(*fit, window);
    if (chisq0 < 0) return Active(peaks);  // no point in the range
    double chisq = chisq0;
    const double noise = EstimateNoise(data, from, to);
    auto trial = std::make_unique<FitState>();
    auto best = std::make_unique<FitState>();
    // A long spectrum of many peaks takes a tenth of a second a trial: the search for further
    // peaks ends after a few seconds with what it has.
    const auto start = std::chrono::steady_clock::now();
    auto late = [&] {
        return std::chrono::steady_clock::now() - start >
               std::chrono::duration<double>(kRefineSeconds);
    };
    while (Active(fit->peaks) < kPeaks && !late()) {
        // The places where the data stand highest above the fit: the local maxima of the
        // residual, highest first.
        ComputeFitCurve(*fit);
        const FitData& d = fit->data;
        std::vector<Point> r = Sorted(d, from, to, true);
        // A place counts where the residual clears the noise and a small part of the data's
        // height.
        double highest = 0.0;
        for (const Point& q : Sorted(d, from, to)) highest = std::max(highest, q.y);
        const double least = std::max(6.0 * noise, kLeastResidual * highest);
        std::vector<Point> tops;
        for (size_t i = 0; i < r.size(); ++i) {
            const bool above =
                (i == 0 || r[i].y > r[i - 1].y) && (i + 1 == r.size() || r[i].y >= r[i + 1].y);
            if (above && r[i].y > least) tops.push_back(r[i]);
        }
        std::sort(tops.begin(), tops.end(),
                  [](const Point& a, const Point& b) { return a.y > b.y; });
        if (tops.size() > 4) tops.resize(4);
        int free = 1;
        while (fit->peaks.PeakAmplitude[free] > 0) ++free;
        double bestChisq = (1.0 - kLeastGain) * chisq;
        bool found = false;
        for (const Point& at : tops) {
            // The new peak as wide as its nearest neighbour, its phase tried against it.
            int near = 0;
            for (int k = 1; k <= kPeaks; ++k) {
                if (!(fit->peaks.PeakAmplitude[k] > 0)) continue;
                if (near == 0 || std::abs(fit->peaks.PeakFrequency[k] - at.x) <
                                     std::abs(fit->peaks.PeakFrequency[near] - at.x)) {
                    near = k;
                }
            }
            const double width = near > 0 ? fit->peaks.PeakWidth[near] : 0.01 * at.x;
            const double phase = near > 0 ? fit->peaks.PeakPhase[near] : 0.0;
            for (const double turn : {0.0, 90.0, 180.0, -90.0}) {
                if (late()) break;
                *trial = *fit;
                PeakTable& t = trial->peaks;
                t.PeakFrequency[free] = at.x;
                t.PeakAmplitude[free] = at.y;
                t.PeakWidth[free] = width;
                const double p = phase + turn;
                t.PeakPhase[free] = p > 180.0 ? p - 360.0 : p <= -180.0 ? p + 360.0 : p;
                const double c = FitToRest(*trial, window);
                // The added peak must be a resonance of some height: a small one only papers over
                // the model's misfit of real data (ring-up, the tails of modes beyond the range).
                if (Plausible(t, from, to) && Active(t) >= Active(fit->peaks) && c < bestChisq &&
                    t.PeakAmplitude[free] >= kLeastAdded * highest) {
                    bestChisq = c;
                    std::swap(best, trial);
                    found = true;
                }
            }
        }
        if (!found) break;
        std::swap(fit, best);
        chisq = bestChisq;
    }
    if (data.Phased && Active(fit->peaks) > 0) {
        for (int k = 1; k <= kPeaks; ++k) {
            if (fit->peaks.PeakAmplitude[k] > 0) {
                fit->peaks.PeakPhase[k] = -DataPhaseAt(data, fit->peaks.PeakFrequency[k]) - 90.0;
                if (fit->peaks.PeakPhase[k] <= -180.0) fit->peaks.PeakPhase[k] += 360.0;
            }
        }
        RangeOnly complex(from, to, true);
        FitToRest(*fit, complex);
    }
    peaks = fit->peaks;
    return Active(peaks);
}

}  // namespace sonarix
