// The benchmarks' fit problem.
#include "bench/FitProblem.h"

#include <cmath>
#include <numbers>
#include <random>

namespace sonarix {
namespace {
double T(double degrees) { return std::tan(degrees * std::numbers::pi / 360.0); }

}  // namespace

void PrepareFitProblem(FitState& fit) {
    const double f[8] = {1200, 2273, 3649, 4906, 6165, 7377, 8434, 9372};
    Params truth{};
    for (int k = 1; k <= 8; ++k) {
        truth[4 * k - 3] = f[k - 1];
        truth[4 * k - 2] = 5.0 + k;
        truth[4 * k - 1] = 10.0 + 4.0 * k;
        truth[4 * k] = T(-150.0 + 40.0 * k);
    }
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 0.05);
    fit.data.FitCount = kFitCapacity;
    for (int i = 1; i <= kFitCapacity; ++i) {
        const double x = 100.0 + 0.495 * i;
        fit.data.FitFrequency[i] = x;
        fit.data.FitAmplitude[i] = ResonanceModel(truth, x) + noise(rng);
    }
    for (int k = 1; k <= 8; ++k) {
        fit.peaks.PeakFrequency[k] = f[k - 1] * (k % 2 ? 1.004 : 0.996);
        fit.peaks.PeakAmplitude[k] = (5.0 + k) * 1.2;
        fit.peaks.PeakWidth[k] = (10.0 + 4.0 * k) * 0.85;
        fit.peaks.PeakPhase[k] = -150.0 + 40.0 * k + 15.0;
    }
}

}  // namespace sonarix
