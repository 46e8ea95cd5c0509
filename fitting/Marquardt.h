// The resonance model (the modulus of a coherent sum of up to eight driven
// damped oscillator terms), its numerical gradient, and the Levenberg-Marquardt solver
// (Numerical Recipes' mrqmin/mrqcof/gaussj, one MarquardtIteration of LevenbergMarquardt.h a
// step) on a fixed vector of 32 parameters. All storage has fixed size and is 1-based; nothing
// is allocated while a fit runs. Each fit's state and scratch are its own SolverState.
#pragma once

#include <array>

#include "fitting/ComplexArithmetic.h"

namespace sonarix {

inline constexpr int kParams = 32;
inline constexpr int kPeaks = 8;
inline constexpr double kGradientStep = 1e-6;
inline constexpr const char* kImproperPermutation = "Improper permutation in LISTA";

using Params = std::array<double, kParams + 1>;  // entry 0 unused
using FitList = std::array<int, kParams + 1>;
using Matrix = std::array<std::array<double, kParams + 1>, kParams + 1>;

// Peak k (1 ... 8): F = p[4k-3] [Hz], A = p[4k-2], W = p[4k-1] [Hz], t = p[4k] = tan(phase/2).
double ResonanceModel(Params p, double x);

// What a data point holds: the modulus of the model's sum (the spectrum's amplitude), or, for
// complex data (amplitude and phase measured), the real or the imaginary part of the sum turned
// by a delay about a centre frequency: S(x) e^(i 2 pi (x - centre) delay), so that the delay
// tilts the phase across the range and leaves the peaks' phases at its centre alone. The model's
// phase rises through a resonance, a measured one falls: complex data are given as the conjugate of
// the measurement.
enum ModelPart : unsigned char { kModulus = 0, kRealPart = 1, kImagPart = 2 };

// The complex sum of the active peaks' terms at x, whose modulus ResonanceModel is.
Complex ModelSum(const Params& p, double x);
// The model's value for a point of the given part.
double ModelValue(const Params& p, double x, ModelPart part, double delay, double centre);

// ResonanceModel(p, x[i]) into out[i] for i = 0 ... n - 1, the same values, with the phase
// factors formed once instead of once per point.
void ModelCurve(const Params& p, const double* x, double* out, int n);

// y = the model at x, g[1 ... n] its central differences with h = 1e-6 (2n + 1 evaluations).
void ModelWithGradient(const Params& p, double x, int n, double& y, Params& g,
                       ModelPart part = kModulus, double delay = 0.0, double centre = 0.0);

// The data: x[1 ... ndata], y[1 ... ndata], sigma[1 ... ndata] (entry 0 unused); for complex
// data also part[1 ... ndata] and the delay (without part, every point is a modulus).
struct FitPoints {
    const double* x = nullptr;
    const double* y = nullptr;
    const double* sigma = nullptr;
    int ndata = 0;
    const ModelPart* part = nullptr;
    double delay = 0.0;   // seconds
    double centre = 0.0;  // Hz
};

// The curvature matrix alpha (mfit x mfit, both triangles), the gradient beta[1 ... mfit] and
// chi-square at a, evaluating the model in the written order: 65 evaluations per point.
void ChiSquareCurvature(const FitPoints& d, const Params& a, const FitList& lista, int mfit,
                        Matrix& alpha, Params& beta, double& chisq);

// The same results from one evaluation of each peak's term per point, plus the perturbed
// term of each free parameter's own peak, re-added in the written order (so the model values
// and differences are those of ChiSquareCurvature exactly); what does not depend on the
// frequency is computed once per call. The points are split into two fixed halves, summed on
// both cores (or one after the other with threads = 1), with the same result either way.
void FastChiSquareCurvature(const FitPoints& d, const Params& a, const FitList& lista, int mfit,
                            Matrix& alpha, Params& beta, double& chisq, int threads = 2);

// Which pass MarquardtStep uses (the fast one unless a test asks for the reference), and how
// many threads the fast one may use (1 or 2).
enum class CurvaturePass { Reference, Fast };
struct SolverOptions {
    CurvaturePass pass = CurvaturePass::Fast;
    int threads = 2;
};

// GaussJordan (fitting/LevenbergMarquardt.h) on the fixed matrices, compiled with the
// solver's floating-point settings.
bool GaussJordan(Matrix& a, int n, Matrix& b, int m);

// One fit's solver: its options, its state between the steps and its scratch.
struct SolverState {
    SolverOptions options;
    Matrix H{};
    Matrix alpha{};
    Params beta{};
    double chisq = 0.0;
    double chisqPrev = 0.0;
    double lambda = -1.0;
    Params aTry{}, delta{};
    Matrix deltaColumn{};
};

// One Levenberg-Marquardt iteration (one trial: lambda down tenfold when it lowered
// chi-square, up tenfold when not); lambda < 0 initialises (completes the fit list, lambda =
// 0.001, chi-square at a). An improper list returns false at once (the caller tells the user
// kImproperPermutation).
bool MarquardtStep(const FitPoints& d, Params& a, FitList& lista, int mfit, SolverState& s);

}  // namespace sonarix
