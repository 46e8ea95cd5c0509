// The whole-spectrum solver's inside, shared by its two source files: the oscillator terms,
// the complex Cholesky factor of the linear part, the inverse of the curvature, and the state
// and steps of one fit (AllModesFit.cpp), whose errors AllModesErrors.cpp computes.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "fitting/AllModesFit.h"
#include "fitting/LevenbergMarquardt.h"

namespace sonarix {
namespace allmodes {

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
inline bool Cholesky(std::vector<Complex>& a, int n) {
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
inline void CholeskySolve(const std::vector<Complex>& l, int n, Complex* b) {
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

// The diagonal of the inverse of the symmetric positive semi-definite P x P matrix a, scaled
// by its diagonal first (the parameters' units differ by many orders); a direction the data do
// not determine gives infinity.
inline std::vector<double> InverseDiagonal(const std::vector<double>& a, int P,
                                           std::vector<double>* full = nullptr) {
    std::vector<double> scale(static_cast<size_t>(P));
    for (int i = 0; i < P; ++i) {
        const double d = a[static_cast<size_t>(i * P + i)];
        scale[static_cast<size_t>(i)] = d > 0.0 ? 1.0 / std::sqrt(d) : 0.0;
    }
    OneBasedMatrix scaled(P, P), none(P, 0);
    for (int i = 0; i < P; ++i) {
        for (int j = 0; j < P; ++j) {
            scaled[i + 1][j + 1] = a[static_cast<size_t>(i * P + j)] *
                                   scale[static_cast<size_t>(i)] * scale[static_cast<size_t>(j)];
        }
    }
    std::vector<double> diagonal(static_cast<size_t>(P), std::numeric_limits<double>::infinity());
    if (full != nullptr) full->assign(static_cast<size_t>(P * P), 0.0);
    if (!GaussJordan(scaled, P, none, 0)) return diagonal;
    for (int x = 0; x < P; ++x) {
        for (int y = 0; y < P; ++y) {
            const double v = scaled[x + 1][y + 1] * scale[static_cast<size_t>(x)] *
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

}  // namespace allmodes
using namespace allmodes;  // the solver's own helpers, in its two source files only

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

    void Start(const std::vector<ModeGuess>& guesses);

    // The delay that best fits the guessed shapes: from the median of the data's phase slope,
    // then searched nearby on a grid fine enough for the range's highest frequency.
    double DelayFromData() const;

    void Iterate();

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

    // The inverse of the curvature over the fitted real parameters (which: their keys), and
    // the reference mode of magnitude data whose phase is held (-1: none).
    struct Inverse {
        std::vector<int> which;
        int P = 0;
        std::vector<double> covariance, diagonal;
        int magnitudeReference = -1;
        int At(int key) const {
            for (int x = 0; x < P; ++x) {
                if (which[static_cast<size_t>(x)] == key) return x;
            }
            return -1;
        }
        double Cov(int x, int y, double variance) const {
            if (x < 0 || y < 0) return 0.0;
            return covariance[static_cast<size_t>(x * P + y)] * variance;
        }
        double Sigma(int x, double variance) const {
            if (x < 0) return 0.0;
            const double v = Cov(x, x, variance);
            return v > 0.0 && std::isfinite(v) ? std::sqrt(v)
                                               : std::numeric_limits<double>::infinity();
        }
        bool Undetermined(int x) const {
            return x >= 0 && !std::isfinite(diagonal[static_cast<size_t>(x)]);
        }
    };
    Inverse InvertCurvature() const;
    int HoldReferencePhase(std::vector<std::vector<double>>& real, std::vector<int>& which) const;
    double ModeVariance(const std::vector<Complex>& r, double frequency, double width,
                        double points, double dof) const;
    FittedMode ModeResult(int j, const Inverse& inv, double variance) const;
};

}  // namespace sonarix
