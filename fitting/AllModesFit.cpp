// The whole-spectrum fit: variable projection for complex data, a plain Levenberg-Marquardt fit
// for magnitudes, both with analytic derivatives.
#include "fitting/AllModesFit.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sonarix {
namespace {

using Complex = std::complex<double>;
constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kSlopeScale = 1e-4;  // the background's slope is per 10 kHz

// The oscillator term T(f) = 2 W F / (F^2 - f^2 + i 2 W f).
inline Complex Oscillator(double F, double W, double f) {
    return 2.0 * W * F / Complex(F * F - f * f, 2.0 * W * f);
}

// The oscillator term and its derivatives by F and W.
struct TermValue {
    Complex t, dF, dW;
};
inline TermValue Term(double F, double W, double f) {
    const Complex D(F * F - f * f, 2.0 * W * f);
    const Complex inverse = 1.0 / D;
    const Complex t = 2.0 * W * F * inverse;
    const Complex square = inverse * inverse;
    return {t, 2.0 * W * (D - 2.0 * F * F) * square, 2.0 * F * (F * F - f * f) * square};
}

// Cholesky factor of the Hermitian positive definite n x n matrix a (row-major), in place;
// false when it is not positive definite (within rounding).
bool Cholesky(std::vector<Complex>& a, int n) {
    for (int j = 0; j < n; ++j) {
        double d = a[j * n + j].real();
        for (int k = 0; k < j; ++k) d -= std::norm(a[j * n + k]);
        if (!(d > 1e-300) || !(d > 1e-13 * a[j * n + j].real())) return false;
        d = std::sqrt(d);
        a[j * n + j] = d;
        for (int i = j + 1; i < n; ++i) {
            Complex s = a[i * n + j];
            for (int k = 0; k < j; ++k) s -= a[i * n + k] * std::conj(a[j * n + k]);
            a[i * n + j] = s / d;
        }
    }
    return true;
}

// Solves L L^H x = b with the factor of Cholesky, in place.
void CholeskySolve(const std::vector<Complex>& l, int n, Complex* b) {
    for (int i = 0; i < n; ++i) {
        Complex s = b[i];
        for (int k = 0; k < i; ++k) s -= l[i * n + k] * b[k];
        b[i] = s / l[i * n + i].real();
    }
    for (int i = n - 1; i >= 0; --i) {
        Complex s = b[i];
        for (int k = i + 1; k < n; ++k) s -= std::conj(l[k * n + i]) * b[k];
        b[i] = s / l[i * n + i].real();
    }
}

// Solves a x = b for the symmetric n x n matrix a by Gaussian elimination with partial
// pivoting; false when a is singular.
bool SolveReal(std::vector<double> a, std::vector<double>& b, int n) {
    for (int c = 0; c < n; ++c) {
        int pivot = c;
        for (int r = c + 1; r < n; ++r) {
            if (std::abs(a[r * n + c]) > std::abs(a[pivot * n + c])) pivot = r;
        }
        if (!(std::abs(a[pivot * n + c]) > 0.0)) return false;
        if (pivot != c) {
            for (int k = 0; k < n; ++k) std::swap(a[c * n + k], a[pivot * n + k]);
            std::swap(b[c], b[pivot]);
        }
        for (int r = c + 1; r < n; ++r) {
            const double m = a[r * n + c] / a[c * n + c];
            if (m == 0.0) continue;
            for (int k = c; k < n; ++k) a[r * n + k] -= m * a[c * n + k];
            b[r] -= m * b[c];
        }
    }
    for (int r = n - 1; r >= 0; --r) {
        double v = b[r];
        for (int k = r + 1; k < n; ++k) v -= a[r * n + k] * b[k];
        b[r] = v / a[r * n + r];
    }
    return true;
}

// The diagonal of the inverse of the symmetric positive semi-definite P x P matrix a, scaled
// by its diagonal first (the parameters' units differ by many orders); a direction the data do
// not determine gives infinity.
std::vector<double> InverseDiagonal(const std::vector<double>& a, int P,
                                    std::vector<double>* full = nullptr) {
    std::vector<double> scale(static_cast<size_t>(P));
    for (int i = 0; i < P; ++i) {
        const double d = a[static_cast<size_t>(i * P + i)];
        scale[static_cast<size_t>(i)] = d > 0.0 ? 1.0 / std::sqrt(d) : 0.0;
    }
    std::vector<double> scaled(a.size());
    for (int i = 0; i < P; ++i) {
        for (int j = 0; j < P; ++j) {
            scaled[static_cast<size_t>(i * P + j)] = a[static_cast<size_t>(i * P + j)] *
                                                     scale[static_cast<size_t>(i)] *
                                                     scale[static_cast<size_t>(j)];
        }
    }
    std::vector<double> diagonal(static_cast<size_t>(P), std::numeric_limits<double>::infinity());
    if (full != nullptr) full->assign(static_cast<size_t>(P * P), 0.0);
    std::vector<double> column(static_cast<size_t>(P));
    for (int x = 0; x < P; ++x) {
        if (scale[static_cast<size_t>(x)] == 0.0) continue;
        std::fill(column.begin(), column.end(), 0.0);
        column[static_cast<size_t>(x)] = 1.0;
        if (!SolveReal(scaled, column, P))
            return std::vector<double>(static_cast<size_t>(P),
                                       std::numeric_limits<double>::infinity());
        for (int y = 0; y < P; ++y) {
            const double v = column[static_cast<size_t>(y)] * scale[static_cast<size_t>(x)] *
                             scale[static_cast<size_t>(y)];
            if (full != nullptr) (*full)[static_cast<size_t>(x * P + y)] = v;
            if (y == x) diagonal[static_cast<size_t>(x)] = v;
        }
    }
    // A condition beyond what doubles resolve: the inverse is noise, the direction undetermined.
    for (double& d : diagonal) {
        if (!(d >= 0.0) || !std::isfinite(d)) d = std::numeric_limits<double>::infinity();
    }
    return diagonal;
}

}  // namespace

