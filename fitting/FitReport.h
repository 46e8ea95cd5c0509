// What a fit run determined beyond the peak table: the standard error of every free parameter
// from the curvature matrix at the solution, the quality factor Q = F / (2W) of each active
// peak with its error, and the fit report file of "Save Fit Report".
#pragma once

#include <array>
#include <string>

#include "fitting/Marquardt.h"

namespace sonarix {

struct PeakTable;

struct PeakErrors {
    bool valid = false;
    double frequency = 0.0, amplitude = 0.0, width = 0.0, phase = 0.0;  // standard errors
    double q = 0.0, qError = 0.0;
    // Another solution fits the amplitudes as well with this peak's amplitude and phase far
    // from these (fitted to amplitudes alone, overlapping peaks): those the data do not
    // determine; the other solution's values.
    bool undetermined = false;
    double otherAmplitude = 0.0, otherPhase = 0.0;
};

struct FitReport {
    bool valid = false;  // a finished run with more points than free parameters
    std::array<PeakErrors, kPeaks + 1> peaks{};  // 1 ... 8
    double chisq = 0.0;
    int points = 0;      // n
    int parameters = 0;  // m
    int steps = 0;
    bool phases = false;  // complex data fitted: amplitudes and phases
    double delay = 0.0;   // the delay found with them [s]
    bool whole = false;   // made by the whole-spectrum fit ("Fit All Modes")
};

// Whether an amplitude and phase are told by the data: the amplitude's error below half of it
// and the phase's below 30 degrees.
bool Determined(double amplitude, double amplitudeError, double phaseErrorDegrees);

struct FittedMode;
// A whole-spectrum fit's mode in the report's terms (phases in degrees, as the table's).
PeakErrors ErrorsOf(const FittedMode& mode);

// Q = F / (2W): the model's modulus falls to A / sqrt(2) at F +- W. 0 for W = 0.
double QualityFactor(double frequency, double width);

// The covariance is the inverse of the curvature matrix alpha at a, scaled by
// chi-square / (n - m) since the points carry no measured sigma (all 1). The phase errors are
// in degrees (the solver fits tan(phase / 2)); fitted to amplitudes alone they belong to the
// phases' differences to the first fitted peak, the reference, whose own error is NaN (a
// common turn of all phases leaves the modulus as it is); with complex data each phase has its
// own error. Q's error takes the covariance of F and W into account. Peaks outside the
// fit list stay invalid; a singular matrix or n <= m gives an invalid report.
FitReport ComputeFitReport(const FitPoints& points, const Params& a, const FitList& lista, int mfit,
                           int steps);

// The fit report file: one header line, then one line per active peak (number, F, sigma F,
// A, sigma A, W, sigma W, phase, sigma phase, Q, sigma Q, chi-square, n, m, steps), comma
// separated, point as decimal separator, CR LF; the reference's sigma phase is empty. A last
// column says what was fitted: "amplitude", or "amplitude and phase"; the last whether the data
// determine the peak's amplitude and phase ("yes", or "no" where another solution fits as
// well).
std::string FitReportLines(const FitReport& report, const PeakTable& peaks);
// The same file of a whole-spectrum fit, one line per mode, all of them; its delay and the fit's
// name in two more columns ("Fit": "whole spectrum"; the Parts' fit writes "Start Fit").
struct AllModesFit;
std::string WholeFitReportLines(const AllModesFit& fit);

}  // namespace sonarix
