// The fit run.
#include "fitting/FitRun.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "fitting/FindModes.h"
#include "fitting/FindPeaks.h"
#include "measurement/FixedText.h"
#include "measurement/TextFiles.h"

namespace sonarix {
namespace {

constexpr double kPi = std::numbers::pi;

double ToParameter(double degrees) {
    const double u = degrees * kPi / 360.0;
    return std::sin(u) / std::cos(u);
}

double ToDegrees(double t) { return std::atan(t) * 360.0 / kPi; }

// A phase shifted by 180 degrees within (-180, 180].
double Shifted(double degrees) { return degrees > 0 ? degrees - 180.0 : degrees + 180.0; }

// Points this far apart or more come from a stepped sweep (a fast measurement's are 0.5 or
// 1 Hz apart).
constexpr double kSteppedSpacing = 2.0;

double MedianSpacing(std::vector<double> f) {
    if (f.size() < 2) return 0.0;
    std::sort(f.begin(), f.end());
    std::vector<double> gaps;
    for (size_t i = 1; i < f.size(); ++i) gaps.push_back(f[i] - f[i - 1]);
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2),
                     gaps.end());
    return gaps[gaps.size() / 2];
}

}  // namespace

std::string FitParameterLines(const PeakTable& t) {
    std::string out;
    for (int k = 1; k <= kPeaks; ++k) {
        if (!(t.PeakAmplitude[k] > 0)) continue;
        out += std::to_string(k) + ". Peak:\r\n";
        const std::pair<const char*, double> rows[] = {{"Frequency [Hz]   = ", t.PeakFrequency[k]},
                                                       {"Amplitude [a.u.] = ", t.PeakAmplitude[k]},
                                                       {"Width [Hz]       = ", t.PeakWidth[k]},
                                                       {"Phase [degrees]  = ", t.PeakPhase[k]}};
        for (const auto& [caption, value] : rows) {
            out += caption;
            AppendFixed3(out, value);
            out += "\r\n";
        }
        out += "\r\n";
    }
    return out;
}

std::string FitFunctionLines(const FitData& d) {
    return PairLines(d.FitFrequency.data() + 1, d.FitCurve.data() + 1, d.FitCount);
}

Params PeakVector(PeakTable& t) {
    Params p{};
    for (int k = 1; k <= kPeaks; ++k) {
        if (t.PeakPhase[k] == -180.0) t.PeakPhase[k] = -179.9;
        p[4 * k - 3] = t.PeakFrequency[k];
        p[4 * k - 2] = t.PeakAmplitude[k];
        p[4 * k - 1] = t.PeakWidth[k];
        p[4 * k] = ToParameter(t.PeakPhase[k]);
    }
    return p;
}

void ComputeFitCurve(FitState& fit) {
    if (fit.Whole) {
        for (int i = 1; i <= fit.data.FitCount; ++i)
            fit.data.FitCurve[i] = std::abs(AllModesValue(*fit.Whole, fit.data.FitFrequency[i]));
        return;
    }
    ModelCurve(PeakVector(fit.peaks), fit.data.FitFrequency.data() + 1,
               fit.data.FitCurve.data() + 1, fit.data.FitCount);
}

std::complex<double> FitModelAt(const FitState& fit, double f) {
    if (fit.Whole) return AllModesValue(*fit.Whole, f);
    PeakTable t = fit.peaks;
    const Params p = PeakVector(t);
    const double re = ModelValue(p, f, kRealPart, fit.Delay, fit.DelayCentre);
    const double im = ModelValue(p, f, kImagPart, fit.Delay, fit.DelayCentre);
    // The model's phase rises through a resonance, the measurement's falls.
    return {re, -im};
}

FitRunner::FitRunner(FitState& fit, uint64_t seed)
    : m_fit(fit),
      m_random(seed),
      m_x(2 * kFitCapacity + 1),
      m_y(2 * kFitCapacity + 1),
      m_sigma(2 * kFitCapacity + 1),
      m_part(2 * kFitCapacity + 1) {}