struct AllModesSolver::Impl {
    std::vector<double> f;
    std::vector<Complex> d;   // complex data
    std::vector<double> mag;  // magnitude data
    bool complexData = true;
    int modes = 0;
    AllModesOptions options;
    // Complex: F_j, W_j, then tau. Magnitudes: F_j, W_j, Re c_j, Im c_j, then a, b.
    std::vector<double> theta;
    std::vector<int> free;  // the indices of theta that are fitted
    double chi = 0.0;
    double lambda = 1e-3;
    int iterations = 0;
    bool done = false, converged = false;
    std::string failure;

    // The projection at the current parameters (complex data).
    std::vector<Complex> phi, factor, linear, turned, residual;

    size_t Points() const { return f.size(); }
    int Columns() const { return modes + 2; }
    size_t DelayIndex() const { return static_cast<size_t>(2 * modes); }
    int RealValues() const { return static_cast<int>(complexData ? 2 * Points() : Points()); }
    int LinearCount() const { return complexData ? 2 * Columns() : 0; }

    bool Shapes(const std::vector<double>& th) const {
        for (int j = 0; j < modes; ++j) {
            if (!(th[static_cast<size_t>(2 * j)] > 0.0) ||
                !(th[static_cast<size_t>(2 * j + 1)] > 0.0)) {
                return false;
            }
        }
        return true;
    }

    // Complex data: the basis, its Gram matrix's factor, the linear solution and the residuals
    // at th into the members (when keep) and the sum of squares; false when singular.
    bool Project(const std::vector<double>& th, double& ss, bool keep) {
        const int n = Columns();
        const size_t N = Points();
        std::vector<Complex> basis(N * static_cast<size_t>(n));
        std::vector<Complex> gram(static_cast<size_t>(n * n)), rhs(static_cast<size_t>(n));
        std::vector<Complex> y(N);
        const double tau = th[DelayIndex()];
        for (size_t i = 0; i < N; ++i) {
            Complex* row = &basis[i * static_cast<size_t>(n)];
            for (int j = 0; j < modes; ++j) {
                const double F = th[static_cast<size_t>(2 * j)];
                const double W = th[static_cast<size_t>(2 * j + 1)];
                row[j] = Oscillator(F, W, f[i]);
            }
            row[modes] = 1.0;
            row[modes + 1] = f[i] * kSlopeScale;
            // The delay is taken off the data, so that the rest stays linear.
            y[i] = d[i] * std::polar(1.0, kTwoPi * f[i] * tau);
            for (int r = 0; r < n; ++r) {
                const Complex cr = std::conj(row[r]);
                rhs[static_cast<size_t>(r)] += cr * y[i];
                for (int c = 0; c <= r; ++c) gram[static_cast<size_t>(r * n + c)] += cr * row[c];
            }
        }
        // The lower triangle holds G_rc = sum conj(row[r]) row[c], as Cholesky reads it.
        if (!Cholesky(gram, n)) return false;
        CholeskySolve(gram, n, rhs.data());
        ss = 0.0;
        std::vector<Complex> res(N);
        for (size_t i = 0; i < N; ++i) {
            Complex v = 0.0;
            const Complex* row = &basis[i * static_cast<size_t>(n)];
            for (int k = 0; k < n; ++k) v += row[k] * rhs[static_cast<size_t>(k)];
            res[i] = y[i] - v;
            ss += std::norm(res[i]);
        }
        if (keep) {
            phi = std::move(basis);
            factor = std::move(gram);
            linear = std::move(rhs);
            turned = std::move(y);
            residual = std::move(res);
        }
        return std::isfinite(ss);
    }

