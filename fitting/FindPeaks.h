// "Find Peaks": initial peaks for the fit at the most prominent maxima of the data in the fit
// range, so that the user need not place each one by hand.
#pragma once

#include "fitting/FitRun.h"

namespace sonarix {

// The noise of the data in (from, to): the median absolute second difference of neighbouring
// points over 1.652 (what white noise of that sigma gives); the slopes of the peaks cancel in
// it and the few points at their tops do not move the median.
double EstimateNoise(const FitData& data, double from, double to);

// Replaces the whole table: up to eight peaks, in ascending frequency, at the local maxima of
// the points strictly inside (from, to) whose prominence (the height above the higher of the
// two lowest points between it and a higher point, or the range's end, on either side) exceeds
// six times the noise; the highest of them when there are more. Each gets the maximum's
// frequency and amplitude, the width from the half-height crossings (the model falls to half
// its height at F +- sqrt(3) W) and phase 0. The other peaks get amplitude 0 and width 20.
// Returns the number of peaks placed.
int FindPeaks(const FitData& data, double from, double to, PeakTable& peaks);

}  // namespace sonarix
