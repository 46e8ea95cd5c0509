// "Find Peaks": initial peaks for the fit at the most prominent maxima of the data in the fit
// range, so that the user need not place each one by hand.
#pragma once

#include <cstddef>
#include <vector>

#include "fitting/FitRun.h"

namespace sonarix {

// The noise of the data in (from, to): the median absolute second difference of neighbouring
// points over 1.652 (what white noise of that sigma gives); the slopes of the peaks cancel in
// it and the few points at their tops do not move the median. A range of fewer than
// kNoisePoints points is judged with its nearest neighbours outside it up to that many: a few
// points that all lie on one resonance would give its curvature as the noise.
inline constexpr size_t kNoisePoints = 32;
double EstimateNoise(const FitData& data, double from, double to);
// The same of values y (0 for fewer than three).
double SecondDifferenceNoise(const std::vector<double>& y);
// Where y first falls below `level` walking from i by `step` (+1 or -1), interpolated in x;
// false at the end of the data.
bool FallsBelow(const std::vector<double>& x, const std::vector<double>& y, size_t i, int step,
                double level, double& at);

// The least quality factor F / 2W of a peak that Find Peaks places.
inline constexpr double kLeastQuality = 2.0;

// Replaces the whole table: up to eight peaks, in ascending frequency, at the local maxima of
// the data strictly inside (from, to) whose prominence (the height above the higher of the two
// lowest points between it and a higher point, or the data's end, on either side; the data
// beyond the range count) exceeds six times the noise of the range, that fall to half their
// height on at least one side, and whose quality factor is kLeastQuality or more; the highest
// of them when there are more. Each gets the maximum's frequency and amplitude, the width from
// the half-height crossings (the model falls to half its height at F +- sqrt(3) W) and phase
// 0, or with measured phases the phase that turns its term at the top onto the data's. The
// other peaks get amplitude 0 and width 20. Returns the number of peaks placed.
int FindPeaks(const FitData& data, double from, double to, PeakTable& peaks);

// The least part of chi-square that a peak added by RefinePeaks must take away, the least
// height of the residual where it is added and the least fitted amplitude of the added peak,
// both as parts of the highest data point of the range.
inline constexpr double kLeastGain = 0.2;
inline constexpr double kLeastResidual = 0.02;
inline constexpr double kLeastAdded = 0.1;
// The longest the search for further peaks goes on (the fit of the found ones is always made).
inline constexpr double kRefineSeconds = 3.0;

// Refines the table against the residual: fits its peaks over (from, to), again after a run
// that removed a peak; then, while a peak is free and the data stand more than six times the
// noise above the fit (a resonance the peaks do not explain, such as the second of two that
// overlap into one hump), adds a peak at each of the four highest such places in turn, tries
// it at four phases against its nearest neighbour, and keeps the best of these fits if it
// lowers chi-square by kLeastGain of it or more and every peak is a plausible resonance of the
// range and the added one reaches kLeastAdded of the range's highest point. Only residuals
// higher than kLeastResidual of that point count. The table becomes the fitted peaks. Returns
// the number of active peaks. Data with phases are fitted as complex data.
int RefinePeaks(const FitData& data, double from, double to, PeakTable& peaks);

}  // namespace sonarix