    // v less its projection onto the basis, in place (the kept projection).
    void Orthogonal(std::vector<Complex>& v) const {
        const int n = Columns();
        std::vector<Complex> w(static_cast<size_t>(n));
        for (size_t i = 0; i < Points(); ++i) {
            const Complex* row = &phi[i * static_cast<size_t>(n)];
            for (int k = 0; k < n; ++k) w[static_cast<size_t>(k)] += std::conj(row[k]) * v[i];
        }
        CholeskySolve(factor, n, w.data());
        for (size_t i = 0; i < Points(); ++i) {
            const Complex* row = &phi[i * static_cast<size_t>(n)];
            Complex s = 0.0;
            for (int k = 0; k < n; ++k) s += row[k] * w[static_cast<size_t>(k)];
            v[i] -= s;
        }
    }

    // Magnitudes: the model, the residuals and the sum of squares at th.
    double MagnitudeSquares(const std::vector<double>& th, std::vector<double>* res) const {
        double ss = 0.0;
        if (res != nullptr) res->resize(Points());
        for (size_t i = 0; i < Points(); ++i) {
            const double r = mag[i] - std::abs(MagnitudeSum(th, f[i]));
            ss += r * r;
            if (res != nullptr) (*res)[i] = r;
        }
        return ss;
    }
    Complex MagnitudeSum(const std::vector<double>& th, double x) const {
        Complex s = th[static_cast<size_t>(4 * modes)] +
                    th[static_cast<size_t>(4 * modes + 1)] * x * kSlopeScale;
        for (int j = 0; j < modes; ++j) {
            const double F = th[static_cast<size_t>(2 * j)], W = th[static_cast<size_t>(2 * j + 1)];
            const Complex c(th[static_cast<size_t>(2 * modes + 2 * j)],
                            th[static_cast<size_t>(2 * modes + 2 * j + 1)]);
            s += c * Oscillator(F, W, x);
        }
        return s;
    }

    // The sum of squares at th, whatever the data; false when it cannot be formed.
    bool Squares(const std::vector<double>& th, double& ss, bool keep) {
        if (!Shapes(th)) return false;
        if (complexData) return Project(th, ss, keep);
        ss = MagnitudeSquares(th, nullptr);
        return std::isfinite(ss);
    }

    // The complex derivatives of the residuals by every real parameter, for the errors and
    // (projected, complex data) the steps: columns of N values. `all` adds the linear
    // parameters of complex data and the held ones.
    std::vector<std::vector<Complex>> ComplexColumns(bool all, std::vector<int>& which) const {
        std::vector<std::vector<Complex>> columns;
        which.clear();
        const size_t N = Points();
        auto shapeColumn = [&](int j, bool width) {
            const double F = theta[static_cast<size_t>(2 * j)];
            const double W = theta[static_cast<size_t>(2 * j + 1)];
            std::vector<Complex> v(N);
            for (size_t i = 0; i < N; ++i) {
                const TermValue t = Term(F, W, f[i]);
                v[i] = -linear[static_cast<size_t>(j)] * (width ? t.dW : t.dF);
            }
            return v;
        };
        for (int k : free) {
            if (k == static_cast<int>(DelayIndex())) {
                std::vector<Complex> v(N);
                for (size_t i = 0; i < N; ++i) v[i] = Complex(0.0, kTwoPi * f[i]) * turned[i];
                columns.push_back(std::move(v));
            } else {
                columns.push_back(shapeColumn(k / 2, k % 2 == 1));
            }
            which.push_back(k);
        }
        if (!all) return columns;
        const int n = Columns();
        for (int k = 0; k < n; ++k) {
            for (int part = 0; part < 2; ++part) {
                std::vector<Complex> v(N);
                for (size_t i = 0; i < N; ++i) {
                    const Complex b = phi[i * static_cast<size_t>(n) + static_cast<size_t>(k)];
                    v[i] = part == 0 ? -b : Complex(0.0, -1.0) * b;
                }
                columns.push_back(std::move(v));
                which.push_back(-1 - (2 * k + part));  // linear parameter 2k + part
            }
        }
        return columns;
    }

