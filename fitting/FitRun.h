// The state of a resonance fit (peak table, fit data set, StopFit) and the fit run behind the
// fit window's "Start Fit": the engine selects the points in the range, fits every peak of
// positive amplitude with the Levenberg-Marquardt solver and reports each step through
// FitWindow. No widgets; tests drive it with a fake window.
#pragma once

#include <array>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fitting/AllModesFit.h"
#include "fitting/FitReport.h"
#include "fitting/Marquardt.h"
#include "measurement/Notice.h"

namespace sonarix {

inline constexpr int kFitCapacity = 20000;
inline constexpr int kMostFitSteps = 51;
// A fitted peak lower than this many times the noise of the data is no result.
inline constexpr double kNoiseMultiple = 2.0;

// Peaks 1 ... 8 (entry 0 unused).
struct PeakTable {
    std::array<double, kPeaks + 1> PeakFrequency{};  // Hz
    std::array<double, kPeaks + 1> PeakAmplitude{};
    std::array<double, kPeaks + 1> PeakWidth{};  // Hz
    std::array<double, kPeaks + 1> PeakPhase{};  // degrees
};

// The fit window's data: points 1 ... FitCount. A spectrum measured with its phases (the
// lock-in level with a calibrated latency) also has FitPhase, in degrees.
struct FitData {
    std::array<double, kFitCapacity + 1> FitFrequency{};
    std::array<double, kFitCapacity + 1> FitAmplitude{};
    std::array<double, kFitCapacity + 1> FitCurve{};
    std::array<double, kFitCapacity + 1> FitPhase{};
    bool Phased = false;
    int FitCount = 0;
    uint32_t DataColor = 0;
    uint32_t FitColor = 0;
};

struct FitState {
    PeakTable peaks;
    FitData data;
    bool StopFit = false;
    // A fit of phases: the delay [s] that turns the model's phase about the centre [Hz] of the
    // range, found with the peaks.
    double Delay = 0.0;
    double DelayCentre = 0.0;
    // The last whole-spectrum fit while the table is its result: the curve is then its model
    // (background and delay included) and the errors are its own. An edit of the table ends it.
    std::optional<AllModesFit> Whole;
    double WholeFrom = 0.0, WholeTo = 0.0;
};

// The peak table as the solver's vector; a phase of exactly -180 becomes -179.9 in the table.
Params PeakVector(PeakTable& peaks);
// FitCurve[1 ... FitCount] = the model of the peak table, or of the whole-spectrum fit while
// there is one.
void ComputeFitCurve(FitState& fit);
// The fitted model's complex value at f in the measurement's sign of the phase, for the phase
// plot: the whole-spectrum fit's, else the table's turned by the fit's delay.
std::complex<double> FitModelAt(const FitState& fit, double f);

// The fit-parameter file: for every peak of positive amplitude, in ascending order, "k. Peak:",
// the four values under captions of 19 characters with 3 decimals, an empty line; CR LF.
std::string FitParameterLines(const PeakTable& peaks);
// The fit-function file: FitFrequency and FitCurve in the spectrum file's line format.
std::string FitFunctionLines(const FitData& data);

// A fit run's solver steps, one at a time: a coroutine that stops after each step. Next runs
// it to its next step (or its end) and says whether it stopped before its end; Result is
// then what it returned.
class FitSteps {
public:
    struct promise_type {
        int result = 0;
        std::exception_ptr failure;
        FitSteps get_return_object() {
            return FitSteps(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        std::suspend_always yield_value(int) noexcept { return {}; }
        void return_value(int value) { result = value; }
        void unhandled_exception() { failure = std::current_exception(); }
    };
    FitSteps(FitSteps&& other) noexcept : m_handle(std::exchange(other.m_handle, {})) {}
    FitSteps& operator=(FitSteps&& other) noexcept {
        if (this != &other) {
            if (m_handle) m_handle.destroy();
            m_handle = std::exchange(other.m_handle, {});
        }
        return *this;
    }
    FitSteps(const FitSteps&) = delete;
    FitSteps& operator=(const FitSteps&) = delete;
    ~FitSteps() {
        if (m_handle) m_handle.destroy();
    }
    bool Next() {
        if (!m_handle || m_handle.done()) return false;
        m_handle.resume();
        if (m_handle.promise().failure) std::rethrow_exception(m_handle.promise().failure);
        return !m_handle.done();
    }
    int Result() const { return m_handle ? m_handle.promise().result : 0; }

private:
    explicit FitSteps(std::coroutine_handle<promise_type> h) : m_handle(h) {}
    std::coroutine_handle<promise_type> m_handle;
};

// What the run needs of the fit window, called on the GUI thread.
class FitWindow {
public:
    virtual ~FitWindow() = default;
    virtual void ShowStartFit(bool shown) = 0;  // hides "Start Fit", uncovering "Stop"
    // The fit range "from" and "to" as read from the window's fields.
    virtual void FitRange(double& from, double& to) = 0;
    virtual void ShowProgress(bool shown) = 0;  // the progress bar, 50 steps, at 0 when shown
    virtual void StepProgress() = 0;
    // Between two steps of Run's loop (tests), where such a window processes its messages; a
    // window that runs Start's steps from its own event loop is never called here.
    virtual void ProcessMessages() {}
    // The peak labels of the selected peak; may set its phase to whole degrees.
    virtual void RefreshPeakLabels() = 0;
    virtual void RedrawFit() = 0;
    // Whether data with phases are fitted as complex data ("Fit phases too").
    virtual bool FitPhases() const { return false; }
    // What the user is to be told: a range without data, no resonance found; the window
    // decides how.
    virtual void Report(const Notice& notice) = 0;
};

inline constexpr const char* kFitRangeReversed = "The fit range \"from\" must be below \"to\"";
inline constexpr const char* kFitRangeWithoutData =
    "No data point lies between \"from\" and \"to\": choose a fit range within the spectrum";

// The rounds of solver and delay in a fit of phases, and the change of delay that ends them.
inline constexpr int kDelayRounds = 4;
inline constexpr double kDelaySettled = 1e-6;  // seconds

// One fit run at a time; keeps its working arrays between runs, so a run allocates nothing.
class FitRunner {
public:
    explicit FitRunner(FitState& fit, uint64_t seed = 5489u);
    // The solver's pass and threads for the runs from now on (tests and benchmarks compare).
    void UseSolver(SolverOptions options) { m_options = options; }

