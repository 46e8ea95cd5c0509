// The whole-spectrum fit: variable projection for complex data, a plain Levenberg-Marquardt fit
// for magnitudes, both with analytic derivatives.
#include "fitting/AllModesFit.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "fitting/AllModesSolverImpl.h"
#include "fitting/LevenbergMarquardt.h"

namespace sonarix {

void AllModesSolver::Impl::Start(const std::vector<ModeGuess>& guesses) {
    modes = static_cast<int>(guesses.size());
    const bool delay = complexData && options.fitDelay;
    if (complexData) {
        theta.assign(static_cast<size_t>(2 * modes + 1), 0.0);
    } else {
        theta.assign(static_cast<size_t>(4 * modes + 2), 0.0);
    }
    for (int j = 0; j < modes; ++j) {
        theta[static_cast<size_t>(2 * j)] = guesses[static_cast<size_t>(j)].frequency;
        theta[static_cast<size_t>(2 * j + 1)] = guesses[static_cast<size_t>(j)].width;
        if (!options.holdShapes) {
            free.push_back(2 * j);
            free.push_back(2 * j + 1);
        }
    }
    if (delay) free.push_back(2 * modes);
    if (!complexData) {
        for (int k = 2 * modes; k < 4 * modes + 2; ++k) free.push_back(k);
    }
    const int linearCount = complexData ? 2 * Columns() : 0;
    const int unknowns = static_cast<int>(free.size()) + linearCount;
    if (modes == 0) {
        failure = "no peak to fit";
    } else if (!Shapes(theta)) {
        failure = "every peak needs a positive frequency and width";
    } else if (RealValues() <= unknowns) {
        failure = "the range holds " + std::to_string(Points()) + " points, too few for " +
                  std::to_string(modes) + " peaks";
    }
    if (!failure.empty()) {
        done = true;
        return;
    }
    if (complexData) {
        if (std::isfinite(options.delay)) {
            theta[DelayIndex()] = options.delay;
        } else if (options.fitDelay) {
            theta[DelayIndex()] = DelayFromData();
        }
    } else {
        // Each amplitude from the data's height at its peak, in phase with the others
        // (c / i is the term's value at F).
        for (int j = 0; j < modes; ++j) {
            const double F = theta[static_cast<size_t>(2 * j)];
            const auto at = std::lower_bound(f.begin(), f.end(), F);
            const size_t i = std::min(static_cast<size_t>(at - f.begin()), Points() - 1);
            theta[static_cast<size_t>(2 * modes + 2 * j + 1)] = std::max(mag[i], 1e-12);
        }
    }
    if (!Squares(theta, chi, true)) {
        failure = "the peaks' terms cannot be told apart (two peaks at the same place?)";
        done = true;
        return;
    }
    if (free.empty()) {
        done = true;
        converged = true;
    }
}

// The delay that best fits the guessed shapes: from the median of the data's phase slope,
// then searched nearby on a grid fine enough for the range's highest frequency.
double AllModesSolver::Impl::DelayFromData() const {
    const size_t N = Points();
    std::vector<double> slopes;
    for (size_t i = 1; i < N; ++i) {
        const double df = f[i] - f[i - 1];
        if (df <= 0.0 || std::abs(d[i]) == 0.0 || std::abs(d[i - 1]) == 0.0) continue;
        slopes.push_back(-std::arg(d[i] * std::conj(d[i - 1])) / (kTwoPi * df));
    }
    if (slopes.empty()) return 0.0;
    auto mid = slopes.begin() + static_cast<std::ptrdiff_t>(slopes.size() / 2);
    std::nth_element(slopes.begin(), mid, slopes.end());
    const double centre = *mid;
    const double span = std::max(f.back() - f.front(), 1.0);
    const double step = 0.1 / span;
    const double half = std::clamp(4.0 / span, 1e-3, 0.05);
    // The basis at the guesses, on at most about 2000 of the points.
    const size_t stride = std::max<size_t>(1, N / 2000);
    const int n = Columns();
    std::vector<Complex> basis, gram(static_cast<size_t>(n * n));
    std::vector<size_t> used;
    for (size_t i = 0; i < N; i += stride) {
        used.push_back(i);
        for (int j = 0; j < modes; ++j) {
            const double F = theta[static_cast<size_t>(2 * j)];
            const double W = theta[static_cast<size_t>(2 * j + 1)];
            basis.push_back(Oscillator(F, W, f[i]));
        }
        basis.push_back(1.0);
        basis.push_back(f[i] * kSlopeScale);
    }
    for (size_t u = 0; u < used.size(); ++u) {
        const Complex* row = &basis[u * static_cast<size_t>(n)];
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c <= r; ++c)
                gram[static_cast<size_t>(r * n + c)] += std::conj(row[r]) * row[c];
        }
    }
    if (!Cholesky(gram, n)) return centre;
    // The part of the data the basis explains, w^H G^-1 w with w = Phi^H y: the largest is
    // the smallest residual.
    std::vector<Complex> rotation(used.size()), y(used.size()), w(static_cast<size_t>(n));
    const int count = static_cast<int>(std::ceil(2.0 * half / step));
    for (size_t u = 0; u < used.size(); ++u) {
        y[u] = d[used[u]] * std::polar(1.0, kTwoPi * f[used[u]] * (centre - half));
        rotation[u] = std::polar(1.0, kTwoPi * f[used[u]] * step);
    }
    double best = centre, bestExplained = -1.0;
    for (int g = 0; g <= count; ++g) {
        std::fill(w.begin(), w.end(), Complex(0.0));
        for (size_t u = 0; u < used.size(); ++u) {
            const Complex* row = &basis[u * static_cast<size_t>(n)];
            for (int k = 0; k < n; ++k) w[static_cast<size_t>(k)] += std::conj(row[k]) * y[u];
        }
        std::vector<Complex> z = w;
        CholeskySolve(gram, n, z.data());
        double explained = 0.0;
        for (int k = 0; k < n; ++k)
            explained += (std::conj(w[static_cast<size_t>(k)]) * z[static_cast<size_t>(k)]).real();
        if (explained > bestExplained) {
            bestExplained = explained;
            best = centre - half + g * step;
        }
        for (size_t u = 0; u < used.size(); ++u) y[u] *= rotation[u];
    }
    return best;
}

