#include "wavefunction/SplitPeaks.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace sonarix {
namespace {

using Complex = std::complex<double>;

struct Found {
    double frequency, width, height;
};

// The window's points of one spectrum, complex.
void Window(const FastSpectrum& sp, double lo, double hi, std::vector<double>& f,
            std::vector<Complex>& d) {
    f.clear();
    d.clear();
    const size_t n = std::min({sp.freq.size(), sp.amp.size(), sp.phase.size()});
    for (size_t i = 0; i < n; ++i) {
        if (sp.freq[i] < lo || sp.freq[i] > hi) continue;
        f.push_back(sp.freq[i]);
        d.push_back(std::polar(sp.amp[i], sp.phase[i] * std::numbers::pi / 180.0));
    }
}

// The peaks of one window: local maxima standing out by a quarter of their height above the
// lower of the valleys to the next higher point on either side, and above a hundredth of
// `floor`. Their widths are the half-power half widths where both sides fall that far.
void FindPeaks(const std::vector<double>& f, const std::vector<Complex>& d, double floor,
               std::vector<Found>& out) {
    const size_t n = f.size();
    for (size_t i = 2; i + 2 < n; ++i) {
        const double a = std::abs(d[i]);
        if (a < floor || a < std::abs(d[i - 1]) || a < std::abs(d[i - 2]) ||
            a <= std::abs(d[i + 1]) || a <= std::abs(d[i + 2]))
            continue;
        double left = a, right = a;
        for (size_t j = i; j-- > 0 && std::abs(d[j]) <= a;) left = std::min(left, std::abs(d[j]));
        for (size_t j = i + 1; j < n && std::abs(d[j]) <= a; ++j)
            right = std::min(right, std::abs(d[j]));
        if (a - std::max(left, right) < 0.25 * a) continue;
        double width = f[i] / 200.0;  // Q = 100 where the half-power points are not both there
        size_t lo = i, hi = i;
        while (lo > 0 && std::abs(d[lo]) > a / std::numbers::sqrt2) --lo;
        while (hi + 1 < n && std::abs(d[hi]) > a / std::numbers::sqrt2) ++hi;
        if (std::abs(d[lo]) <= a / std::numbers::sqrt2 &&
            std::abs(d[hi]) <= a / std::numbers::sqrt2)
            width = 0.5 * (f[hi] - f[lo]);
        out.push_back({f[i], width, a});
    }
}

// One guess per group of peaks that lie within half a width of each other: the highest's.
std::vector<ModeGuess> Grouped(std::vector<Found> found) {
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.frequency < b.frequency; });
    std::vector<ModeGuess> guesses;
    for (size_t i = 0; i < found.size();) {
        size_t j = i + 1;
        Found best = found[i];
        while (j < found.size() &&
               found[j].frequency - found[j - 1].frequency < 0.5 * found[j - 1].width) {
            if (found[j].height > best.height) best = found[j];
            ++j;
        }
        guesses.push_back({best.frequency, best.width});
        i = j;
    }
    return guesses;
}

}  // namespace

