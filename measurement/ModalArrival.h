// The arrival of a signal through a resonant cavity, from the phases of its resonances.
//
// A loudspeaker of constant volume acceleration and a microphone, both small against the
// wavelength, couple to each mode of a closed cavity by the mode's value at their places: the
// path's transfer function is a sum of resonances A W / (F - f + i W) with real A (either
// sign). What a delay adds, e^{-i 2 pi f D}, turns each resonance's residue by 2 pi F D; the
// delay that makes them all real again is the arrival. The minimum phase of the path's
// magnitude cannot tell: the cavity's propagation (its zeros outside the unit circle) reads as
// delay there, a few tenths of a millisecond for a sphere of a few centimetres.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace sonarix {

// One resonance as found: where its window lies and its peak in half widths from that bin.
struct ModalResonance {
    size_t bin = 0;     // the maximum of |h|
    double half = 0.0;  // its half width, bins
    size_t reach = 0;   // the fit's window: bin +- reach
    double x0 = 0.0;    // the peak, in half widths from bin
    double w = 1.0;     // the half width, in `half`s
    double frequency = 0.0;
};

struct ModalArrival {
    bool found = false;
    double shiftSamples = 0.0;  // the delay still in the transfer function, at 44100 Hz
    int resonances = 0;         // resonances whose residues decided it
    double leadHz = 0.0;        // the loudspeaker's lead, leadHz / F radians at F, fitted with it
    double rmsDegrees = 0.0;    // their residues' distance from real, after shift and lead
    double unexplained = 1.0;   // the band's share that no real sum of its resonances explains
    std::vector<ModalResonance> used;
};

// h: the path's transfer function on bins k = 0 ... h.size() - 1 of binHz each, with its
// current arrival estimate taken out; the resonances are sought on bins low ... high. The
// shift is looked for within -40 ... +2 samples (the cavity's propagation makes the excess
// phase read late, never early) and found only when at least three clear
// resonances agree on it (rms within 6 degrees) and, among the shifts they agree on, the
// whole band is a real sum of the resonances and a smooth background clearly best there.
ModalArrival FindModalArrival(const std::vector<std::complex<double>>& h, double binHz, size_t low,
                              size_t high);

// The same path once more (another block of the same recording, its own estimate taken out):
// the resonances `first` used, their residues fitted anew with their places and widths held,
// and the shift followed from `from` (first's, moved by the difference of the estimates).
// Found when they still agree within 6 degrees.
ModalArrival FollowModalArrival(const std::vector<std::complex<double>>& h,
                                const ModalArrival& first, double from);

}  // namespace sonarix
