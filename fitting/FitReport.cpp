// The fit uncertainties and the report file.
#include "fitting/FitReport.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numbers>

#include "fitting/AllModesFit.h"
#include "fitting/FitRun.h"

namespace sonarix {
namespace {

void AppendNumber(std::string& out, double v) {
    char buffer[32];
    // Shortest round trip, always with a point, whatever the locale.
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    out.append(buffer, r.ptr);
}

}  // namespace

double QualityFactor(double frequency, double width) {
    return width != 0.0 ? frequency / (2.0 * width) : 0.0;
}

FitReport ComputeFitReport(const FitPoints& points, const Params& a, const FitList& lista, int mfit,
                           int steps) {
    FitReport r;
    r.points = points.ndata;
    r.parameters = mfit;
    r.steps = steps;
    Matrix full{};
    Params beta{};
    double chisq = 0.0;
    if (mfit <= 0) return r;
    FastChiSquareCurvature(points, a, lista, mfit, full, beta, chisq);
    r.chisq = chisq;
    if (points.ndata <= mfit) return r;
    // The modulus does not change when every phase turns alike: only the differences are
    // determined. The first fitted peak's phase is held as the reference, so the matrix is
    // inverted without it and the other phases' errors are those of their differences to it.
    // With phases measured (complex data) every phase is determined: no reference.
    int reference = 0;
    r.phases = points.part != nullptr;
    r.delay = points.delay;
    for (int j = 1; j <= mfit && !r.phases; ++j) {
        if (lista[j] % 4 == 0) {
            reference = lista[j];
            break;
        }
    }
    std::array<int, kParams + 1> row{};  // where each parameter sits in the matrix (0: not)
    Matrix alpha{};
    int n = 0;
    std::array<int, kParams + 1> from{};
    for (int j = 1; j <= mfit; ++j) {
        if (lista[j] == reference) continue;
        row[lista[j]] = ++n;
        from[n] = j;
    }
    for (int i = 1; i <= n; ++i) {
        for (int j = 1; j <= n; ++j) alpha[i][j] = full[from[i]][from[j]];
    }
    Matrix none{};
    if (n > 0 && !GaussJordan(alpha, n, none, 0)) return r;
    const double scale = chisq / (points.ndata - mfit);
    auto cov = [&](int p, int q) { return alpha[row[p]][row[q]] * scale; };
    auto error = [&](int p) { return std::sqrt(std::max(cov(p, p), 0.0)); };
    for (int k = 1; k <= kPeaks; ++k) {
        const int f = 4 * k - 3, am = 4 * k - 2, w = 4 * k - 1, t = 4 * k;
        if (row[f] == 0 || row[am] == 0 || row[w] == 0 || (row[t] == 0 && t != reference)) {
            continue;
        }
        PeakErrors& e = r.peaks[static_cast<size_t>(k)];
        e.valid = true;
        e.frequency = error(f);
        e.amplitude = error(am);
        e.width = error(w);
        // phase = 2 atan(t) in degrees.
        const double dPhase = 360.0 / std::numbers::pi / (1.0 + a[t] * a[t]);
        e.phase = t == reference ? std::numeric_limits<double>::quiet_NaN()
                                 : std::fabs(dPhase) * error(t);
        const double F = a[f], W = std::fabs(a[w]);
        e.q = QualityFactor(F, W);
        if (W > 0.0) {
            const double dF = 1.0 / (2.0 * W), dW = -F / (2.0 * W * W);
            const double var =
                dF * dF * cov(f, f) + dW * dW * cov(w, w) + 2.0 * dF * dW * cov(f, w);
            e.qError = std::sqrt(std::max(var, 0.0));
        }
    }
    r.valid = true;
    return r;
}

bool Determined(double amplitude, double amplitudeError, double phaseError) {
    return amplitudeError < 0.5 * std::abs(amplitude) && !(phaseError >= 30.0);
}

PeakErrors ErrorsOf(const FittedMode& m) {
    PeakErrors e;
    e.valid = true;
    e.frequency = m.frequencyError;
    e.amplitude = m.amplitudeError;
    e.width = m.widthError;
    e.phase = m.ownPhaseError * 180.0 / std::numbers::pi;
    e.q = m.q;
    e.qError = m.qError;
    e.undetermined = !Determined(std::abs(m.amplitude), e.amplitude, e.phase);
    e.otherAmplitude = std::abs(m.amplitude);
    e.otherPhase = -m.ownPhase * 180.0 / std::numbers::pi;
    return e;
}

namespace {
constexpr const char* kReportHeader =
    "Peak,F [Hz],sigma F [Hz],A,sigma A,W [Hz],sigma W [Hz],Phase [degrees],"
    "sigma Phase [degrees],Q,sigma Q,chi-square,n,m,steps,Data fitted,"
    "A and phase determined,Fit,Delay [s]\r\n";
}  // namespace

std::string WholeFitReportLines(const AllModesFit& fit) {
    std::string out = kReportHeader;
    const double chisq = fit.rms * fit.rms * fit.points;
    int k = 0;
    for (const FittedMode& m : fit.modes) {
        const PeakErrors e = ErrorsOf(m);
        out += std::to_string(++k);
        for (const double v : {m.frequency, e.frequency, std::abs(m.amplitude), e.amplitude,
                               m.width, e.width, e.otherPhase, e.phase, e.q, e.qError, chisq}) {
            out += ',';
            if (std::isfinite(v)) AppendNumber(out, v);  // an undetermined error: left empty
        }
        out += ',' + std::to_string(fit.points) + ',' + std::to_string(fit.parameters) + ',' +
               std::to_string(fit.iterations) + ',' +
               (fit.complexData ? "amplitude and phase" : "amplitude") + ',' +
               (e.undetermined ? "no" : "yes") +
               (m.beyond ? ",whole spectrum (beyond the range)," : ",whole spectrum,");
        AppendNumber(out, fit.delay);
        out += "\r\n";
    }
    return out;
}

std::string FitReportLines(const FitReport& r, const PeakTable& t) {
    std::string out = kReportHeader;
    for (int k = 1; k <= kPeaks; ++k) {
        const PeakErrors& e = r.peaks[static_cast<size_t>(k)];
        if (!(t.PeakAmplitude[k] > 0) || !e.valid) continue;
        out += std::to_string(k);
        for (const double v :
             {t.PeakFrequency[k], e.frequency, t.PeakAmplitude[k], e.amplitude, t.PeakWidth[k],
              e.width, t.PeakPhase[k], e.phase, e.q, e.qError, r.chisq}) {
            out += ',';
            if (!std::isnan(v)) AppendNumber(out, v);  // the reference phase: left empty
        }
        out += ',' + std::to_string(r.points) + ',' + std::to_string(r.parameters) + ',' +
               std::to_string(r.steps) + ',' + (r.phases ? "amplitude and phase" : "amplitude") +
               ',' +
               (e.undetermined || !Determined(t.PeakAmplitude[k], e.amplitude,
                                              std::isnan(e.phase) ? 0.0 : e.phase)
                    ? "no"
                    : "yes") +
               ",Start Fit,";
        if (r.phases) AppendNumber(out, r.delay);
        out += "\r\n";
    }
    return out;
}

}  // namespace sonarix
