// The acoustics of a gas-filled rigid sphere of two hemispheres, for the virtual apparatus and
// for the theory shown beside a measurement: the modes' frequencies (zeros of j_l'), the air
// at a temperature, the boundary-layer losses, the splitting of each (l, n) by a spacer ring
// between the hemispheres (first-order boundary perturbation, docs/sphere-model.md), and how
// strongly each |m| couples a loudspeaker and a microphone 45 degrees from their poles.
#pragma once

#include <vector>

namespace physics {

// The speed of sound in dry air, m/s: 331.3 sqrt(1 + T / 273.15), T in degrees Celsius.
double SpeedOfSound(double celsius);

// Dry air at normal pressure.
struct Air {
    double c = 0.0;                   // speed of sound, m/s
    double density = 0.0;             // kg/m^3
    double viscosity = 0.0;           // Pa s
    double thermalDiffusivity = 0.0;  // m^2/s
    double gamma = 1.4;
};
Air AirAt(double celsius);

// A zero x of j_l' (the n-th positive one for this l): the mode (l, n) of a sphere of radius a
// sounds at f = c x / (2 pi a).
struct SphereRoot {
    int l = 0, n = 0;
    double x = 0.0;
};
// Every zero below xMax, ascending in x.
std::vector<SphereRoot> SphereRoots(double xMax);

// The half width (Hz) that the viscous and thermal boundary layers give mode (l, x) at
// frequency f in a sphere of radius a (m): f / (2a) [(gamma - 1) d_t + l(l+1)/x^2 d_v] /
// (1 - l(l+1)/x^2), with the penetration lengths d_t = sqrt(D_t / (pi f)) and
// d_v = sqrt(eta / (rho pi f)). The layers also lower the frequency by the same amount.
double BoundaryLayerHalfWidth(int l, double x, double f, double radius, const Air& air);

// The relative frequency shift of member |m| of mode (l, x) when a ring of thickness `ring`
// (m) holds the hemispheres of a sphere of radius a apart (first order in ring / a). Averaged
// over the 2l + 1 members it is -ring / (4a): the shift of a sphere of the same volume.
double RingShift(int l, int m, double x, double radius, double ring);

// How member |m| of order l couples the loudspeaker and the microphone, each 45 degrees from
// its hemisphere's pole, at hemisphere angle alpha: PairWeight(l, m) cos(m alpha). Over
// m = 0 ... l these add up to P_l(cos gamma), cos gamma = (cos alpha - 1) / 2 (the addition
// theorem).
double PairWeight(int l, int m);

}  // namespace physics
