// The Legendre pattern of the wave function.
#include "wavefunction/WaveTheory.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sonarix {
namespace {

// |P_l| at the 19 angles.
WaveValues Pattern(int l) {
    WaveValues t{};
    for (int k = 0; k < kAngles; ++k) {
        const double c = (std::cos(10.0 * k * std::numbers::pi / 180.0) - 1.0) / 2.0;
        t[static_cast<size_t>(k)] = std::fabs(LegendreP(l, c));
    }
    return t;
}

}  // namespace

double LegendreP(int l, double x) {
    if (l <= 0) return 1.0;
    double previous = 1.0, current = x;
    for (int n = 1; n < l; ++n) {
        const double next = ((2.0 * n + 1.0) * x * current - n * previous) / (n + 1.0);
        previous = current;
        current = next;
    }
    return current;
}

WaveValues TheoryValues(int l, double largest) {
    WaveValues t = Pattern(l);
    const double top = *std::max_element(t.begin(), t.end());
    for (double& v : t) v = top > 0.0 ? v * largest / top : 0.0;
    return t;
}

TheoryFit BestTheory(const WaveValues& values) {
    TheoryFit best;
    const double largest = *std::max_element(values.begin(), values.end());
    best.measured = static_cast<int>(
        std::count_if(values.begin(), values.end(), [](double v) { return v > 0.0; }));
    if (!(largest > 0.0) || best.measured < kLeastAnglesForTheory) return best;
    for (int l = 0; l <= kHighestOrder; ++l) {
        const WaveValues t = Pattern(l);
        double vt = 0.0, tt = 0.0;
        for (size_t k = 0; k < t.size(); ++k) {
            if (!(values[k] > 0.0)) continue;
            vt += values[k] * t[k];
            tt += t[k] * t[k];
        }
        const double scale = tt > 0.0 ? vt / tt : 0.0;
        double squares = 0.0;
        for (size_t k = 0; k < t.size(); ++k) {
            if (values[k] > 0.0) squares += (values[k] - scale * t[k]) * (values[k] - scale * t[k]);
        }
        const double residual = std::sqrt(squares / best.measured) / largest;
        if (best.l < 0 || residual < best.residual) best = {l, scale, residual, best.measured};
    }
    return best;
}

}  // namespace sonarix
