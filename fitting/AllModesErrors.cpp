// The whole-spectrum fit's result: each mode's values with their errors from the inverse of
// the curvature at the fit, scaled by the residuals' local noise and correlation.
#include "fitting/AllModesSolverImpl.h"

namespace sonarix {

// The key of the reference mode's modulus among the parameters (magnitude data).
constexpr int kModulusKey = -1000000;

AllModesSolver::Impl::Inverse AllModesSolver::Impl::InvertCurvature() const {
    Inverse inv;
    const size_t N = Points();
    // Every fitted real parameter's derivative, then the curvature and its inverse.
    std::vector<std::vector<double>> real;  // for magnitudes
    std::vector<std::vector<Complex>> complexColumns;
    std::vector<int>& which = inv.which;
    if (complexData) {
        complexColumns = ComplexColumns(true, which);
    } else {
        real = MagnitudeColumns();
        which = free;
        inv.magnitudeReference = HoldReferencePhase(real, which);
    }
    const int P = static_cast<int>(which.size());
    inv.P = P;
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
    // A singular curvature leaves zeros: those directions are undetermined.
    if (complexData) {
        // Where the model misses the data systematically the residuals' terms can leave the
        // curvature indefinite at the fit (no minimum along some direction in this model): the
        // errors then come from J^T J alone, as a Gauss-Newton fit gives them, rather than
        // calling every mode undetermined.
        std::vector<double> full = curvature;
        AddResidualCurvature(full, P, [&inv](int key) { return inv.At(key); });
        inv.diagonal = InverseDiagonal(full, P, &inv.covariance);
        if (!std::all_of(inv.diagonal.begin(), inv.diagonal.end(),
                         [](double d) { return std::isfinite(d); })) {
            std::vector<double> plainCovariance;
            const std::vector<double> plain = InverseDiagonal(curvature, P, &plainCovariance);
            for (size_t x = 0; x < plain.size(); ++x) {
                if (!std::isfinite(inv.diagonal[x]) && std::isfinite(plain[x])) {
                    inv.diagonal = plain;
                    inv.covariance = std::move(plainCovariance);
                    break;
                }
            }
        }
    } else {
        inv.diagonal = InverseDiagonal(curvature, P, &inv.covariance);
    }
    return inv;
}

int AllModesSolver::Impl::HoldReferencePhase(std::vector<std::vector<double>>& real,
                                             std::vector<int>& which) const {
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
    if (modes == 0 || !(size > 0.0)) return -1;
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
    return reference;
}

double AllModesSolver::Impl::ModeVariance(const std::vector<Complex>& r, double frequency,
                                          double width, double points, double dof) const {
    const size_t N = Points();
    // Ten widths either side, and at least 25 points.
    const double reach = 10.0 * width;
    auto first =
        static_cast<size_t>(std::lower_bound(f.begin(), f.end(), frequency - reach) - f.begin());
    auto last =
        static_cast<size_t>(std::upper_bound(f.begin(), f.end(), frequency + reach) - f.begin());
    while (last - first < 50 && (first > 0 || last < N)) {
        if (first > 0) --first;
        if (last < N) ++last;
    }
    const LocalNoise local = NoiseOver(r, first, last);
    // The local share of the degrees of freedom is that of the whole.
    return local.variance * points / dof * local.correlation;
}

FittedMode AllModesSolver::Impl::ModeResult(int j, const Inverse& inv, double variance) const {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    auto cov = [&](int x, int y) { return inv.Cov(x, y, variance); };
    auto sigma = [&](int x) { return inv.Undetermined(x) ? kInf : inv.Sigma(x, variance); };
    FittedMode m;
    m.frequency = theta[static_cast<size_t>(2 * j)];
    m.width = theta[static_cast<size_t>(2 * j + 1)];
    int re = -1, im = -1;
    if (complexData) {
        m.amplitude = linear[static_cast<size_t>(j)];
        re = inv.At(-1 - 2 * j);
        im = inv.At(-1 - (2 * j + 1));
    } else {
        m.amplitude = Complex(theta[static_cast<size_t>(2 * modes + 2 * j)],
                              theta[static_cast<size_t>(2 * modes + 2 * j + 1)]);
        re = inv.At(2 * modes + 2 * j);
        im = inv.At(2 * modes + 2 * j + 1);
    }
    const int fi = inv.At(2 * j), wi = inv.At(2 * j + 1);
    m.frequencyError = sigma(fi);
    m.widthError = sigma(wi);
    const double phase = std::arg(m.amplitude), size = std::abs(m.amplitude);
    const double c = std::cos(phase), s = std::sin(phase);
    if (j == inv.magnitudeReference) {
        m.amplitudeError = sigma(inv.At(kModulusKey));
        m.phaseError = std::numeric_limits<double>::quiet_NaN();
    } else if (inv.Undetermined(re) || inv.Undetermined(im)) {
        m.amplitudeError = m.phaseError = kInf;
    } else {
        const double along = c * c * cov(re, re) + s * s * cov(im, im) + 2 * c * s * cov(re, im);
        const double across = s * s * cov(re, re) + c * c * cov(im, im) - 2 * c * s * cov(re, im);
        m.amplitudeError = std::sqrt(std::max(along, 0.0));
        m.phaseError = size > 0.0 ? std::sqrt(std::max(across, 0.0)) / size : kInf;
    }
    m.ownPhase = phase;
    m.ownPhaseError = m.phaseError;
    if (const int ti = complexData ? inv.At(2 * modes) : -1; ti >= 0) {
        const double turn = 2.0 * std::numbers::pi * m.frequency;
        m.ownPhase = std::remainder(phase - turn * theta[DelayIndex()], 2.0 * std::numbers::pi);
        if (std::isfinite(m.phaseError) && size > 0.0) {
            const double phaseDelay = (-s * cov(re, ti) + c * cov(im, ti)) / size;
            m.ownPhaseError = std::sqrt(std::max(
                m.phaseError * m.phaseError + turn * turn * cov(ti, ti) - 2.0 * turn * phaseDelay,
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
                       : kInf;
    }
    return m;
}

AllModesFit AllModesSolver::Impl::Result() const {
    AllModesFit out;
    out.complexData = complexData;
    out.iterations = iterations;
    out.converged = converged;
    out.failure = failure;
    out.points = RealValues();
    if (!failure.empty()) return out;
    out.valid = true;
    const Inverse inv = InvertCurvature();
    out.parameters = inv.P;
    const double dof = std::max(1.0, static_cast<double>(out.points - inv.P));
    // Neighbouring points of a finely spaced spectrum share their noise (a fast measurement's
    // resolution is the inverse of the response's length, several points): the variance of
    // anything fitted grows by the residuals' correlation, 1 + 2 sum rho_k, summed while the
    // correlation stands clear of what chance gives.
    // The delay and the background take the whole range's noise, each mode that of the points
    // around it (the noise of a spectrum changes with frequency).
    const std::vector<Complex> r = Residuals();
    const LocalNoise whole = NoiseOver(r, 0, Points());
    out.correlation = whole.correlation;
    const double points = static_cast<double>(out.points);
    const double variance = chi / dof * whole.correlation;
    out.rms = std::sqrt(chi / points);
    const bool ascending = std::is_sorted(f.begin(), f.end());
    for (int j = 0; j < modes; ++j) {
        const double frequency = theta[static_cast<size_t>(2 * j)];
        const double width = theta[static_cast<size_t>(2 * j + 1)];
        out.modes.push_back(ModeResult(
            j, inv, ascending ? ModeVariance(r, frequency, width, points, dof) : variance));
    }
    if (complexData) {
        out.offset = linear[static_cast<size_t>(modes)];
        out.slope = linear[static_cast<size_t>(modes + 1)];
        out.delay = theta[DelayIndex()];
        const int ti = inv.At(2 * modes);
        out.delayError = ti < 0 ? 0.0 : inv.Sigma(ti, variance);
    } else {
        out.offset = theta[static_cast<size_t>(4 * modes)];
        out.slope = theta[static_cast<size_t>(4 * modes + 1)];
    }
    return out;
}

}  // namespace sonarix