int FitRunner::Run(FitWindow& w) {
    FitSteps steps = Start(w);
    while (steps.Next()) w.ProcessMessages();
    return steps.Result();
}

// What the report says beside the whole fit's modes: more modes than the table holds, modes
// beyond the range, no convergence, and the ring-up of a stepped sweep's points.
void FitRunner::NoteWholeFit(const AllModesFit& fit, size_t inRange, double spacing) {
    const FitState& f = m_fit;
    if (inRange > static_cast<size_t>(kPeaks)) {
        m_notes += std::to_string(inRange) +
                   " modes were fitted: the table shows the eight strongest; Save Fit Report "
                   "lists them all.\n";
    }
    std::string beyond;
    for (const FittedMode& m : fit.modes) {
        if (m.beyond) beyond += (beyond.empty() ? "" : ", ") + FixedText(m.frequency, 1);
    }
    if (!beyond.empty()) {
        m_notes += "The modes at " + beyond +
                   " Hz lie beyond the fit range; their flanks reach into it, so they were "
                   "fitted with it. They are not in the table (Save Fit Report lists them).\n";
    }
    if (!fit.converged && !f.StopFit) {
        m_notes +=
            "The whole-spectrum fit did not converge: the values shown are those of its "
            "last step. Narrow the fit range, or fit again.\n";
    }
    // Points a few Hz apart come from a stepped sweep, whose steps read a mode before it has
    // rung up: the model is the steady response, so positions come out moved along the sweep.
    if (spacing >= kSteppedSpacing) {
        double narrowest = 0.0;
        for (const FittedMode& m : fit.modes) {
            if (narrowest == 0.0 || m.width < narrowest) narrowest = m.width;
        }
        if (narrowest > 0.0 && narrowest < 3.0 * spacing) {
            m_notes += "The points lie " + FixedText(spacing, 1) +
                       " Hz apart (a stepped sweep): each step reads the modes before they have "
                       "rung up fully, which moves them along the sweep by up to a few Hz at "
                       "short step times, more than the errors shown. Fast Measure gives the "
                       "steady response.\n";
        }
    }
}

