// The classroom exercise: the speed of sound from a sphere's measured resonances. Each peak is
// assigned to the mode (l, n) of a sphere of the given radius whose frequency c x_ln / (2 pi a)
// lies nearest for the speed of sound that fits all peaks best; the boundary layers' lowering
// of each mode (docs/sphere-model.md) is added back; each peak then gives c = 2 pi a f / x_ln,
// and their mean, with the standard error of the mean from their scatter, is the result.
#pragma once

#include <string>
#include <vector>

namespace sonarix {

struct AssignedPeak {
    double frequency = 0.0;  // Hz, as measured
    int l = 0, n = 0;
    double x = 0.0;           // the zero of j_l'
    double speed = 0.0;       // m/s, from this peak alone
    double speedError = 0.0;  // from its frequency's error (0 without one)
};

struct SoundSpeed {
    bool found = false;
    std::string why;                           // when not found
    double speed = 0.0, speedError = 0.0;      // m/s, one standard error
    double celsius = 0.0, celsiusError = 0.0;  // the temperature the speed means in dry air
    std::vector<AssignedPeak> peaks;           // in the order given
};

// At least two peaks between 100 Hz and 30 kHz, a radius between 1 cm and 1 m; speeds from
// 250 to 450 m/s are considered. Two peaks assigned to the same mode, or a peak more than 2 %
// from every mode, give no result and say why.
// With the peaks' frequency errors (one each, finite and positive), the speed is their
// weighted mean and its error that of the weights, raised by the peaks' scatter where it
// exceeds what the errors give (the Birge ratio): so a bias of a few peaks shows in the error.
// Without them, the plain mean and the standard error of the mean from the scatter.
SoundSpeed SpeedOfSoundFrom(const std::vector<double>& frequencies, double radius,
                            const std::vector<double>& frequencyErrors = {});

}  // namespace sonarix
