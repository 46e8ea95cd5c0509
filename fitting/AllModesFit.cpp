// The whole-spectrum fit by variable projection.
#include "fitting/AllModesFit.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sonarix {
namespace {

using Complex = std::complex<double>;

// Solves a x = b for the n x n row-major matrix a by Gaussian elimination with partial
// pivoting; false when a is singular.
template <typename T>
bool Solve(std::vector<T> a, std::vector<T>& b, int n) {
    for (int c = 0; c < n; ++c) {
        int pivot = c;
        for (int r = c + 1; r < n; ++r) {
            if (std::abs(a[r * n + c]) > std::abs(a[pivot * n + c])) pivot = r;
        }
        if (std::abs(a[pivot * n + c]) == 0.0) return false;
        if (pivot != c) {
            for (int k = 0; k < n; ++k) std::swap(a[c * n + k], a[pivot * n + k]);
            std::swap(b[c], b[pivot]);
        }
        for (int r = c + 1; r < n; ++r) {
            const T m = a[r * n + c] / a[c * n + c];
            if (m == T(0)) continue;
            for (int k = c; k < n; ++k) a[r * n + k] -= m * a[c * n + k];
            b[r] -= m * b[c];
        }
    }
    for (int r = n - 1; r >= 0; --r) {
        T v = b[r];
        for (int k = r + 1; k < n; ++k) v -= a[r * n + k] * b[k];
        b[r] = v / a[r * n + r];
    }
    return true;
}

// The nonlinear parameters: F_j, W_j for every mode, then the delay in ms.
class Projection {
public:
    Projection(const std::vector<double>& f, const std::vector<Complex>& d, int modes)
        : m_f(f), m_d(d), m_modes(modes), m_columns(modes + 2) {}

    // The residuals (real and imaginary parts of each point) at the parameters; the linear
    // solution into `linear` when given. False when the projection is singular.
    bool Residuals(const std::vector<double>& theta, std::vector<double>& out,
                   std::vector<Complex>* linear = nullptr) const {
        const int n = m_columns;
        const size_t points = m_f.size();
        std::vector<Complex> phi(points * static_cast<size_t>(n));
        std::vector<Complex> gram(static_cast<size_t>(n * n)), rhs(static_cast<size_t>(n));
        const double tau = theta[2 * m_modes] * 1e-3;
        std::vector<Complex> turned(points);
        for (size_t i = 0; i < points; ++i) {
            const double f = m_f[i];
            Complex* row = &phi[i * static_cast<size_t>(n)];
            for (int j = 0; j < m_modes; ++j) {
                const double F = theta[2 * j], W = theta[2 * j + 1];
                row[j] = 2.0 * W * F / Complex(F * F - f * f, 2.0 * W * f);
            }
            row[m_modes] = 1.0;
            row[m_modes + 1] = f / 1e4;
            // The delay is taken off the data, so that the rest stays linear.
            turned[i] = m_d[i] * std::polar(1.0, 2.0 * std::numbers::pi * f * tau);
            for (int r = 0; r < n; ++r) {
                const Complex cr = std::conj(row[r]);
                rhs[static_cast<size_t>(r)] += cr * turned[i];
                for (int c = r; c < n; ++c) gram[static_cast<size_t>(r * n + c)] += cr * row[c];
            }
        }
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < r; ++c) {
                gram[static_cast<size_t>(r * n + c)] =
                    std::conj(gram[static_cast<size_t>(c * n + r)]);
            }
        }
        if (!Solve(gram, rhs, n)) return false;
        out.resize(2 * points);
        for (size_t i = 0; i < points; ++i) {
            Complex v = 0.0;
            const Complex* row = &phi[i * static_cast<size_t>(n)];
            for (int k = 0; k < n; ++k) v += row[k] * rhs[static_cast<size_t>(k)];
            const Complex r = turned[i] - v;
            out[2 * i] = r.real();
            out[2 * i + 1] = r.imag();
        }
        if (linear != nullptr) *linear = rhs;
        return true;
    }

private:
    const std::vector<double>& m_f;
    const std::vector<Complex>& m_d;
    int m_modes, m_columns;
};

double SumOfSquares(const std::vector<double>& r) {
    double s = 0.0;
    for (double v : r) s += v * v;
    return s;
}

}  // namespace