FitSteps FitRunner::StartWhole(FitWindow& w) {
    FitState& f = m_fit;
    double from = 0.0, to = 0.0;
    w.FitRange(from, to);
    const ModeProblem problem = ProblemOf(f.data, from, to, w.FitPhases());
    if (!(from < to) || problem.frequencies.empty()) {
        const std::string range = FixedText(from, 1) + " ... " + FixedText(to, 1) + " Hz";
        w.Report({Notice::Reason::Refused, !(from < to)
                                               ? kFitRangeReversed + (": " + range)
                                               : kFitRangeWithoutData + (" (" + range + ")")});
        co_return 0;
    }
    w.ShowStartFit(false);
    w.ShowProgress(true);
    f.StopFit = false;
    m_notes.clear();
    m_report = FitReport{};
    m_wholeRun = false;
    m_complex = problem.complexData;
    // The table's active peaks in the range start the search; without any, the data's maxima.
    std::vector<ModeGuess> start;
    for (int k = 1; k <= kPeaks; ++k) {
        const double F = f.peaks.PeakFrequency[k], W = f.peaks.PeakWidth[k];
        if (f.peaks.PeakAmplitude[k] > 0 && from < F && F < to && W > 0) start.push_back({F, W});
    }
    std::sort(start.begin(), start.end(),
              [](const ModeGuess& a, const ModeGuess& b) { return a.frequency < b.frequency; });
    ModeSearch search;
    int steps = 0;
    {
        FitSteps searching = SearchModes(problem, search, f.StopFit, start);
        while (searching.Next()) {
            ++steps;
            // The bar goes round: the number of steps is not known beforehand.
            if (steps % kMostFitSteps == 0) w.ShowProgress(true);
            w.StepProgress();
            co_yield 0;
        }
    }
    w.ShowProgress(false);
    w.ShowStartFit(true);
    const AllModesFit& fit = search.fit;
    const auto inRange = static_cast<size_t>(std::count_if(
        fit.modes.begin(), fit.modes.end(), [](const FittedMode& m) { return !m.beyond; }));
    if (!fit.valid || inRange == 0) {
        w.Report(
            {Notice::Reason::Refused, "No resonance stands out of the noise between " +
                                          FixedText(from, 1) + " and " + FixedText(to, 1) + " Hz" +
                                          (fit.failure.empty() ? "" : " (" + fit.failure + ")")});
        co_return steps;
    }
    // The table: the eight strongest modes of the range, by frequency; the others stay in
    // Whole.
    std::vector<int> order;
    for (size_t j = 0; j < fit.modes.size(); ++j) {
        if (!fit.modes[j].beyond) order.push_back(static_cast<int>(j));
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return std::abs(fit.modes[static_cast<size_t>(a)].amplitude) >
               std::abs(fit.modes[static_cast<size_t>(b)].amplitude);
    });
    if (order.size() > static_cast<size_t>(kPeaks)) order.resize(kPeaks);
    std::sort(order.begin(), order.end());
    m_fitted.fill(false);
    m_report.valid = true;
    m_report.whole = true;
    m_report.phases = fit.complexData;
    m_report.delay = fit.delay;
    m_report.points = fit.points;
    m_report.parameters = fit.parameters;
    m_report.steps = fit.iterations;
    m_report.chisq = fit.rms * fit.rms * fit.points;
    for (int k = 1; k <= kPeaks; ++k) {
        PeakTable& t = f.peaks;
        const size_t slot = static_cast<size_t>(k - 1);
        if (slot >= order.size()) {
            t.PeakFrequency[k] = 0.0;
            t.PeakAmplitude[k] = 0.0;
            t.PeakWidth[k] = 20.0;
            t.PeakPhase[k] = 0.0;
            continue;
        }
        const FittedMode& m = fit.modes[static_cast<size_t>(order[slot])];
        m_fitted[static_cast<size_t>(k)] = true;
        t.PeakFrequency[k] = m.frequency;
        t.PeakAmplitude[k] = std::abs(m.amplitude);
        t.PeakWidth[k] = m.width;
        // The table's term is the conjugate's (its phase rises through a resonance).
        t.PeakPhase[k] = -m.ownPhase * 180.0 / kPi;
        m_report.peaks[static_cast<size_t>(k)] = ErrorsOf(m);
    }
    f.Whole = fit;
    f.WholeFrom = from;
    f.WholeTo = to;
    m_wholeRun = true;
    NoteWholeFit(fit, inRange, MedianSpacing(problem.frequencies));
    ComputeFitCurve(f);
    w.RefreshPeakLabels();
    w.RedrawFit();
    co_return steps;
}

