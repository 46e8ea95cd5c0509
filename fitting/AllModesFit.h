// All the modes of a complex spectrum at once. Where a resonator's modes overlap (a sphere's at
// Q = 100 do from a few kHz on), a fit of one peak at a time is pulled by its neighbours' tails
// by several Hz; fitting every mode together with a background leaves nothing unexplained.
//
// The model: D(f) = e^(-i 2 pi f tau) (sum_j c_j T_j(f) + a + b f / 10 kHz), with the driven
// damped oscillator T_j(f) = 2 W_j F_j / (F_j^2 - f^2 + i 2 W_j f) in the convention of the
// measured spectra (the phase falls through a resonance), complex amplitudes c_j, a complex
// background a + b f, and a delay tau left over from the latency. For every choice of the F_j,
// W_j and tau the amplitudes and the background are the linear least-squares solution
// (variable projection); those are found by Levenberg-Marquardt.
#pragma once

#include <complex>
#include <vector>

namespace sonarix {

struct ModeGuess {
    double frequency = 0.0;  // Hz
    double width = 0.0;      // Hz, the half width at half maximum of the power
};

struct FittedMode {
    double frequency = 0.0, width = 0.0;
    std::complex<double> amplitude;  // c_j: the spectrum's value at F_j is about c_j / i
    // One standard deviation, from the curvature at the minimum and the residuals' scatter.
    double frequencyError = 0.0, widthError = 0.0;
};

struct AllModesFit {
    std::vector<FittedMode> modes;  // in the order of the guesses
    std::complex<double> offset, slope;
    double delay = 0.0;  // s
    double rms = 0.0;    // of the residuals, per real component
    int iterations = 0;
    bool converged = false;
};

// Fits the modes to the points (f_i, data_i) from the guesses. Needs more points than twice
// the modes plus two; returns converged = false when the solver found no way down any more
// before a step gained less than 1e-4 of the residuals' variance (every parameter then moves
// by far less than its error), or after `maxIterations`.
// Without `fitDelay` the delay stays 0: for spectra whose latency was calibrated, where a
// delay would only trade against the phases of narrow modes and slow the solver down.
AllModesFit FitAllModes(const std::vector<double>& frequencies,
                        const std::vector<std::complex<double>>& data,
                        const std::vector<ModeGuess>& guesses, bool fitDelay = true,
                        int maxIterations = 100);

}  // namespace sonarix