    // The run of "Start Fit". Returns the number of solver steps made; 0 when the range holds
    // no data point or "from" is not below "to" (refused with a message, nothing changed).
    int Run(FitWindow& window);
    // The same run a step at a time, for a window that runs it from its event loop: the
    // steps' Next runs up to the end of the next solver step. The window and the runner must
    // outlive them.
    FitSteps Start(FitWindow& window);

    // The solver's vector after the last step, and its chi-square.
    const Params& Vector() const { return m_a; }
    double ChiSquare() const { return m_solver.chisq; }
    int SelectedPoints() const { return m_ndata; }
    // The standard errors and Q factors at the end of the last run.
    const FitReport& Report() const { return m_report; }
    // What the last run has to say beyond its values, a line each: the peaks it removed as no
    // result (one that left the range by more than its width, grew wider than the range, fell
    // below the noise or lost its finite values) and a run that ended at the step limit
    // without converging. Empty when there is nothing to say.
    const std::string& Notes() const { return m_notes; }
    // Whether peak k was in the last run's fit list.
    bool IsFitted(int k) const { return m_fitted[static_cast<size_t>(k)]; }

    // "Fit All Modes", the whole-spectrum fit: every mode of the range together with a
    // background (and, for complex data, a delay). It starts from the table's active peaks in
    // the range, or where there are none from the data's clear maxima, and adds the modes the
    // residuals show (FindModes). The table then holds the eight strongest modes (by their
    // amplitude); the fit, with every mode, is the state's Whole. Refused like Start.
    FitSteps StartWhole(FitWindow& window);
    // Whether the last run was a whole-spectrum fit.
    bool WholeRun() const { return m_wholeRun; }
    // The notes also say when the amplitudes and phases of overlapping peaks are not determined
    // by the data (see SearchOtherSolutions).
    // Whether the last run fitted amplitudes and phases (complex data).
    bool FittedPhases() const { return m_complex; }
    void Seed(uint64_t seed) { m_random.seed(seed); }

private:
    void Select(double x, double y, ModelPart part);
    // The solver's loop of the Parts' run on the selected points: at most 51 steps, each copied
    // back into the table and shown. Returns the steps made.
    FitSteps Iterate(FitWindow& w, const FitPoints& points, int mfit, bool& converged);
    // The delay that best turns the model of the vector onto the complex data.
    double BestDelay(const FitPoints& points) const;
    // After a run: makes the fitted peaks that are no result inactive, with a note each.
    bool RemoveWhatIsNoResult(double from, double to);
    // After a run: restarts the solver from the result with the phase of one of two
    // overlapping peaks turned (by 90, 180, -90 degrees; by 180 with both amplitudes tripled)
    // or their amplitudes exchanged. A
    // solution as good (chi-square within its spread under the noise) with the same
    // frequencies and widths but other amplitudes or phases marks those peaks undetermined,
    // with the other values and errors that cover them, and a note; a clearly better one
    // becomes the result. The window keeps answering; it shows the search's progress only.
    FitSteps SearchOtherSolutions(FitWindow& w, const FitPoints& points, int mfit, int steps);
    // The whole fit's notes for the report (points `spacing` Hz apart).
    void NoteWholeFit(const AllModesFit& fit, size_t inRange, double spacing);
    void NoteUndetermined(const std::array<bool, kPeaks + 1>& undetermined,
                          const std::array<double, kPeaks + 1>& otherA,
                          const std::array<double, kPeaks + 1>& otherPhase);

    FitState& m_fit;
    std::mt19937_64 m_random;
    std::vector<double> m_x, m_y, m_sigma;  // twice the data's capacity: complex data
    std::vector<ModelPart> m_part;
    bool m_complex = false;
    int m_ndata = 0;
    Params m_a{};
    FitList m_lista{};
    SolverState m_solver;
    SolverOptions m_options;
    FitReport m_report;
    std::string m_notes;
    std::array<bool, kPeaks + 1> m_fitted{};
    bool m_wholeRun = false;
};

}  // namespace sonarix