FitSteps FitRunner::Start(FitWindow& w) {
    FitState& f = m_fit;
    m_wholeRun = false;
    f.Whole.reset();
    double from = 0.0, to = 0.0;
    w.FitRange(from, to);
    // Strictly inside the range, all with sigma 1: the amplitude, or with phases the real and
    // the imaginary part of amplitude e^(i phase), two points at each frequency.
    m_complex = f.data.Phased && w.FitPhases();
    m_ndata = 0;
    int frequencies = 0;
    for (int i = 1; i <= f.data.FitCount; ++i) {
        const double x = f.data.FitFrequency[i];
        if (!(from < x && x < to)) continue;
        ++frequencies;
        const double y = f.data.FitAmplitude[i];
        if (!m_complex) {
            Select(x, y, kModulus);
            continue;
        }
        // The measured phase falls through a resonance, the model's term rises (the opposite
        // sign of time): the model meets the conjugate of the measurement.
        const double phase = -f.data.FitPhase[i] * kPi / 180.0;
        Select(x, y * std::cos(phase), kRealPart);
        Select(x, y * std::sin(phase), kImagPart);
    }
    // A range that selects nothing would "fit" the peaks to no data: refused before anything
    // changes, with the fields named.
    if (!(from < to) || frequencies == 0) {
        m_report = FitReport{};
        const std::string range = FixedText(from, 1) + " ... " + FixedText(to, 1) + " Hz";
        w.Report({Notice::Reason::Refused, !(from < to)
                                               ? kFitRangeReversed + (": " + range)
                                               : kFitRangeWithoutData + (" (" + range + ")")});
        co_return 0;
    }
    w.ShowStartFit(false);
    f.StopFit = false;
    m_notes.clear();
    FitPoints points{m_x.data(), m_y.data(), m_sigma.data(), m_ndata};
    if (m_complex) {
        points.part = m_part.data();
        points.delay = f.Delay;
        points.centre = f.DelayCentre = 0.5 * (from + to);
    }
    m_a = PeakVector(f.peaks);
    int mfit = 0;
    // Only the peaks in the fit list are the run's: the others (amplitude 0 or below, taken out
    // of the model) keep every value, in the table and in the solver's vector.
    m_fitted.fill(false);
    for (int k = 1; k <= kPeaks; ++k) {
        if (!(f.peaks.PeakAmplitude[k] > 0)) continue;
        m_fitted[k] = true;
        for (int q = 4 * k - 3; q <= 4 * k; ++q) m_lista[++mfit] = q;
    }
    w.ShowProgress(true);
    bool converged = false;
    int n = 0;
    {
        FitSteps steps = Iterate(w, points, mfit, converged);
        while (steps.Next()) co_yield 0;
        n = steps.Result();
    }
    // With phases, the delay that the latency calibration left (it turns the phase in
    // proportion to the frequency) is found between rounds of the solver, each from the
    // other's result, until it settles.
    for (int round = 0; m_complex && mfit > 0 && !f.StopFit && round < kDelayRounds; ++round) {
        const double delay = BestDelay(points);
        if (std::fabs(delay - points.delay) < kDelaySettled) break;
        points.delay = delay;
        f.Delay = delay;
        FitSteps steps = Iterate(w, points, mfit, converged);
        while (steps.Next()) co_yield 0;
        n += steps.Result();
    }
    m_report = ComputeFitReport(points, m_a, m_lista, mfit, n);
    if (mfit > 0) {
        // Other solutions first: a restart may also find the better fit that a start far off
        // missed.
        if (!f.StopFit && m_report.valid) {
            FitSteps steps = SearchOtherSolutions(w, points, mfit, n);
            while (steps.Next()) co_yield 0;
        }
        if (RemoveWhatIsNoResult(from, to)) {
            ComputeFitCurve(f);
            w.RefreshPeakLabels();
            w.RedrawFit();
        }
        if (!converged && !f.StopFit) {
            m_notes += "The fit did not converge within " + std::to_string(kMostFitSteps) +
                       " steps: the values shown are those of the last step. Start Fit again to "
                       "go on, or narrow the fit range.\n";
        }
    }
    w.ShowProgress(false);
    w.ShowStartFit(true);
    co_return n;
}

void FitRunner::Select(double x, double y, ModelPart part) {
    ++m_ndata;
    m_x[static_cast<size_t>(m_ndata)] = x;
    m_y[static_cast<size_t>(m_ndata)] = y;
    m_sigma[static_cast<size_t>(m_ndata)] = 1.0;
    m_part[static_cast<size_t>(m_ndata)] = part;
}