    // Magnitudes: the real derivatives of the residuals by the free parameters, per point.
    std::vector<std::vector<double>> MagnitudeColumns() const {
        const size_t N = Points();
        std::vector<std::vector<double>> columns(free.size(), std::vector<double>(N));
        for (size_t i = 0; i < N; ++i) {
            const Complex s = MagnitudeSum(theta, f[i]);
            const double m = std::max(std::abs(s), 1e-300);
            const Complex toward = std::conj(s) / m;
            for (size_t q = 0; q < free.size(); ++q) {
                const int k = free[q];
                Complex ds;
                if (k < 2 * modes) {
                    const int j = k / 2;
                    const TermValue t = Term(theta[static_cast<size_t>(2 * j)],
                                             theta[static_cast<size_t>(2 * j + 1)], f[i]);
                    const Complex c(theta[static_cast<size_t>(2 * modes + 2 * j)],
                                    theta[static_cast<size_t>(2 * modes + 2 * j + 1)]);
                    ds = c * (k % 2 == 1 ? t.dW : t.dF);
                } else if (k < 4 * modes) {
                    const int j = (k - 2 * modes) / 2;
                    const Complex t = Term(theta[static_cast<size_t>(2 * j)],
                                           theta[static_cast<size_t>(2 * j + 1)], f[i])
                                          .t;
                    ds = (k - 2 * modes) % 2 == 0 ? t : Complex(0.0, 1.0) * t;
                } else {
                    ds = k == 4 * modes ? 1.0 : f[i] * kSlopeScale;
                }
                columns[q][i] = -(toward * ds).real();
            }
        }
        return columns;
    }

    void Start(const std::vector<ModeGuess>& guesses) {
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
    double DelayFromData() const {
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
                explained +=
                    (std::conj(w[static_cast<size_t>(k)]) * z[static_cast<size_t>(k)]).real();
            if (explained > bestExplained) {
                bestExplained = explained;
                best = centre - half + g * step;
            }
            for (size_t u = 0; u < used.size(); ++u) y[u] *= rotation[u];
        }
        return best;
    }

