// The modes of a spectrum for the whole-spectrum fit: every resonance of a range, the weak ones
// on a strong neighbour's flank and the close pairs that show as one hump included. The clear
// maxima are fitted together with a background; then, while the residuals hold a resonance the
// fit does not explain, a mode is added there, kept when it lowers chi-square well beyond what
// noise gives and is a plausible resonance of the range, and the whole is fitted again.
#pragma once

#include <complex>
#include <vector>

#include "fitting/AllModesFit.h"
#include "fitting/FitRun.h"

namespace sonarix {

// The points of one range: complex when the phases were measured, else magnitudes (as the
// real parts).
struct ModeProblem {
    std::vector<double> frequencies;  // ascending
    std::vector<std::complex<double>> data;
    bool complexData = true;
};

// The points of the fit data set strictly inside (from, to), as the whole-spectrum fit takes
// them: with the phases when the data have them and `phases` is asked for.
ModeProblem ProblemOf(const FitData& data, double from, double to, bool phases);

struct ModeSearch {
    std::vector<ModeGuess> modes;  // ascending in frequency
    AllModesFit fit;               // the last fit of them over the range
    double noise = 0.0;            // of the residuals, per real value
    int fits = 0;                  // whole fits made
};

// The least number of noise variances a mode must take off chi-square to be kept (four
// parameters added: noise alone gives a few).
inline constexpr double kLeastModeGain = 50.0;
// How far beyond the range, in its widths, a mode may lie whose flank the range holds: such a
// mode is fitted with the others (the background cannot follow a resonance's flank) and
// marked FittedMode::beyond, no result of the range.
inline constexpr double kFlankReach = 10.0;
// The most modes a search finds.
inline constexpr int kMostModes = 40;

// The search a solver step at a time: `out` holds what was found so far; `stop` ends it early
// (between two steps) with that. The problem, `out` and `stop` must outlive the steps.
// It starts from `start` (ascending) when given, else from the clear maxima.
FitSteps SearchModes(const ModeProblem& problem, ModeSearch& out, const bool& stop,
                     std::vector<ModeGuess> start = {});
// The same at once.
ModeSearch FindModes(const ModeProblem& problem);

// The clear maxima alone: local maxima of the magnitudes whose prominence exceeds six times the
// noise and a twentieth of the highest point and whose quality factor is kClearQuality or more,
// with widths from their half-height crossings.
inline constexpr double kClearQuality = 10.0;
std::vector<ModeGuess> ClearMaxima(const ModeProblem& problem);
// Modes beyond the range whose flanks the range holds: where the data rise to an end of the
// range by more than a clear maximum's prominence, a mode beyond that end at the distance the
// logarithm's slope over the last points tells (a flank falls as 1 / |F - f|), as wide as the
// median of `guesses`.
std::vector<ModeGuess> FlankModes(const ModeProblem& problem,
                                  const std::vector<ModeGuess>& guesses);

}  // namespace sonarix
