// The arrival from the resonances' residues.
#include "measurement/ModalArrival.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <optional>
#include <tuple>
#include <utility>

#include "physics/SampleRate.h"

namespace sonarix {
namespace {

using Complex = std::complex<double>;
constexpr double kPi = std::numbers::pi;
constexpr double kShortest = -40.0, kLongest = 2.0, kGridStep = 0.02;  // samples
constexpr double kAgreeDegrees = 6.0;
constexpr double kRivalApart = 2.2;   // samples (0.05 ms)
constexpr double kRivalRatio = 2.0;   // a rival's residual within this factor of the best
constexpr double kMostLead = 1000.0;  // Hz: a loudspeaker rolling off below some 700 Hz
constexpr double kLeadDegrees = 2.0;
constexpr double kAloneResidual = 0.005;

// One resonance fitted alone with a straight background over about three half widths either
// side: h = b0 + b1 x + c w / (x0 - x + i w), x in half widths from the peak's bin.
struct LocalFit {
    double x0 = 0.0, w = 1.0;
    std::vector<Complex> coef;  // b0, b1, c
    double residualRms = 0.0;   // against the resonance's height |c|
};

// The best coefficients for a given x0 and w (the complex normal equations) and the residuals
// they leave.
bool Project(const std::vector<double>& x, const std::vector<Complex>& y, double x0, double w,
             std::vector<Complex>& coef, std::vector<Complex>& residual) {
    if (!(w > 0.0)) return false;
    constexpr size_t m = 3;
    const size_t n = x.size();
    auto column = [&](size_t j, size_t c) -> Complex {
        if (c == 0) return 1.0;
        if (c == 1) return x[j];
        return w / Complex(x0 - x[j], w);
    };
    std::vector<std::vector<Complex>> a(m, std::vector<Complex>(m + 1));
    for (size_t j = 0; j < n; ++j) {
        for (size_t r = 0; r < m; ++r) {
            const Complex cr = std::conj(column(j, r));
            for (size_t c = 0; c < m; ++c) a[r][c] += cr * column(j, c);
            a[r][m] += cr * y[j];
        }
    }
    for (size_t p = 0; p < m; ++p) {
        size_t pivot = p;
        for (size_t r = p + 1; r < m; ++r) {
            if (std::abs(a[r][p]) > std::abs(a[pivot][p])) pivot = r;
        }
        std::swap(a[p], a[pivot]);
        if (!(std::abs(a[p][p]) > 1e-300)) return false;
        for (size_t r = p + 1; r < m; ++r) {
            const Complex f = a[r][p] / a[p][p];
            for (size_t c = p; c <= m; ++c) a[r][c] -= f * a[p][c];
        }
    }
    coef.assign(m, 0.0);
    for (size_t p = m; p-- > 0;) {
        Complex v = a[p][m];
        for (size_t c = p + 1; c < m; ++c) v -= a[p][c] * coef[c];
        coef[p] = v / a[p][p];
    }
    residual.resize(n);
    for (size_t j = 0; j < n; ++j) {
        Complex v = y[j];
        for (size_t c = 0; c < m; ++c) v -= coef[c] * column(j, c);
        residual[j] = v;
    }
    return true;
}

double Cost(const std::vector<Complex>& r) {
    double sum = 0.0;
    for (const Complex& v : r) sum += std::norm(v);
    return sum;
}

// Levenberg-Marquardt on x0 and w, the coefficients projected out at every step.
std::optional<LocalFit> FitResonance(const std::vector<double>& x, const std::vector<Complex>& y,
                                     double x0 = 0.0, double w = 1.0) {
    LocalFit fit;
    fit.x0 = x0;
    fit.w = w;
    std::vector<Complex> r, rp, rm, coef;
    if (!Project(x, y, fit.x0, fit.w, fit.coef, r)) return std::nullopt;
    double cost = Cost(r), lambda = 1e-3;
    constexpr double h = 1e-5;
    for (int iteration = 0; iteration < 40; ++iteration) {
        std::array<std::vector<Complex>, 2> jac;
        const std::array<double, 2> p{fit.x0, fit.w};
        for (int i = 0; i < 2; ++i) {
            std::array<double, 2> up = p, down = p;
            up[static_cast<size_t>(i)] += h;
            down[static_cast<size_t>(i)] -= h;
            if (!Project(x, y, up[0], up[1], coef, rp) ||
                !Project(x, y, down[0], down[1], coef, rm)) {
                return std::nullopt;
            }
            jac[static_cast<size_t>(i)].resize(x.size());
            for (size_t j = 0; j < x.size(); ++j) {
                jac[static_cast<size_t>(i)][j] = (rp[j] - rm[j]) / (2.0 * h);
            }
        }
        double a00 = 0, a01 = 0, a11 = 0, g0 = 0, g1 = 0;
        for (size_t j = 0; j < x.size(); ++j) {
            a00 += std::norm(jac[0][j]);
            a11 += std::norm(jac[1][j]);
            a01 += std::real(std::conj(jac[0][j]) * jac[1][j]);
            g0 += std::real(std::conj(jac[0][j]) * r[j]);
            g1 += std::real(std::conj(jac[1][j]) * r[j]);
        }
        bool improved = false;
        while (lambda < 1e8) {
            const double b00 = a00 * (1.0 + lambda), b11 = a11 * (1.0 + lambda);
            const double det = b00 * b11 - a01 * a01;
            if (!(std::abs(det) > 0.0)) break;
            const double d0 = -(b11 * g0 - a01 * g1) / det;
            const double d1 = -(b00 * g1 - a01 * g0) / det;
            LocalFit next = fit;
            next.x0 += d0;
            next.w += d1;
            if (next.w > 0.3 && next.w < 3.0 && std::abs(next.x0) < 1.0 &&
                Project(x, y, next.x0, next.w, next.coef, rp) && Cost(rp) < cost) {
                const bool small = cost - Cost(rp) < 1e-12 * cost;
                fit = next;
                r = rp;
                cost = Cost(rp);
                lambda = std::max(lambda / 10.0, 1e-9);
                improved = !small;
                break;
            }
            lambda *= 10.0;
        }
        if (!improved) break;
    }
    const double height = std::abs(fit.coef[2]);
    if (!(height > 0.0)) return std::nullopt;
    fit.residualRms = std::sqrt(cost / static_cast<double>(x.size())) / height;
    return fit;
}

struct Residue {
    ModalResonance at;
    bool clear = false;     // fitted alone within 3 % and near its maximum
    double phase = 0.0;     // of its coefficient, radians
    double residual = 0.0;  // its fit's residuals (rms) against its height
};

// The resonances of |h| on bins low ... high: a maximum over 40 bins either side that stands
// at least twice above the lowest point within 300 bins on both sides and above a hundredth
// of the largest, fitted alone; clear when the fit leaves residuals below 3 % of its height
// and places the peak within a half width of the maximum.
// The window of a resonance: x in half widths from its bin, and h there.
void Window(const std::vector<Complex>& h, const ModalResonance& r, std::vector<double>& x,
            std::vector<Complex>& y) {
    x.clear();
    y.clear();
    for (size_t j = r.bin - r.reach; j <= r.bin + r.reach; ++j) {
        x.push_back((static_cast<double>(j) - static_cast<double>(r.bin)) / r.half);
        y.push_back(h[j]);
    }
}

bool Clear(const LocalFit& fit) { return fit.residualRms <= 0.03 && std::abs(fit.x0) <= 0.5; }

std::vector<Residue> Residues(const std::vector<Complex>& h, double binHz, size_t low,
                              size_t high) {
    std::vector<Residue> found;
    if (high >= h.size() || low + 2 >= high) return found;
    std::vector<double> mag(h.size());
    for (size_t k = 0; k < h.size(); ++k) mag[k] = std::abs(h[k]);
    const double largest = *std::max_element(mag.begin() + static_cast<std::ptrdiff_t>(low),
                                             mag.begin() + static_cast<std::ptrdiff_t>(high) + 1);
    std::vector<double> x;
    std::vector<Complex> y;
    for (size_t k = low + 1; k < high; ++k) {
        const size_t from = k > low + 40 ? k - 40 : low, to = std::min(high, k + 40);
        bool top = mag[k] >= 0.01 * largest;
        for (size_t j = from; j <= to && top; ++j) {
            top = mag[j] <= mag[k] && (j >= k || mag[j] < mag[k]);
        }
        if (!top) continue;
        double left = mag[k], right = mag[k];
        for (size_t j = k > low + 300 ? k - 300 : low; j < k; ++j) left = std::min(left, mag[j]);
        for (size_t j = k; j <= std::min(high, k + 300); ++j) right = std::min(right, mag[j]);
        if (mag[k] < 2.0 * left || mag[k] < 2.0 * right) continue;
        // Its half width in bins, from where |h| falls to 1/sqrt 2 of the peak.
        const double edge = mag[k] / std::numbers::sqrt2;
        size_t a = k, b = k;
        while (a > low && mag[a] > edge) --a;
        while (b < high && mag[b] > edge) ++b;
        ModalResonance at;
        at.bin = k;
        at.half = std::max(2.0, 0.5 * static_cast<double>(b - a));
        at.reach = static_cast<size_t>(std::ceil(3.0 * at.half));
        if (k < low + at.reach || k + at.reach > high) continue;
        Window(h, at, x, y);
        const std::optional<LocalFit> fit = FitResonance(x, y);
        if (!fit) continue;
        at.x0 = fit->x0;
        at.w = fit->w;
        at.frequency = (static_cast<double>(k) + fit->x0 * at.half) * binHz;
        found.push_back({at, Clear(*fit), std::arg(fit->coef[2]), fit->residualRms});
    }
    return found;
}

// The residues' mean squared distance from real (sin^2 of their angles) after a shift, less a
// lead falling as 1 / F.
double Misfit(const std::vector<Residue>& r, double shift, double lead = 0.0) {
    double sum = 0.0;
    for (const Residue& v : r) {
        const double s = std::sin(v.phase + 2.0 * kPi * v.at.frequency * shift / kSampleRateHz -
                                  lead / v.at.frequency);
        sum += s * s;
    }
    return sum / static_cast<double>(r.size());
}

double Degrees(double misfit) { return std::asin(std::sqrt(std::min(misfit, 1.0))) * 180.0 / kPi; }

// Newton's steps on the misfit from `shift`, each at most `step` samples.
double Polish(const std::vector<Residue>& r, double shift, double step, int steps = 4) {
    for (int n = 0; n < steps; ++n) {
        double d1 = 0.0, d2 = 0.0;
        for (const Residue& v : r) {
            const double k = 2.0 * kPi * v.at.frequency / kSampleRateHz;
            const double angle = 2.0 * (v.phase + k * shift);
            d1 += std::sin(angle) * k;
            d2 += 2.0 * std::cos(angle) * k * k;
        }
        if (!(d2 > 0.0)) break;
        shift -= std::clamp(d1 / d2, -step, step);
    }
    return shift;
}

// How far the whole band is from a real sum of the resonances and a real cubic background
// after a shift: the least squares residual, relative to the band's energy. The normal
// matrix does not depend on the shift.
class RealSum {
public:
    RealSum(const std::vector<Complex>& h, double binHz, size_t low, size_t high,
            const std::vector<Residue>& resonances)
        : m_h(h), m_binHz(binHz), m_low(low), m_high(high) {
        const double mid = 0.5 * static_cast<double>(low + high);
        const double span = 0.5 * static_cast<double>(high - low);
        for (size_t k = low; k <= high; k += kStride) {
            std::vector<Complex> row;
            const double f = static_cast<double>(k) * binHz;
            for (const Residue& r : resonances) {
                const double w = r.at.w * r.at.half * binHz;
                row.push_back(w / Complex(r.at.frequency - f, w));
            }
            const double u = (static_cast<double>(k) - mid) / span;
            for (double p = 1.0, m = 0; m < 4; ++m, p *= u) row.push_back(p);
            m_rows.push_back(std::move(row));
            m_energy += std::norm(h[k]);
        }
        const size_t n = m_rows.empty() ? 0 : m_rows[0].size();
        m_normal.assign(n, std::vector<double>(n, 0.0));
        for (const auto& row : m_rows) {
            for (size_t i = 0; i < n; ++i) {
                for (size_t j = 0; j < n; ++j)
                    m_normal[i][j] += std::real(std::conj(row[i]) * row[j]);
            }
        }
        // Cholesky, with a tiny ridge for columns that nearly repeat.
        for (size_t i = 0; i < n; ++i) m_normal[i][i] *= 1.0 + 1e-10;
        for (size_t j = 0; j < n; ++j) {
            double d = m_normal[j][j];
            for (size_t k = 0; k < j; ++k) d -= m_normal[j][k] * m_normal[j][k];
            m_ok = m_ok && d > 0.0;
            if (!m_ok) return;
            m_normal[j][j] = std::sqrt(d);
            for (size_t i = j + 1; i < n; ++i) {
                double v = m_normal[i][j];
                for (size_t k = 0; k < j; ++k) v -= m_normal[i][k] * m_normal[j][k];
                m_normal[i][j] = v / m_normal[j][j];
            }
        }
    }
    double Residual(double shift) const {
        if (!m_ok || !(m_energy > 0.0)) return 1.0;
        const size_t n = m_normal.size();
        std::vector<double> r(n, 0.0);
        size_t row = 0;
        for (size_t k = m_low; k <= m_high; k += kStride, ++row) {
            const double f = static_cast<double>(k) * m_binHz;
            const Complex y = m_h[k] * std::polar(1.0, 2.0 * kPi * f * shift / kSampleRateHz);
            for (size_t i = 0; i < n; ++i) r[i] += std::real(std::conj(m_rows[row][i]) * y);
        }
        // r' G^-1 r through the Cholesky factor: |L^-1 r|^2.
        double explained = 0.0;
        for (size_t i = 0; i < n; ++i) {
            double v = r[i];
            for (size_t k = 0; k < i; ++k) v -= m_normal[i][k] * r[k];
            r[i] = v / m_normal[i][i];
            explained += r[i] * r[i];
        }
        return std::max(0.0, 1.0 - explained / m_energy);
    }

private:
    static constexpr size_t kStride = 2;
    const std::vector<Complex>& m_h;
    double m_binHz;
    size_t m_low, m_high;
    std::vector<std::vector<Complex>> m_rows;
    std::vector<std::vector<double>> m_normal;
    double m_energy = 0.0;
    bool m_ok = true;
};

// The shift and the loudspeaker's lead together, by Gauss-Newton on the residues' angles
// (mod 180 degrees) from `shift`: a loudspeaker's roll-off leads every resonance by a phase
// that falls as 1 / F well above it (a second-order one at fc by sqrt 2 fc / F radians),
// which a shift alone would take up as a delay of a microsecond or so.
std::pair<double, double> WithLead(const std::vector<Residue>& r, double shift) {
    double lead = 0.0;
    for (int n = 0; n < 6; ++n) {
        double a00 = 0, a01 = 0, a11 = 0, g0 = 0, g1 = 0;
        for (const Residue& v : r) {
            const double k = 2.0 * kPi * v.at.frequency / kSampleRateHz, u = -1.0 / v.at.frequency;
            const double angle = v.phase + k * shift + u * lead;
            const double e = 0.5 * std::sin(2.0 * angle), slope = std::cos(2.0 * angle);
            a00 += slope * slope * k * k;
            a01 += slope * slope * k * u;
            a11 += slope * slope * u * u;
            g0 += slope * k * e;
            g1 += slope * u * e;
        }
        const double det = a00 * a11 - a01 * a01;
        if (!(det > 0.0)) break;
        shift -= std::clamp((a11 * g0 - a01 * g1) / det, -kGridStep, kGridStep);
        lead = std::clamp(lead - (a00 * g1 - a01 * g0) / det, 0.0, kMostLead);
    }
    return {shift, lead};
}

ModalArrival Outcome(const std::vector<Residue>& residues, double shift, bool lead) {
    ModalArrival out;
    double led = 0.0;
    // Only resonances that stand alone (fitted within 0.5 %) and agree closely can tell a lead
    // from their scatter (a ring's split members, or a weak mode beside a strong one, turned
    // by their neighbours by several degrees, cannot).
    std::vector<Residue> alone;
    for (const Residue& r : residues) {
        if (r.residual <= kAloneResidual) alone.push_back(r);
    }
    if (lead && alone.size() >= 3 && Degrees(Misfit(alone, shift)) <= kLeadDegrees) {
        std::tie(shift, led) = WithLead(alone, shift);
    }
    out.shiftSamples = shift;
    out.leadHz = led;
    out.resonances = static_cast<int>(residues.size());
    out.rmsDegrees = Degrees(Misfit(residues, shift, led));
    out.found = residues.size() >= 3 && out.rmsDegrees <= kAgreeDegrees;
    for (const Residue& r : residues) out.used.push_back(r.at);
    return out;
}

}  // namespace

ModalArrival FindModalArrival(const std::vector<Complex>& h, double binHz, size_t low,
                              size_t high) {
    // Every resonance shapes the band; only the clear ones' residues say the shift.
    const std::vector<Residue> peaks = Residues(h, binHz, low, high);
    std::vector<Residue> all;
    for (const Residue& r : peaks) {
        if (r.clear) all.push_back(r);
    }
    if (all.size() < 3) return Outcome(all, 0.0, false);
    const RealSum sum(h, binHz, low, high, peaks);
    // The shifts the residues agree on: the local minima of their misfit on a grid finer than
    // the fastest residue turns, polished. A resonance that a close neighbour or the
    // loudspeaker turned may be left out there (at most two).
    const auto steps = static_cast<size_t>(std::lround((kLongest - kShortest) / kGridStep));
    std::vector<double> misfit(steps + 1);
    for (size_t i = 0; i <= steps; ++i) {
        misfit[i] = Misfit(all, kShortest + kGridStep * static_cast<double>(i));
    }
    struct Candidate {
        std::vector<Residue> residues;
        double shift = 0.0;
        double residual = 1.0;
    };
    std::vector<Candidate> candidates;
    for (size_t i = 1; i < steps; ++i) {
        if (misfit[i] > misfit[i - 1] || misfit[i] > misfit[i + 1]) continue;
        Candidate c{all, Polish(all, kShortest + kGridStep * static_cast<double>(i), kGridStep)};
        for (int leftOut = 0; leftOut < 2 && Degrees(Misfit(c.residues, c.shift)) > kAgreeDegrees &&
                              c.residues.size() > 4;
             ++leftOut) {
            auto worst = std::max_element(
                c.residues.begin(), c.residues.end(), [&](const Residue& a, const Residue& b) {
                    auto off = [&](const Residue& r) {
                        return std::abs(std::sin(r.phase + 2.0 * kPi * r.at.frequency * c.shift /
                                                               kSampleRateHz));
                    };
                    return off(a) < off(b);
                });
            c.residues.erase(worst);
            c.shift = Polish(c.residues, c.shift, kGridStep);
        }
        if (Degrees(Misfit(c.residues, c.shift)) > kAgreeDegrees) continue;
        c.residual = sum.Residual(c.shift);
        candidates.push_back(std::move(c));
    }
    if (candidates.empty()) return Outcome(all, 0.0, false);
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.residual < b.residual; });
    ModalArrival out = Outcome(candidates[0].residues, candidates[0].shift, true);
    out.unexplained = candidates[0].residual;
    // Another shift the whole band takes nearly as well leaves the arrival open.
    for (size_t i = 1; i < candidates.size(); ++i) {
        if (std::abs(candidates[i].shift - out.shiftSamples) > kRivalApart &&
            candidates[i].residual < kRivalRatio * candidates[0].residual) {
            out.found = false;
        }
    }
    return out;
}

ModalArrival FollowModalArrival(const std::vector<Complex>& h, const ModalArrival& first,
                                double from) {
    std::vector<Residue> residues;
    std::vector<double> x;
    std::vector<Complex> y, coef, residual;
    for (const ModalResonance& r : first.used) {
        if (r.bin < r.reach || r.bin + r.reach >= h.size()) continue;
        Window(h, r, x, y);
        if (Project(x, y, r.x0, r.w, coef, residual)) {
            const double height = std::abs(coef[2]);
            residues.push_back(
                {r, true, std::arg(coef[2]),
                 height > 0.0 ? std::sqrt(Cost(residual) / static_cast<double>(x.size())) / height
                              : 1.0});
        }
    }
    if (residues.size() < 3) return Outcome(residues, 0.0, false);
    return Outcome(residues, Polish(residues, from, 0.25, 8), true);
}

}  // namespace sonarix
