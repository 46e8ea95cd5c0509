// The sphere's acoustics.
#include "physics/SphereTheory.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace physics {
namespace {

constexpr double kPi = std::numbers::pi;

// Derivative of the spherical Bessel function j_l.
double SphBesselDerivative(int l, double x) {
    const auto ul = static_cast<unsigned>(l);
    if (l == 0) return -std::sph_bessel(1u, x);
    return std::sph_bessel(ul - 1, x) - (l + 1) / x * std::sph_bessel(ul, x);
}

// The 32-point Gauss-Legendre rule on [0, 1]: nodes and weights.
struct Rule {
    std::array<double, 32> u{}, w{};
    Rule() {
        constexpr int n = 32;
        for (int i = 0; i < n; ++i) {
            // Newton's method on P_n from the Chebyshev guess.
            double t = std::cos(kPi * (i + 0.75) / (n + 0.5)), dp = 0.0;
            for (int it = 0; it < 100; ++it) {
                double p0 = 1.0, p1 = t;
                for (int k = 2; k <= n; ++k) {
                    const double p2 = ((2.0 * k - 1.0) * t * p1 - (k - 1.0) * p0) / k;
                    p0 = p1;
                    p1 = p2;
                }
                dp = n * (t * p1 - p0) / (t * t - 1.0);
                const double step = p1 / dp;
                t -= step;
                if (std::abs(step) < 1e-15) break;
            }
            u[static_cast<size_t>(i)] = 0.5 * (t + 1.0);
            w[static_cast<size_t>(i)] = 1.0 / ((1.0 - t * t) * dp * dp);  // 2 / (...) on [0, 1]
        }
    }
};

const Rule& GaussLegendre() {
    static const Rule rule;
    return rule;
}

double Factorial(int n) { return std::tgamma(n + 1.0); }

}  // namespace

double SpeedOfSound(double celsius) { return 331.3 * std::sqrt(1.0 + celsius / 273.15); }

Air AirAt(double celsius) {
    const double t = celsius + 273.15;
    Air a;
    a.c = SpeedOfSound(celsius);
    a.density = 101325.0 / (287.05 * t);
    // Sutherland's law for the viscosity; the conductivity as a power law through 0.0257 W/(m K)
    // at 20 degrees Celsius.
    a.viscosity = 1.716e-5 * std::pow(t / 273.15, 1.5) * (273.15 + 110.4) / (t + 110.4);
    const double conductivity = 0.0257 * std::pow(t / 293.15, 0.81);
    a.thermalDiffusivity = conductivity / (a.density * 1005.0);
    return a;
}

std::vector<SphereRoot> SphereRoots(double xMax) {
    std::vector<SphereRoot> roots;
    // The lowest zero of j_l' lies above l: orders beyond xMax have none below it.
    for (int l = 0; l < xMax + 1.0; ++l) {
        int n = 0;
        const double dx = 0.005;
        double a = std::max(0.05, 0.9 * l);
        double fa = SphBesselDerivative(l, a);
        for (double b = a + dx; b < xMax; b += dx) {
            const double fb = SphBesselDerivative(l, b);
            if ((fa < 0.0) != (fb < 0.0)) {
                double lo = a, hi = b, flo = fa;
                for (int i = 0; i < 60; ++i) {
                    const double mid = 0.5 * (lo + hi);
                    const double fm = SphBesselDerivative(l, mid);
                    if ((fm < 0.0) == (flo < 0.0)) {
                        lo = mid;
                        flo = fm;
                    } else {
                        hi = mid;
                    }
                }
                roots.push_back({l, ++n, 0.5 * (lo + hi)});
            }
            a = b;
            fa = fb;
        }
    }
    std::sort(roots.begin(), roots.end(),
              [](const SphereRoot& p, const SphereRoot& q) { return p.x < q.x; });
    return roots;
}

double BoundaryLayerHalfWidth(int l, double x, double f, double radius, const Air& air) {
    const double dt = std::sqrt(air.thermalDiffusivity / (kPi * f));
    const double dv = std::sqrt(air.viscosity / (air.density * kPi * f));
    const double ll = l * (l + 1.0) / (x * x);
    return f / (2.0 * radius) * ((air.gamma - 1.0) * dt + ll * dv) / (1.0 - ll);
}

double RingShift(int l, int m, double x, double radius, double ring) {
    // The ring moves each hemisphere by ring / 2 along the axis: the wall's outward
    // displacement is h = (ring / 2) |cos theta|. Hadamard's formula for the Neumann problem,
    // d(k^2) = int h (|grad_t psi|^2 - k^2 psi^2) dS / int psi^2 dV, with psi = j_l(kr) Y_lm,
    // gives d(k^2) / k^2 = -(ring / a) (I1 - I2 / x^2) / (1 - l(l+1)/x^2), where
    // I1 = int |cos| |Y|^2 dOmega and I2 = int |cos| |grad Y|^2 dOmega.
    const auto ul = static_cast<unsigned>(l), um = static_cast<unsigned>(m);
    const double norm = (2.0 * l + 1.0) / (4.0 * kPi) * Factorial(l - m) / Factorial(l + m);
    const Rule& rule = GaussLegendre();
    double i1 = 0.0, i2 = 0.0;
    for (size_t i = 0; i < rule.u.size(); ++i) {
        const double u = rule.u[i];
        const double p = std::assoc_legendre(ul, um, u);
        const double below = l > m ? std::assoc_legendre(ul - 1, um, u) : 0.0;
        // (u^2 - 1) P' = l u P_l^m - (l + m) P_{l-1}^m.
        const double dp = (l * u * p - (l + m) * below) / (u * u - 1.0);
        const double s2 = 1.0 - u * u;
        i1 += rule.w[i] * u * p * p;
        i2 += rule.w[i] * u * (s2 * dp * dp + m * m * p * p / s2);
    }
    // Both halves of the sphere (the integrands are even in u) and the azimuth.
    i1 *= 2.0 * 2.0 * kPi * norm;
    i2 *= 2.0 * 2.0 * kPi * norm;
    const double ll = l * (l + 1.0) / (x * x);
    const double dk2 = -(ring / radius) * (i1 - i2 / (x * x)) / (1.0 - ll);
    return 0.5 * dk2;
}

double PairWeight(int l, int m) {
    // Y_lm*(s) Y_lm(r) of +m and -m together, times 4 pi / (2l + 1): source and receiver at
    // cos theta = -1/sqrt 2 and +1/sqrt 2, azimuths alpha apart.
    const auto ul = static_cast<unsigned>(l), um = static_cast<unsigned>(m);
    const double u = std::numbers::sqrt2 / 2.0;
    return (m == 0 ? 1.0 : 2.0) * Factorial(l - m) / Factorial(l + m) *
           std::assoc_legendre(ul, um, -u) * std::assoc_legendre(ul, um, u);
}

}  // namespace physics