    void Iterate() {
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
        const double dof = std::max(1.0, static_cast<double>(RealValues()) - p - LinearCount());
        for (;;) {
            // Solved in the parameters scaled to unit curvature: a delay in seconds and a
            // frequency in Hz differ by ten orders in theirs.
            // A direction the data hardly see (the common turn of all amplitudes of magnitude
            // data without a background) keeps a floor of scale, and the damping is added in
            // the scaled parameters, so that it bounds that direction's step as well.
            std::vector<double> a = curvature, step = gradient, scale(static_cast<size_t>(p));
            double largest = 0.0;
            for (int x = 0; x < p; ++x)
                largest = std::max(largest, curvature[static_cast<size_t>(x * p + x)]);
            for (int x = 0; x < p; ++x) {
                const double diagonal =
                    std::max(curvature[static_cast<size_t>(x * p + x)], 1e-12 * largest);
                scale[static_cast<size_t>(x)] = diagonal > 0.0 ? 1.0 / std::sqrt(diagonal) : 1.0;
            }
            for (int x = 0; x < p; ++x) {
                for (int y = 0; y < p; ++y) {
                    a[static_cast<size_t>(x * p + y)] *=
                        scale[static_cast<size_t>(x)] * scale[static_cast<size_t>(y)];
                }
                a[static_cast<size_t>(x * p + x)] += lambda;
                step[static_cast<size_t>(x)] *= scale[static_cast<size_t>(x)];
            }
            std::vector<double> moved = theta;
            bool ok = SolveReal(a, step, p);
            for (int x = 0; ok && x < p; ++x)
                step[static_cast<size_t>(x)] *= scale[static_cast<size_t>(x)];
            for (int x = 0; ok && x < p; ++x)
                moved[static_cast<size_t>(free[static_cast<size_t>(x)])] +=
                    step[static_cast<size_t>(x)];
            double next = 0.0;
            if (ok && Squares(moved, next, false) && next < chi) {
                // Along a curved valley (a delay against the background's slope and the
                // amplitudes' phases) the Gauss-Newton step falls short by the same share each
                // time: the step is stretched while that still goes down.
                for (double stretch = 2.0; stretch <= 64.0; stretch *= 2.0) {
                    std::vector<double> further = theta;
                    for (int x = 0; x < p; ++x) {
                        further[static_cast<size_t>(free[static_cast<size_t>(x)])] +=
                            stretch * step[static_cast<size_t>(x)];
                    }
                    double beyond = 0.0;
                    if (!Squares(further, beyond, false) || !(beyond < next)) break;
                    moved = std::move(further);
                    next = beyond;
                }
                // Done when the step gained less than 1e-4 of the residuals' variance: every
                // parameter then moves by far less than its error.
                converged = chi - next <= 1e-4 * chi / dof;
                theta = moved;
                Squares(theta, chi, true);
                lambda = std::max(lambda / 10.0, 1e-12);
                return;
            }
            lambda *= 10.0;
            if (lambda > 1e12) {
                // No way down from here: the minimum within the steps' resolution.
                converged = true;
                return;
            }
        }
    }

    // The part of the curvature that the residuals bring (sum Re(conj r d2r)), which J^H J
    // leaves out. Where a delay trades against the background and the amplitudes' phases the
    // valley of chi-square is curved, and without it the errors along it come out several
    // times too small. Only the terms that are not zero: a mode's F and W with each other and
    // its amplitude, and the delay with itself.
    template <typename At>
    void AddResidualCurvature(std::vector<double>& curvature, int P, const At& at) const {
        auto add = [&](int x, int y, double v) {
            if (x < 0 || y < 0) return;
            curvature[static_cast<size_t>(x * P + y)] += v;
            if (x != y) curvature[static_cast<size_t>(y * P + x)] += v;
        };
        const Complex i1(0.0, 1.0);
        for (int j = 0; j < modes; ++j) {
            const double F = theta[static_cast<size_t>(2 * j)];
            const double W = theta[static_cast<size_t>(2 * j + 1)];
            const Complex c = linear[static_cast<size_t>(j)];
            const double h = 1e-5 * W;
            double ff = 0, fw = 0, ww = 0, fre = 0, fim = 0, wre = 0, wim = 0;
            for (size_t i = 0; i < Points(); ++i) {
                const TermValue t = Term(F, W, f[i]);
                const TermValue fp = Term(F + h, W, f[i]), fm = Term(F - h, W, f[i]);
                const TermValue wp = Term(F, W + h, f[i]), wm = Term(F, W - h, f[i]);
                const Complex r = std::conj(residual[i]);
                ff -= (r * c * (fp.dF - fm.dF)).real() / (2 * h);
                fw -= (r * c * (wp.dF - wm.dF)).real() / (2 * h);
                ww -= (r * c * (wp.dW - wm.dW)).real() / (2 * h);
                fre -= (r * t.dF).real();
                fim -= (r * i1 * t.dF).real();
                wre -= (r * t.dW).real();
                wim -= (r * i1 * t.dW).real();
            }
            const int fi = at(2 * j), wi = at(2 * j + 1);
            const int re = at(-1 - 2 * j), im = at(-1 - (2 * j + 1));
            add(fi, fi, ff);
            add(fi, wi, fw);
            add(wi, wi, ww);
            add(fi, re, fre);
            add(fi, im, fim);
            add(wi, re, wre);
            add(wi, im, wim);
        }
        const int ti = at(static_cast<int>(DelayIndex()));
        if (ti >= 0) {
            double tt = 0.0;
            for (size_t i = 0; i < Points(); ++i) {
                const double w = kTwoPi * f[i];
                tt -= (std::conj(residual[i]) * w * w * turned[i]).real();
            }
            add(ti, ti, tt);
        }
    }

