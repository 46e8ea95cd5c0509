// The theory of the wave function: a mode of order l sounds at hemisphere angle alpha with
// |P_l(cos theta)|, cos theta = (cos alpha - 1) / 2 (the geometry of the two hemispheres).
// The outline drawn over the measured figure, and the l that fits the measured values best.
#pragma once

#include "wavefunction/WaveFunction.h"

namespace sonarix {

inline constexpr int kHighestOrder = 4;

// The Legendre polynomial P_l(x), l >= 0, by its recurrence.
double LegendreP(int l, double x);

// |P_l(cos theta)| at the 19 angles, scaled so that its largest value is `largest`.
WaveValues TheoryValues(int l, double largest);

// The l = 0 ... 4 whose |P_l| fits the measured values (those above 0; a cleared angle holds
// 0) best by least squares with the scale free, and the RMS residual of that fit relative to
// the largest value (0 ... 1). Fewer than kLeastAnglesForTheory measured angles tell no order
// apart (one value fits every l): l = -1.
inline constexpr int kLeastAnglesForTheory = 6;
struct TheoryFit {
    int l = -1;
    double scale = 0.0;
    double residual = 0.0;
    int measured = 0;  // angles with a value
};
TheoryFit BestTheory(const WaveValues& values);

}  // namespace sonarix