FitSteps FitRunner::Iterate(FitWindow& w, const FitPoints& points, int mfit, bool& converged) {
    FitState& f = m_fit;
    converged = false;
    // Chi-square after each step: at the step limit, a run whose last ten steps gained less
    // than a billionth of it stands at its minimum (the test below is absolute, and with large
    // chi-square the rounding of each step's sum exceeds it).
    std::array<double, kMostFitSteps + 1> history{};
    m_solver = SolverState{};
    m_solver.options = m_options;
    m_solver.lambda = -1.0;
    int n = 0;
    for (;;) {
        const double before = m_solver.chisq;
        if (!MarquardtStep(points, m_a, m_lista, mfit, m_solver)) {
            w.Report({Notice::Reason::Refused, kImproperPermutation});
            co_return n;
        }
        // A phase within about 1.15 degrees of +-180 gets a random one, and the solver starts
        // afresh.
        for (int k = 1; k <= kPeaks; ++k) {
            if (m_fitted[k] && std::fabs(m_a[4 * k]) > 100.0) {
                const double r = std::generate_canonical<double, 53>(m_random);
                const double v = (r - 0.5) * kPi;
                m_a[4 * k] = std::sin(v) / std::cos(v);
                m_solver.lambda = -1.0;
            }
        }
        w.StepProgress();
        co_yield 0;  // the window answers between the steps
        ++n;
        for (int k = 1; k <= kPeaks; ++k) {
            if (!m_fitted[k]) continue;
            double phase = ToDegrees(m_a[4 * k]);
            double amplitude = m_a[4 * k - 2];
            double width = m_a[4 * k - 1];
            const bool negative = amplitude < 0 || width < 0;
            if (amplitude < 0) {
                amplitude = -amplitude;
                phase = Shifted(phase);
            }
            if (width < 0) {
                width = -width;
                phase = Shifted(phase);
            }
            if (negative) {
                // The model leaves out a peak of negative amplitude, and a negative width
                // conjugates the peak's term, which no phase shift reproduces in a sum of
                // peaks: the table would not describe the fitted curve. So the solver goes on
                // from the normalised peak, afresh, and table and vector stay the same peaks.
                m_a[4 * k - 2] = amplitude;
                m_a[4 * k - 1] = width;
                m_a[4 * k] = ToParameter(phase);
                m_solver.lambda = -1.0;
            }
            f.peaks.PeakFrequency[k] = m_a[4 * k - 3];
            f.peaks.PeakAmplitude[k] = amplitude;
            f.peaks.PeakWidth[k] = width;
            f.peaks.PeakPhase[k] = phase;
        }
        w.RefreshPeakLabels();
        ComputeFitCurve(f);
        w.RedrawFit();
        const double change = std::fabs(m_solver.chisq - before);
        history[static_cast<size_t>(n)] = m_solver.chisq;
        if (n > 1 && change < 1e-12 && m_solver.chisq != before) {
            converged = true;
            break;
        }
        if (n > 50 || f.StopFit) break;
    }
    const double last = history[static_cast<size_t>(n)];
    if (n > 10 && std::fabs(history[static_cast<size_t>(n - 10)] - last) <= 1e-9 * last) {
        converged = true;
    }
    co_return n;
}

double FitRunner::BestDelay(const FitPoints& points) const {
    // With S the model's sum and z the data at a frequency, chi-square is smallest where
    // G(delay) = sum Re(conj(z) S e^(i w delay)) is largest: Newton's method on G from the
    // present delay.
    double delay = points.delay;
    for (int iteration = 0; iteration < 8; ++iteration) {
        double g1 = 0.0, g2 = 0.0;
        for (int i = 1; i + 1 <= points.ndata; i += 2) {
            const double x = points.x[i];
            const Complex S = ModelSum(m_a, x);
            const Complex zc{points.y[i], -points.y[i + 1]};  // conj(z)
            const double w = 2.0 * kPi * (x - points.centre);
            const Complex c = CMul(CMul(zc, S), Complex{std::cos(w * delay), std::sin(w * delay)});
            g1 -= w * c.Im;
            g2 -= w * w * c.Re;
        }
        if (!(g2 < 0.0)) break;  // not near a maximum: keep what there is
        const double step = -g1 / g2;
        delay += step;
        if (std::fabs(step) < 0.01 * kDelaySettled) break;
    }
    return delay;
}

namespace {

// The search's own solver runs are not shown: the window only keeps answering.
class Unseen : public FitWindow {
public:
    explicit Unseen(FitWindow& shown) : m_shown(shown) {}
    void ShowStartFit(bool) override {}
    void FitRange(double& from, double& to) override { m_shown.FitRange(from, to); }
    void Report(const Notice& notice) override { m_shown.Report(notice); }
    void ShowProgress(bool) override {}
    void StepProgress() override {}
    void RefreshPeakLabels() override {}
    void RedrawFit() override {}

private:
    FitWindow& m_shown;
};

// An angle in degrees within (-180, 180].
double Wrapped(double degrees) {
    degrees = std::fmod(degrees, 360.0);
    if (degrees > 180.0) degrees -= 360.0;
    if (degrees <= -180.0) degrees += 360.0;
    return degrees;
}

}  // namespace