    // The residuals' variance per real value over points first ... last - 1, raised by how much
    // neighbouring points go together: 1 + 2 sum rho_k, summed while the correlation stands
    // clear of what chance gives. Neighbouring points of a finely spaced spectrum share their
    // noise (a fast measurement resolves the inverse of the response's length, several points),
    // and a model that misses something leaves residuals that go together over its extent.
    struct LocalNoise {
        double variance = 0.0, correlation = 1.0;
    };
    LocalNoise NoiseOver(const std::vector<Complex>& r, size_t first, size_t last) const {
        LocalNoise out;
        const size_t n = last - first;
        double zero = 0.0;
        for (size_t i = first; i < last; ++i) zero += std::norm(r[i]);
        if (n == 0) return out;
        out.variance = zero / static_cast<double>(n * (complexData ? 2 : 1));
        if (!(zero > 0.0) || n < 16) return out;
        const double chance = 2.0 / std::sqrt(static_cast<double>(n));
        double sum = 0.0;
        for (size_t k = 1; k < std::min<size_t>(n / 4, 200); ++k) {
            double c = 0.0;
            for (size_t i = first; i + k < last; ++i) c += (std::conj(r[i]) * r[i + k]).real();
            const double rho = c / zero;
            if (rho < chance) break;
            sum += rho;
        }
        out.correlation = 1.0 + 2.0 * sum;
        return out;
    }
    std::vector<Complex> Residuals() const {
        if (complexData) return residual;
        std::vector<double> real;
        MagnitudeSquares(theta, &real);
        return std::vector<Complex>(real.begin(), real.end());
    }

    AllModesFit Result() const;
};

