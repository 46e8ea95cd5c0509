// The members of a split mode from a whole-spectrum series. Where a spacer ring lifts a
// mode's degeneracy its members lie a few widths apart, and a weak member (l = 2, m = 0
// couples at a sixteenth of the others' strength) sits on a strong neighbour's tail: the
// amplitude read off the spectrum at its frequency is mostly the neighbour's. Fitted together,
// each member's amplitude is its own.
//
// The peaks within kSplitReach of the chosen frequency are found in every angle's spectrum
// (a member silent at one angle sounds at another), fitted together with FitAllModes at each
// angle, and their frequencies and widths (which do not depend on the angle) averaged with the
// fits' weights; with those and the fits' median delay held, each angle's amplitudes are the
// linear least-squares solution. The value at an angle is the magnitude of the chosen peak's
// amplitude.
#pragma once

#include <string>
#include <vector>

#include "fitting/AllModesFit.h"
#include "wavefunction/WaveFunction.h"

namespace sonarix {

inline constexpr double kSplitReach = 150.0;  // Hz either side of the chosen frequency

struct SplitPeaks {
    std::vector<FittedMode> peaks;  // common frequency and width, rising in frequency
    int chosen = -1;                // the peak nearest the chosen frequency
    WaveValues values{};            // its amplitude at every angle (0 where nothing measured)
    std::string why;                // empty when it worked, otherwise the reason in English
};

SplitPeaks FitSplitPeaks(const WaveSeries& series, double frequency);

}  // namespace sonarix