// Marks the peaks whose amplitude and phase another solution fits as well: their errors
// widen to cover it, the other values are kept, and a note says which.
void FitRunner::NoteUndetermined(const std::array<bool, kPeaks + 1>& undetermined,
                                 const std::array<double, kPeaks + 1>& otherA,
                                 const std::array<double, kPeaks + 1>& otherPhase) {
    const FitState& f = m_fit;
    std::string which;
    for (int q = 1; q <= kPeaks; ++q) {
        if (!undetermined[q]) continue;
        PeakErrors& e = m_report.peaks[static_cast<size_t>(q)];
        e.undetermined = true;
        e.otherAmplitude = otherA[q];
        e.otherPhase = otherPhase[q];
        // The error says how far the data leave them open.
        e.amplitude = std::max(e.amplitude, std::fabs(otherA[q] - f.peaks.PeakAmplitude[q]));
        if (!std::isnan(e.phase)) {
            e.phase = std::max(e.phase, std::fabs(Wrapped(otherPhase[q] - f.peaks.PeakPhase[q])));
        }
        which += (which.empty() ? "" : ", ") + std::to_string(q);
    }
    if (!which.empty()) {
        m_notes += "The amplitudes alone do not determine the amplitude and phase of peak " +
                   which +
                   ": another solution fits as well (see Standard Errors). Measure with Lock-in "
                   "and a calibrated latency to fit the phases too.\n";
    }
}

