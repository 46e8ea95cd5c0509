// The physical model of the virtual apparatus: loudspeaker, spherical cavity, microphone.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

namespace audio {

// One acoustic mode of the cavity, in the terms of the resonance fit: resonance frequency F,
// amplitude A (the modulus of its response at F, per unit drive) and width W, all for
// hemisphere angle 0 before the angle gain.
struct CavityMode {
    int l = 0;  // angular order
    int n = 0;  // radial index, 1 = lowest mode of that order
    double frequency = 0.0;
    double amplitude = 0.0;
    double width = 0.0;
};

// The modes of a rigid sphere: f = c x'_ln / (2 pi a) with x'_ln the n-th positive zero of the
// derivative of the spherical Bessel function j_l, every mode below maxFrequency, ascending.
std::vector<CavityMode> SphereModes(double radius, double speedOfSound, double maxFrequency);

// Gain of a mode of order l at hemisphere angle alpha (degrees): P_l(cos theta) with
// cos theta = (cos alpha - 1) / 2.
double AngleGain(int l, double alphaDegrees);

// Signal path, one sample at a time at 44100 Hz: drive (full scale 1.0) through a second-order
// Butterworth high-pass (the loudspeaker), then a bank of resonators plus a weak direct path.
// Each resonator is a two-pole filter with the poles of the damped oscillator
// (exp((-2 pi W +- i 2 pi sqrt(F^2 - W^2)) / 44100)) whose numerator is chosen so that its
// response at F equals the oscillator term A 2WF / (F^2 - f^2 - i 2Wf) there exactly (taken in
// the e^{+i omega t} convention, i.e. conjugated); near F it follows the term closely.
// Not thread-safe: the owner serialises access.
class ResonatorModel {
public:
    static constexpr double kSampleRate = 44100.0;

    explicit ResonatorModel(std::vector<CavityMode> modes, double highPassHz = 100.0,
                            double directGain = 0.02);
    // The default apparatus: rigid sphere of radius 50 mm, c = 343 m/s, modes below 10 kHz.
    static ResonatorModel DefaultSphere();

    const std::vector<CavityMode>& Modes() const { return m_modes; }
    void SetAngle(double alphaDegrees);
    double Angle() const { return m_angle; }

    // Advances the filters by one sample of drive and returns the pressure at the microphone.
    double Process(double drive);
    // Clears the filter memories.
    void Reset();

    // The exact steady-state response of the digital signal path at frequency f.
    std::complex<double> Response(double f) const;

private:
    struct Biquad {
        double b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        double Step(double x);
        std::complex<double> At(double f) const;
    };

    std::vector<CavityMode> m_modes;
    std::vector<Biquad> m_resonators;
    std::vector<double> m_gains;  // angle gain of each mode
    Biquad m_highPass;
    double m_direct;
    double m_angle = 0.0;
    // Every filter has rung down to below kSilence (far below what a 16-bit sample shows) and
    // holds zeros.
    bool m_silent = false;
    static constexpr double kSilence = 1e-15;
};

}  // namespace audio