AllModesFit AllModesSolver::Impl::Result() const {
    // The key of the reference mode's modulus among the parameters (magnitude data).
    constexpr int kModulusKey = -1000000;
    int magnitudeReference = -1;
    AllModesFit out;
    out.complexData = complexData;
    out.iterations = iterations;
    out.converged = converged;
    out.failure = failure;
    out.points = RealValues();
    if (!failure.empty()) return out;
    out.valid = true;
    const size_t N = Points();
    // Every fitted real parameter's derivative, then the curvature and its inverse.
    std::vector<std::vector<double>> real;  // for magnitudes
    std::vector<std::vector<Complex>> complexColumns;
    std::vector<int> which;
    if (complexData) {
        complexColumns = ComplexColumns(true, which);
    } else {
        real = MagnitudeColumns();
        which = free;
        // Where the background is small, turning every amplitude alike hardly changes the
        // modulus: the phases are then told only against one another. The strongest mode's
        // phase is held as their reference (its phase error is NaN), so that the amplitudes'
        // and the other phases' errors stay finite.
        int reference = 0;
        for (int j = 1; j < modes; ++j) {
            if (std::hypot(theta[static_cast<size_t>(2 * modes + 2 * j)],
                           theta[static_cast<size_t>(2 * modes + 2 * j + 1)]) >
                std::hypot(theta[static_cast<size_t>(2 * modes + 2 * reference)],
                           theta[static_cast<size_t>(2 * modes + 2 * reference + 1)]))
                reference = j;
        }
        // Its phase: the derivative along i c_ref, the combination of Re and Im that turns it.
        const int re = 2 * modes + 2 * reference, im = re + 1;
        const double cr = theta[static_cast<size_t>(re)], ci = theta[static_cast<size_t>(im)];
        const double size = std::hypot(cr, ci);
        if (modes > 0 && size > 0.0) {
            size_t ri = 0, ii = 0;
            for (size_t q = 0; q < which.size(); ++q) {
                if (which[q] == re) ri = q;
                if (which[q] == im) ii = q;
            }
            // Re and Im become modulus and phase; the phase column leaves.
            for (size_t i = 0; i < real[ri].size(); ++i) {
                const double dRe = real[ri][i], dIm = real[ii][i];
                real[ri][i] = (cr * dRe + ci * dIm) / size;  // along c: the modulus
            }
            real.erase(real.begin() + static_cast<std::ptrdiff_t>(ii));
            which.erase(which.begin() + static_cast<std::ptrdiff_t>(ii));
            which[ri] = kModulusKey;
            magnitudeReference = reference;
        }
    }
    const int P = static_cast<int>(which.size());
    out.parameters = P;
    std::vector<double> curvature(static_cast<size_t>(P * P));
    for (int x = 0; x < P; ++x) {
        for (int y = 0; y <= x; ++y) {
            double s = 0.0;
            if (complexData) {
                const std::vector<Complex>& jx = complexColumns[static_cast<size_t>(x)];
                const std::vector<Complex>& jy = complexColumns[static_cast<size_t>(y)];
                for (size_t i = 0; i < N; ++i) s += (std::conj(jx[i]) * jy[i]).real();
            } else {
                const std::vector<double>& jx = real[static_cast<size_t>(x)];
                const std::vector<double>& jy = real[static_cast<size_t>(y)];
                for (size_t i = 0; i < N; ++i) s += jx[i] * jy[i];
            }
            curvature[static_cast<size_t>(x * P + y)] = s;
            curvature[static_cast<size_t>(y * P + x)] = s;
        }
    }
    auto at = [&](int key) {
        for (int x = 0; x < P; ++x) {
            if (which[static_cast<size_t>(x)] == key) return x;
        }
        return -1;
    };
    // A singular curvature leaves zeros: those directions are undetermined.
    std::vector<double> covariance;
    std::vector<double> diagonal;
    if (complexData) {
        // Where the model misses the data systematically the residuals' terms can leave the
        // curvature indefinite at the fit (no minimum along some direction in this model): the
        // errors then come from J^T J alone, as a Gauss-Newton fit gives them, rather than
        // calling every mode undetermined.
        std::vector<double> full = curvature;
        AddResidualCurvature(full, P, at);
        diagonal = InverseDiagonal(full, P, &covariance);
        if (!std::all_of(diagonal.begin(), diagonal.end(),
                         [](double d) { return std::isfinite(d); })) {
            std::vector<double> plainCovariance;
            const std::vector<double> plain = InverseDiagonal(curvature, P, &plainCovariance);
            for (size_t x = 0; x < plain.size(); ++x) {
                if (!std::isfinite(diagonal[x]) && std::isfinite(plain[x])) {
                    diagonal = plain;
                    covariance = std::move(plainCovariance);
                    break;
                }
            }
        }
    } else {
        diagonal = InverseDiagonal(curvature, P, &covariance);
    }
    const double dof = std::max(1.0, static_cast<double>(out.points - P));
    // Neighbouring points of a finely spaced spectrum share their noise (a fast measurement's
    // resolution is the inverse of the response's length, several points): the variance of
    // anything fitted grows by the residuals' correlation, 1 + 2 sum rho_k, summed while the
    // correlation stands clear of what chance gives.
    // The delay and the background take the whole range's noise, each mode that of the points
    // around it (the noise of a spectrum changes with frequency).
    const std::vector<Complex> r = Residuals();
    const LocalNoise whole = NoiseOver(r, 0, N);
    out.correlation = whole.correlation;
    const double points = static_cast<double>(out.points);
    double variance = chi / dof * whole.correlation;
    out.rms = std::sqrt(chi / points);
    auto cov = [&](int x, int y) {
        if (x < 0 || y < 0) return 0.0;
        return covariance[static_cast<size_t>(x * P + y)] * variance;
    };
    auto sigma = [&](int x) {
        if (x < 0) return 0.0;
        const double v = cov(x, x);
        return v > 0.0 && std::isfinite(v) ? std::sqrt(v) : std::numeric_limits<double>::infinity();
    };
    const bool ascending = std::is_sorted(f.begin(), f.end());
    const double wholeVariance = variance;
    auto undetermined = [&](int x) {
        return x >= 0 && !std::isfinite(diagonal[static_cast<size_t>(x)]);
    };
    for (int j = 0; j < modes; ++j) {
        FittedMode m;
        m.frequency = theta[static_cast<size_t>(2 * j)];
        m.width = theta[static_cast<size_t>(2 * j + 1)];
        int re = -1, im = -1;
        if (complexData) {
            m.amplitude = linear[static_cast<size_t>(j)];
            re = at(-1 - 2 * j);
            im = at(-1 - (2 * j + 1));
        } else {
            m.amplitude = Complex(theta[static_cast<size_t>(2 * modes + 2 * j)],
                                  theta[static_cast<size_t>(2 * modes + 2 * j + 1)]);
            re = at(2 * modes + 2 * j);
            im = at(2 * modes + 2 * j + 1);
        }
        const bool isReference = j == magnitudeReference;
        variance = wholeVariance;
        if (ascending) {
            // Ten widths either side, and at least 25 points.
            const double reach = 10.0 * m.width;
            auto first = static_cast<size_t>(
                std::lower_bound(f.begin(), f.end(), m.frequency - reach) - f.begin());
            auto last = static_cast<size_t>(
                std::upper_bound(f.begin(), f.end(), m.frequency + reach) - f.begin());
            while (last - first < 50 && (first > 0 || last < N)) {
                if (first > 0) --first;
                if (last < N) ++last;
            }
            const LocalNoise local = NoiseOver(r, first, last);
            // The local share of the degrees of freedom is that of the whole.
            variance = local.variance * points / dof * local.correlation;
        }
        const int fi = at(2 * j), wi = at(2 * j + 1);
        m.frequencyError = undetermined(fi) ? std::numeric_limits<double>::infinity() : sigma(fi);
        m.widthError = undetermined(wi) ? std::numeric_limits<double>::infinity() : sigma(wi);
        const double phase = std::arg(m.amplitude), size = std::abs(m.amplitude);
        const double c = std::cos(phase), s = std::sin(phase);
        if (isReference) {
            const int modulus = at(kModulusKey);
            m.amplitudeError =
                undetermined(modulus) ? std::numeric_limits<double>::infinity() : sigma(modulus);
            m.phaseError = std::numeric_limits<double>::quiet_NaN();
        } else if (undetermined(re) || undetermined(im)) {
            m.amplitudeError = m.phaseError = std::numeric_limits<double>::infinity();
        } else {
            const double along =
                c * c * cov(re, re) + s * s * cov(im, im) + 2 * c * s * cov(re, im);
            const double across =
                s * s * cov(re, re) + c * c * cov(im, im) - 2 * c * s * cov(re, im);
            m.amplitudeError = std::sqrt(std::max(along, 0.0));
            m.phaseError = size > 0.0 ? std::sqrt(std::max(across, 0.0)) / size
                                      : std::numeric_limits<double>::infinity();
        }
        m.ownPhase = phase;
        m.ownPhaseError = m.phaseError;
        if (const int ti = complexData ? at(2 * modes) : -1; ti >= 0) {
            const double turn = 2.0 * std::numbers::pi * m.frequency;
            m.ownPhase = std::remainder(phase - turn * theta[DelayIndex()], 2.0 * std::numbers::pi);
            if (std::isfinite(m.phaseError) && size > 0.0) {
                const double phaseDelay = (-s * cov(re, ti) + c * cov(im, ti)) / size;
                m.ownPhaseError =
                    std::sqrt(std::max(m.phaseError * m.phaseError + turn * turn * cov(ti, ti) -
                                           2.0 * turn * phaseDelay,
                                       0.0));
            }
        }
        m.q = m.width > 0.0 ? m.frequency / (2.0 * m.width) : 0.0;
        if (m.width > 0.0) {
            const double dF = 1.0 / (2.0 * m.width), dW = -m.frequency / (2.0 * m.width * m.width);
            const double var =
                dF * dF * cov(fi, fi) + dW * dW * cov(wi, wi) + 2 * dF * dW * cov(fi, wi);
            m.qError = std::isfinite(m.frequencyError) && std::isfinite(m.widthError)
                           ? std::sqrt(std::max(var, 0.0))
                           : std::numeric_limits<double>::infinity();
        }
        out.modes.push_back(m);
    }
    variance = wholeVariance;
    if (complexData) {
        out.offset = linear[static_cast<size_t>(modes)];
        out.slope = linear[static_cast<size_t>(modes + 1)];
        out.delay = theta[DelayIndex()];
        const int ti = at(2 * modes);
        out.delayError = ti < 0 ? 0.0 : sigma(ti);
    } else {
        out.offset = theta[static_cast<size_t>(4 * modes)];
        out.slope = theta[static_cast<size_t>(4 * modes + 1)];
    }
    return out;
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