FitSteps FitRunner::SearchOtherSolutions(FitWindow& w, const FitPoints& points, int mfit,
                                         int steps) {
    FitState& f = m_fit;
    // Overlapping peaks: closer than three times their widths together.
    std::vector<std::pair<int, int>> pairs;
    for (int j = 1; j <= kPeaks; ++j) {
        for (int k = j + 1; k <= kPeaks; ++k) {
            if (!m_fitted[j] || !m_fitted[k]) continue;
            const PeakTable& t = f.peaks;
            if (std::fabs(t.PeakFrequency[j] - t.PeakFrequency[k]) <
                3.0 * (t.PeakWidth[j] + t.PeakWidth[k])) {
                pairs.push_back({j, k});
            }
        }
    }
    const int dof = points.ndata - mfit;
    if (pairs.empty() || dof <= 0) co_return 0;
    Params best = m_a;
    PeakTable bestTable = f.peaks;
    double bestChisq = m_solver.chisq;
    // Solutions whose chi-square differ by less than its spread under the noise,
    // sigma^2 sqrt(2 (n - m)), cannot be told apart by the data.
    const double tolerance = bestChisq / dof * std::sqrt(2.0 * dof);
    int reference = 0;  // fitted to amplitudes alone, phases count against the first peak's
    for (int k = 1; k <= kPeaks && !m_complex; ++k) {
        if (m_fitted[k] && reference == 0) reference = k;
    }
    auto relative = [&](const PeakTable& t, int k) {
        return Wrapped(t.PeakPhase[k] - (reference > 0 ? t.PeakPhase[reference] : 0.0));
    };
    std::array<bool, kPeaks + 1> undetermined{};
    std::array<double, kPeaks + 1> otherA{}, otherPhase{};
    bool better = false;
    Unseen unseen(w);
    w.ShowProgress(true);
    for (const auto& [j, k] : pairs) {
        // Each start: the turn of peak k's phase and a factor of both amplitudes (0: the
        // amplitudes exchanged). Large amplitudes that cancel each other between the peaks can
        // draw the same modulus as small ones that add.
        for (const auto& [turn, factor] :
             {std::pair{90.0, 1.0}, std::pair{180.0, 1.0}, std::pair{-90.0, 1.0},
              std::pair{0.0, 0.0}, std::pair{180.0, 3.0}}) {
            if (f.StopFit) break;
            m_a = best;
            f.peaks = bestTable;
            if (factor == 0.0) {
                std::swap(m_a[4 * j - 2], m_a[4 * k - 2]);
            } else {
                m_a[4 * k] = ToParameter(Wrapped(bestTable.PeakPhase[k] + turn));
                m_a[4 * j - 2] *= factor;
                m_a[4 * k - 2] *= factor;
            }
            w.StepProgress();
            bool converged = false;
            {
                FitSteps restart = Iterate(unseen, points, mfit, converged);
                while (restart.Next()) co_yield 0;
            }
            const PeakTable other = f.peaks;
            const double chisq = m_solver.chisq;
            if (chisq < bestChisq - tolerance) {
                // A better minimum than the run's: that is the result.
                best = m_a;
                bestTable = other;
                bestChisq = chisq;
                better = true;
                undetermined.fill(false);
                continue;
            }
            if (chisq > bestChisq + tolerance) continue;
            // As good: the same resonances (frequencies and widths within three errors) with
            // other amplitudes or phases?
            bool same = true;
            for (int q = 1; q <= kPeaks && same; ++q) {
                if (!m_fitted[q]) continue;
                const PeakErrors& e = m_report.peaks[static_cast<size_t>(q)];
                same = std::fabs(other.PeakFrequency[q] - bestTable.PeakFrequency[q]) <=
                           3.0 * e.frequency + 0.01 * bestTable.PeakWidth[q] &&
                       std::fabs(other.PeakWidth[q] - bestTable.PeakWidth[q]) <=
                           3.0 * e.width + 0.01 * bestTable.PeakWidth[q];
            }
            if (!same) continue;
            for (int q = 1; q <= kPeaks; ++q) {
                if (!m_fitted[q]) continue;
                const PeakErrors& e = m_report.peaks[static_cast<size_t>(q)];
                const double dA = std::fabs(other.PeakAmplitude[q] - bestTable.PeakAmplitude[q]);
                const double dPhase =
                    q == reference
                        ? 0.0
                        : std::fabs(Wrapped(relative(other, q) - relative(bestTable, q)));
                const double phaseError = std::isnan(e.phase) ? 0.0 : e.phase;
                if (dA > 3.0 * e.amplitude + 1e-9 || dPhase > 3.0 * phaseError + 0.5) {
                    undetermined[q] = true;
                    otherA[q] = other.PeakAmplitude[q];
                    otherPhase[q] = other.PeakPhase[q];
                }
            }
        }
    }
    m_a = best;
    f.peaks = bestTable;
    m_solver.chisq = bestChisq;
    ComputeFitCurve(f);
    if (better) {
        m_report = ComputeFitReport(points, m_a, m_lista, mfit, steps);
        m_notes += "A restart from other phases found a better fit: it is shown.\n";
    }
    NoteUndetermined(undetermined, otherA, otherPhase);
    w.RefreshPeakLabels();
    w.RedrawFit();
    co_return 0;
}

bool FitRunner::RemoveWhatIsNoResult(double from, double to) {
    PeakTable& t = m_fit.peaks;
    const double noise = EstimateNoise(m_fit.data, from, to);
    bool removed = false;
    for (int k = 1; k <= kPeaks; ++k) {
        if (!IsFitted(k)) continue;
        const double F = t.PeakFrequency[k], A = t.PeakAmplitude[k], W = t.PeakWidth[k];
        const char* why = nullptr;
        if (!std::isfinite(F) || !std::isfinite(A) || !std::isfinite(W)) {
            why = "has no finite values";
        } else if (F < from - W || F > to + W) {
            why = "left the fit range";
        } else if (W > to - from) {
            why = "became wider than the fit range";
        } else if (A < kNoiseMultiple * noise) {
            why = "fell below the noise";
        }
        if (why == nullptr) continue;
        t.PeakAmplitude[k] = 0.0;
        m_report.peaks[static_cast<size_t>(k)] = PeakErrors{};
        m_notes += "Peak " + std::to_string(k) + " " + why + ": removed.\n";
        removed = true;
    }
    return removed;
}

}  // namespace sonarix
