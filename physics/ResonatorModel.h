// The physical model of the virtual apparatus: loudspeaker, spherical cavity, microphone.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

namespace physics {

// One acoustic mode of the cavity, in the terms of the resonance fit: resonance frequency F,
// amplitude A (the modulus of its response at F, per unit drive) and width W, all for
// hemisphere angle 0 before the angle gain.
struct CavityMode {
    int l = 0;  // angular order
    int n = 0;  // radial index, 1 = lowest mode of that order
    double frequency = 0.0;
    double amplitude = 0.0;
    double width = 0.0;
    // -1: all 2l + 1 members together (they sound as P_l(cos gamma)); 0 ... l: the members +-m
    // alone, split off by a spacer ring (they sound as PairWeight(l, m) cos(m alpha)).
    int m = -1;
};

// The modes of a rigid sphere: f = c x'_ln / (2 pi a) with x'_ln the n-th positive zero of the
// derivative of the spherical Bessel function j_l, every mode below maxFrequency, ascending.
std::vector<CavityMode> SphereModes(double radius, double speedOfSound, double maxFrequency);

// Gain of a mode of order l at hemisphere angle alpha (degrees): P_l(cos theta) with
// cos theta = (cos alpha - 1) / 2.
double AngleGain(int l, double alphaDegrees);
// The same for one mode: its members' sum, or member |m| alone.
double AngleGain(const CavityMode& mode, double alphaDegrees);

// A sphere as the virtual apparatus's window sets it up (docs/sphere-model.md).
struct SphereSetup {
    double radius = 0.050;          // m
    double celsius = 20.0;          // the air's temperature
    double ring = 0.0;              // m, the spacer ring between the hemispheres; 0: none
    double openingHalfWidth = 8.0;  // Hz, the openings' and gaps' loss, every mode alike
    double maxFrequency = 10000.0;  // modes up to here
    bool operator==(const SphereSetup&) const = default;
};
// Its modes, ascending: frequencies from the zeros of j_l' at the air's speed of sound, split
// by the ring and lowered by the boundary layers; half widths from the boundary layers plus
// the openings; amplitudes from the modal sum (the addition theorem's 2l + 1 and the modes'
// normalisation at the wall, a loudspeaker of constant volume acceleration).
std::vector<CavityMode> SphereModes(const SphereSetup& setup);

// Signal path, one sample at a time at 44100 Hz: drive (full scale 1.0) through a second-order
// Butterworth high-pass (the loudspeaker), then a bank of resonators plus a weak direct path.
// Each resonator is the impulse-invariant two-pole filter of the oscillator term
// A 2WF / (F^2 - f^2 - i 2Wf) (taken in the e^{+i omega t} convention, i.e. conjugated): its
// poles are the damped oscillator's, exp((-2 pi W +- i 2 pi sqrt(F^2 - W^2)) / 44100), and its
// response follows the term across the band to a part in 10^4.
// Not thread-safe: the owner serialises access.
class ResonatorModel {
public:
    explicit ResonatorModel(std::vector<CavityMode> modes, double highPassHz = 100.0,
                            double directGain = 0.02);
    // The idealised apparatus: rigid sphere of radius 50 mm, c = 343 m/s, modes below 10 kHz,
    // Q = 100 for all, a direct path of 0.02.
    static ResonatorModel DefaultSphere();
    // The sphere of the setup. No direct path: in a closed cavity the direct sound is the sum
    // of all modes, and the modes above the setup's, which would carry it, cannot resonate in
    // a model sampled at 44.1 kHz (see docs/sphere-model.md).
    static ResonatorModel Sphere(const SphereSetup& setup);

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

}  // namespace physics