void AllModesSolver::Impl::Iterate() {
    const int p = static_cast<int>(free.size());
    std::vector<double> curvature(static_cast<size_t>(p * p)), gradient(static_cast<size_t>(p));
    if (complexData) {
        std::vector<int> which;
        std::vector<std::vector<Complex>> columns = ComplexColumns(false, which);
        for (std::vector<Complex>& c : columns) Orthogonal(c);
        for (int x = 0; x < p; ++x) {
            const std::vector<Complex>& jx = columns[static_cast<size_t>(x)];
            double g = 0.0;
            for (size_t i = 0; i < Points(); ++i) g += (std::conj(jx[i]) * residual[i]).real();
            gradient[static_cast<size_t>(x)] = -g;
            for (int y = 0; y <= x; ++y) {
                const std::vector<Complex>& jy = columns[static_cast<size_t>(y)];
                double s = 0.0;
                for (size_t i = 0; i < Points(); ++i) s += (std::conj(jx[i]) * jy[i]).real();
                curvature[static_cast<size_t>(x * p + y)] = s;
                curvature[static_cast<size_t>(y * p + x)] = s;
            }
        }
    } else {
        std::vector<double> res;
        MagnitudeSquares(theta, &res);
        const std::vector<std::vector<double>> columns = MagnitudeColumns();
        for (int x = 0; x < p; ++x) {
            const std::vector<double>& jx = columns[static_cast<size_t>(x)];
            double g = 0.0;
            for (size_t i = 0; i < Points(); ++i) g += jx[i] * res[i];
            gradient[static_cast<size_t>(x)] = -g;
            for (int y = 0; y <= x; ++y) {
                const std::vector<double>& jy = columns[static_cast<size_t>(y)];
                double s = 0.0;
                for (size_t i = 0; i < Points(); ++i) s += jx[i] * jy[i];
                curvature[static_cast<size_t>(x * p + y)] = s;
                curvature[static_cast<size_t>(y * p + x)] = s;
            }
        }
    }
    // Solved in the parameters scaled to unit curvature: a delay in seconds and a frequency in
    // Hz differ by ten orders in theirs. A direction the data hardly see (the common turn of
    // all amplitudes of magnitude data without a background) keeps a floor of scale, and the
    // damping is added in the scaled parameters, so that it bounds that direction's step too.
    std::vector<double> scale(static_cast<size_t>(p));
    double largest = 0.0;
    for (int x = 0; x < p; ++x)
        largest = std::max(largest, curvature[static_cast<size_t>(x * p + x)]);
    for (int x = 0; x < p; ++x) {
        const double diagonal =
            std::max(curvature[static_cast<size_t>(x * p + x)], 1e-12 * largest);
        scale[static_cast<size_t>(x)] = diagonal > 0.0 ? 1.0 / std::sqrt(diagonal) : 1.0;
    }
    struct Problem {
        Impl& fit;
        const std::vector<double>& curvature;
        const std::vector<double>& gradient;
        const std::vector<double>& scale;
        int p;
        double dof;
        std::vector<double> step;

        bool Solve(double lambda) {
            OneBasedMatrix a(p, p), b(p, 1);
            for (int x = 0; x < p; ++x) {
                const double sx = scale[static_cast<size_t>(x)];
                for (int y = 0; y < p; ++y) {
                    a[x + 1][y + 1] = curvature[static_cast<size_t>(x * p + y)] * sx *
                                      scale[static_cast<size_t>(y)];
                }
                a[x + 1][x + 1] += lambda;
                b[x + 1][1] = gradient[static_cast<size_t>(x)] * sx;
            }
            if (!GaussJordan(a, p, b, 1)) return false;
            step.resize(static_cast<size_t>(p));
            for (int x = 0; x < p; ++x)
                step[static_cast<size_t>(x)] = b[x + 1][1] * scale[static_cast<size_t>(x)];
            return true;
        }
        // theta moved by `stretch` steps.
        std::vector<double> Moved(double stretch) const {
            std::vector<double> moved = fit.theta;
            for (int x = 0; x < p; ++x) {
                moved[static_cast<size_t>(fit.free[static_cast<size_t>(x)])] +=
                    stretch * step[static_cast<size_t>(x)];
            }
            return moved;
        }
        bool Lower() {
            std::vector<double> moved = Moved(1.0);
            double next = 0.0;
            if (!fit.Squares(moved, next, false) || !(next < fit.chi)) return false;
            // Along a curved valley (a delay against the background's slope and the
            // amplitudes' phases) the Gauss-Newton step falls short by the same share each
            // time: the step is stretched while that still goes down.
            for (double stretch = 2.0; stretch <= 64.0; stretch *= 2.0) {
                std::vector<double> further = Moved(stretch);
                double beyond = 0.0;
                if (!fit.Squares(further, beyond, false) || !(beyond < next)) break;
                moved = std::move(further);
                next = beyond;
            }
            // Done when the step gained less than 1e-4 of the residuals' variance: every
            // parameter then moves by far less than its error.
            fit.converged = fit.chi - next <= 1e-4 * fit.chi / dof;
            fit.theta = std::move(moved);
            fit.Squares(fit.theta, fit.chi, true);
            return true;
        }
    } problem{*this,    curvature,
              gradient, scale,
              p,        std::max(1.0, static_cast<double>(RealValues()) - p - LinearCount()),
              {}};
    // Stuck: no way down from here, the minimum within the steps' resolution.
    if (MarquardtIteration(problem, lambda, MarquardtSchedule{1e-12, 1e12}) ==
        MarquardtResult::Stuck) {
        converged = true;
    }
}