AllModesFit FitAllModes(const std::vector<double>& frequencies,
                        const std::vector<std::complex<double>>& data,
                        const std::vector<ModeGuess>& guesses, bool fitDelay, int maxIterations) {
    AllModesFit result;
    const int modes = static_cast<int>(guesses.size());
    // The free parameters: F and W of every mode, then (if fitted) the delay, which stays 0
    // otherwise.
    const int p = 2 * modes + (fitDelay ? 1 : 0);
    const size_t points = std::min(frequencies.size(), data.size());
    if (modes == 0 || points <= static_cast<size_t>(2 * modes + 2 + p)) return result;
    const Projection projection(frequencies, data, modes);
    std::vector<double> theta(static_cast<size_t>(2 * modes + 1), 0.0);
    for (int j = 0; j < modes; ++j) {
        theta[2 * j] = guesses[j].frequency;
        theta[2 * j + 1] = guesses[j].width;
    }
    std::vector<double> r, trial;
    if (!projection.Residuals(theta, r)) return result;
    double chi = SumOfSquares(r);
    double lambda = 1e-3;
    std::vector<std::vector<double>> jacobian(static_cast<size_t>(p));
    std::vector<double> curvature(static_cast<size_t>(p * p));
    for (int it = 0; it < maxIterations && !result.converged; ++it) {
        result.iterations = it + 1;
        // Forward differences, a step of 1e-4 of each width (and 1e-4 ms of delay).
        for (int k = 0; k < p; ++k) {
            std::vector<double> moved = theta;
            const double h = k == 2 * modes ? 1e-4 : 1e-4 * std::max(theta[2 * (k / 2) + 1], 1e-3);
            moved[static_cast<size_t>(k)] += h;
            if (!projection.Residuals(moved, trial)) return result;
            std::vector<double>& column = jacobian[static_cast<size_t>(k)];
            column.resize(r.size());
            for (size_t i = 0; i < r.size(); ++i) column[i] = (trial[i] - r[i]) / h;
        }
        std::vector<double> gradient(static_cast<size_t>(p));
        for (int x = 0; x < p; ++x) {
            const std::vector<double>& jx = jacobian[static_cast<size_t>(x)];
            double g = 0.0;
            for (size_t i = 0; i < r.size(); ++i) g -= jx[i] * r[i];
            gradient[static_cast<size_t>(x)] = g;
            for (int y = x; y < p; ++y) {
                const std::vector<double>& jy = jacobian[static_cast<size_t>(y)];
                double s = 0.0;
                for (size_t i = 0; i < r.size(); ++i) s += jx[i] * jy[i];
                curvature[static_cast<size_t>(x * p + y)] = s;
                curvature[static_cast<size_t>(y * p + x)] = s;
            }
        }
        for (;;) {
            std::vector<double> a = curvature, step = gradient;
            for (int x = 0; x < p; ++x) a[static_cast<size_t>(x * p + x)] *= 1.0 + lambda;
            std::vector<double> moved = theta;
            bool ok = Solve(a, step, p);
            for (int x = 0; ok && x < p; ++x)
                moved[static_cast<size_t>(x)] += step[static_cast<size_t>(x)];
            for (int j = 0; ok && j < modes; ++j) ok = moved[2 * j + 1] > 0.0;
            if (ok && projection.Residuals(moved, trial) && SumOfSquares(trial) < chi) {
                const double next = SumOfSquares(trial);
                // Done when the step gained less than 1e-4 of one standard deviation's worth
                // of chi-square: every parameter then moves by far less than its error.
                const double dof =
                    std::max(1.0, static_cast<double>(r.size()) - p - 2.0 * (modes + 2));
                result.converged = chi - next <= 1e-4 * chi / dof;
                theta = moved;
                r = trial;
                chi = next;
                lambda = std::max(lambda / 10.0, 1e-12);
                break;
            }
            lambda *= 10.0;
            if (lambda > 1e12) {
                // No way down from here: the minimum within the steps' resolution.
                result.converged = true;
                break;
            }
        }
    }
    std::vector<Complex> linear;
    projection.Residuals(theta, r, &linear);
    const double dof = static_cast<double>(r.size()) - p - 2.0 * (modes + 2);
    const double variance = SumOfSquares(r) / std::max(dof, 1.0);
    result.rms = std::sqrt(SumOfSquares(r) / static_cast<double>(r.size()));
    // The parameters' covariance: the inverse curvature times the residuals' variance.
    std::vector<double> inverseColumn(static_cast<size_t>(p));
    std::vector<double> diagonal(static_cast<size_t>(p), 0.0);
    for (int x = 0; x < p; ++x) {
        std::fill(inverseColumn.begin(), inverseColumn.end(), 0.0);
        inverseColumn[static_cast<size_t>(x)] = 1.0;
        if (Solve(curvature, inverseColumn, p))
            diagonal[static_cast<size_t>(x)] = inverseColumn[static_cast<size_t>(x)];
    }
    for (int j = 0; j < modes; ++j) {
        FittedMode m;
        m.frequency = theta[2 * j];
        m.width = theta[2 * j + 1];
        m.amplitude = linear[static_cast<size_t>(j)];
        m.frequencyError = std::sqrt(std::max(0.0, variance * diagonal[2 * j]));
        m.widthError = std::sqrt(std::max(0.0, variance * diagonal[2 * j + 1]));
        result.modes.push_back(m);
    }
    result.offset = linear[static_cast<size_t>(modes)];
    result.slope = linear[static_cast<size_t>(modes + 1)];
    result.delay = theta[static_cast<size_t>(2 * modes)] * 1e-3;
    return result;
}

}  // namespace sonarix