SplitPeaks FitSplitPeaks(const WaveSeries& series, double frequency) {
    SplitPeaks result;
    const double lo = frequency - kSplitReach, hi = frequency + kSplitReach;
    std::vector<std::vector<double>> freqs(kAngles);
    std::vector<std::vector<Complex>> data(kAngles);
    double largest = 0.0;
    bool any = false;
    for (size_t k = 0; k < series.size(); ++k) {
        if (!series[k]) continue;
        any = true;
        if (!series[k]->phased) {
            result.why =
                "The spectra were measured without a calibrated latency, so their phases are not "
                "the resonator's: fitting the peaks needs Configure / Calibrate Latency before the "
                "series is measured.";
            return result;
        }
        Window(*series[k], lo, hi, freqs[k], data[k]);
        for (const Complex& v : data[k]) largest = std::max(largest, std::abs(v));
    }
    if (!any) {
        result.why = "No spectrum has been measured yet: measure the series first.";
        return result;
    }
    // The peaks of all angles, grouped where they lie within half a width of each other.
    std::vector<Found> found;
    for (size_t k = 0; k < series.size(); ++k) FindPeaks(freqs[k], data[k], 0.01 * largest, found);
    const std::vector<ModeGuess> guesses = Grouped(std::move(found));
    if (guesses.empty()) {
        result.why = "There is no peak within " + std::to_string(static_cast<int>(kSplitReach)) +
                     " Hz of the chosen frequency in any angle's spectrum.";
        return result;
    }
    // Every angle's own fit; the frequencies and widths weighted by their errors.
    const size_t m = guesses.size();
    std::vector<double> fw(m, 0.0), fs(m, 0.0), ww(m, 0.0), ws(m, 0.0);
    std::vector<double> delays(series.size(), NAN);
    for (size_t k = 0; k < series.size(); ++k) {
        if (freqs[k].empty()) continue;
        const AllModesFit fit = FitAllModes(freqs[k], data[k], guesses);
        if (fit.modes.size() != m) continue;
        // What is left of the delay after the calibration (the resonator's share of what it
        // read, a few samples from one playback to the next) turns the phase across the window.
        delays[k] = fit.delay;
        for (size_t j = 0; j < m; ++j) {
            const FittedMode& p = fit.modes[j];
            if (!(p.frequencyError > 0.0) || !(p.widthError > 0.0) || p.frequency < lo ||
                p.frequency > hi || !(p.width > 0.0) || !std::isfinite(p.frequencyError) ||
                !std::isfinite(p.widthError))
                continue;
            const double a = 1.0 / (p.frequencyError * p.frequencyError);
            const double b = 1.0 / (p.widthError * p.widthError);
            fw[j] += a;
            fs[j] += a * p.frequency;
            ww[j] += b;
            ws[j] += b * p.width;
        }
    }
    std::vector<ModeGuess> common = guesses;
    result.peaks.resize(m);
    for (size_t j = 0; j < m; ++j) {
        if (fw[j] > 0.0) {
            common[j].frequency = fs[j] / fw[j];
            result.peaks[j].frequencyError = 1.0 / std::sqrt(fw[j]);
        }
        if (ww[j] > 0.0) {
            common[j].width = ws[j] / ww[j];
            result.peaks[j].widthError = 1.0 / std::sqrt(ww[j]);
        }
        result.peaks[j].frequency = common[j].frequency;
        result.peaks[j].width = common[j].width;
    }
    double nearest = 0.0;
    for (size_t j = 0; j < m; ++j) {
        const double distance = std::abs(common[j].frequency - frequency);
        if (result.chosen < 0 || distance < nearest) {
            result.chosen = static_cast<int>(j);
            nearest = distance;
        }
    }
    // With the frequencies, widths and delay held, every angle's amplitudes: the linear
    // solution, so that a member silent at an angle reads its noise there, not a peak that
    // wandered off to fit something else. The delay is the median of the first pass's (at an
    // angle where a member is silent, that fit's delay may trade against the member's wandering
    // phase; one fitted at every angle again costs the weakest member a few per cent).
    const size_t c = static_cast<size_t>(result.chosen);
    std::vector<double> delayed;
    for (double d : delays) {
        if (std::isfinite(d)) delayed.push_back(d);
    }
    AllModesOptions held;
    held.holdShapes = true;
    held.fitDelay = false;
    if (!delayed.empty()) {
        std::nth_element(delayed.begin(),
                         delayed.begin() + static_cast<std::ptrdiff_t>(delayed.size() / 2),
                         delayed.end());
        held.delay = delayed[delayed.size() / 2];
    }
    for (size_t k = 0; k < series.size(); ++k) {
        if (freqs[k].empty()) continue;
        const AllModesFit fit = FitAllModes(freqs[k], data[k], common, held);
        if (fit.modes.size() != m) continue;
        result.values[k] = std::abs(fit.modes[c].amplitude);
        for (size_t j = 0; j < m; ++j) {
            if (std::abs(fit.modes[j].amplitude) > std::abs(result.peaks[j].amplitude))
                result.peaks[j].amplitude = fit.modes[j].amplitude;
        }
    }
    return result;
}

}  // namespace sonarix