std::complex<double> AllModesValue(const AllModesFit& fit, double f) {
    Complex s = fit.offset + fit.slope * (f * kSlopeScale);
    for (const FittedMode& m : fit.modes) s += m.amplitude * Oscillator(m.frequency, m.width, f);
    return fit.complexData ? s * std::polar(1.0, -kTwoPi * f * fit.delay) : s;
}

AllModesSolver::AllModesSolver(std::vector<double> frequencies,
                               std::vector<std::complex<double>> data,
                               const std::vector<ModeGuess>& guesses,
                               const AllModesOptions& options)
    : m(std::make_unique<Impl>()) {
    const size_t n = std::min(frequencies.size(), data.size());
    frequencies.resize(n);
    data.resize(n);
    m->f = std::move(frequencies);
    m->d = std::move(data);
    m->options = options;
    m->Start(guesses);
}

AllModesSolver::AllModesSolver(std::vector<double> frequencies, std::vector<double> magnitudes,
                               const std::vector<ModeGuess>& guesses,
                               const AllModesOptions& options)
    : m(std::make_unique<Impl>()) {
    const size_t n = std::min(frequencies.size(), magnitudes.size());
    frequencies.resize(n);
    magnitudes.resize(n);
    m->f = std::move(frequencies);
    m->mag = std::move(magnitudes);
    m->complexData = false;
    m->options = options;
    m->Start(guesses);
}

AllModesSolver::~AllModesSolver() = default;

bool AllModesSolver::Step() {
    if (m->done) return false;
    if (m->converged || m->iterations >= m->options.maxIterations) {
        m->done = true;
        return false;
    }
    ++m->iterations;
    m->Iterate();
    return true;
}

int AllModesSolver::Iterations() const { return m->iterations; }

AllModesFit AllModesSolver::Result() const { return m->Result(); }

AllModesFit FitAllModes(const std::vector<double>& frequencies,
                        const std::vector<std::complex<double>>& data,
                        const std::vector<ModeGuess>& guesses, const AllModesOptions& options) {
    AllModesSolver solver(frequencies, data, guesses, options);
    while (solver.Step()) {
    }
    return solver.Result();
}

AllModesFit FitAllModesToMagnitudes(const std::vector<double>& frequencies,
                                    const std::vector<double>& magnitudes,
                                    const std::vector<ModeGuess>& guesses,
                                    const AllModesOptions& options) {
    AllModesSolver solver(frequencies, magnitudes, guesses, options);
    while (solver.Step()) {
    }
    return solver.Result();
}

}  // namespace sonarix
