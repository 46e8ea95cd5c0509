// All the modes of a spectrum at once. Where a resonator's modes overlap (a sphere's at Q = 100
// do from a few kHz on, and every mode sits on its neighbours' tails), a fit of one peak at a
// time is pulled by those tails; fitting every mode of the range together with a background
// leaves nothing unexplained.
//
// The model for complex data: D(f) = e^(-i 2 pi f tau) (sum_j c_j T_j(f) + a + b f / 10 kHz),
// with the driven damped oscillator T_j(f) = 2 W_j F_j / (F_j^2 - f^2 + i 2 W_j f) in the
// convention of the measured spectra (the phase falls through a resonance), complex amplitudes
// c_j, a complex background a + b f, and a delay tau left over from the latency. For every
// choice of the F_j, W_j and tau the amplitudes and the background are the linear least-squares
// solution (variable projection); those are found by Levenberg-Marquardt with the projected
// Jacobian (Kaufman's), so that a step costs a few passes over the points.
//
// For magnitude data (no phases measured): |sum_j c_j T_j(f) + a + b f / 10 kHz| with a real
// background, every parameter found by Levenberg-Marquardt. The background's phase is then the
// reference of the amplitudes' phases; without a background they are not determined, and their
// errors say so.
#pragma once

#include <complex>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace sonarix {

struct ModeGuess {
    double frequency = 0.0;  // Hz
    double width = 0.0;      // Hz, the half width at half maximum of the power
};

struct FittedMode {
    double frequency = 0.0, width = 0.0;
    std::complex<double> amplitude;  // c_j: the spectrum's value at F_j is about c_j / i
    // One standard deviation, from the curvature at the minimum and the residuals' scatter;
    // the phase's in radians (of arg c_j), the amplitude's of |c_j|. For magnitude data the
    // strongest mode's phase is the others' reference: its error is NaN, theirs is against it.
    double frequencyError = 0.0, widthError = 0.0, amplitudeError = 0.0, phaseError = 0.0;
    double q = 0.0, qError = 0.0;  // Q = F / (2 W), its error with F's and W's covariance
    // The mode's own phase: that of c_j e^(-i 2 pi F_j tau), as the measured spectrum holds it
    // at F_j (the fitted delay stands in for what the background cannot model, and turns c_j
    // by 2 pi F_j tau; on a calibrated spectrum this is the resonator's phase), radians in
    // (-pi, pi], and its error with the delay's and its covariance. For magnitude data arg c_j.
    double ownPhase = 0.0, ownPhaseError = 0.0;
    // Beyond the fit range: fitted for its flank, which reaches into the range (the mode
    // search sets it); not one of the range's results.
    bool beyond = false;
};

struct AllModesFit {
    std::vector<FittedMode> modes;  // in the order of the guesses
    std::complex<double> offset, slope;
    double delay = 0.0, delayError = 0.0;  // s; 0 for magnitude data
    double rms = 0.0;                      // of the residuals, per real component
    // How much the residuals of neighbouring points go together: the factor by which the
    // errors' variances were raised over those of independent points (1: independent).
    double correlation = 1.0;
    int iterations = 0;
    int points = 0;      // real values fitted (two per frequency for complex data)
    int parameters = 0;  // real parameters fitted
    bool converged = false;
    bool complexData = true;
    bool valid = false;   // a fit was made (enough points, no singular projection)
    std::string failure;  // why not, when not valid
};

struct AllModesOptions {
    // Complex data: whether the delay is fitted. Its start is `delay` when that is a number,
    // else it is found from the data.
    bool fitDelay = true;
    double delay = std::numeric_limits<double>::quiet_NaN();  // s
    // Frequencies and widths held at their starts: only the amplitudes, the background and (if
    // fitted) the delay are fitted; without the delay a linear problem, solved at once.
    bool holdShapes = false;
    int maxIterations = 100;
};

// The model's value at f (complex data; for magnitude data its modulus is the model).
std::complex<double> AllModesValue(const AllModesFit& fit, double f);

// The fit a step at a time, for a window that runs it from its event loop. Needs more points
// than parameters; a fit that cannot start says why in Result().failure.
class AllModesSolver {
public:
    // Complex data.
    AllModesSolver(std::vector<double> frequencies, std::vector<std::complex<double>> data,
                   const std::vector<ModeGuess>& guesses, const AllModesOptions& options = {});
    // Magnitude data.
    AllModesSolver(std::vector<double> frequencies, std::vector<double> magnitudes,
                   const std::vector<ModeGuess>& guesses, const AllModesOptions& options = {});
    ~AllModesSolver();
    AllModesSolver(const AllModesSolver&) = delete;
    AllModesSolver& operator=(const AllModesSolver&) = delete;

    // One Levenberg-Marquardt iteration; false once the fit has ended (converged, stalled,
    // at the iteration limit, or unable to start).
    bool Step();
    int Iterations() const;
    // The result at the current parameters, with the errors from the full curvature there.
    AllModesFit Result() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

// The whole fit of complex data at once. Done when a step gains less than 1e-4 of the residuals'
// variance (every parameter then moves by far less than its error), when no step goes down any
// more, or after `maxIterations` (converged = false).
AllModesFit FitAllModes(const std::vector<double>& frequencies,
                        const std::vector<std::complex<double>>& data,
                        const std::vector<ModeGuess>& guesses, const AllModesOptions& options = {});
// The same for magnitudes.
AllModesFit FitAllModesToMagnitudes(const std::vector<double>& frequencies,
                                    const std::vector<double>& magnitudes,
                                    const std::vector<ModeGuess>& guesses,
                                    const AllModesOptions& options = {});

}  // namespace sonarix
