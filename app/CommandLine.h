// `sonarix measure`: a stepped or fast measurement from the command line, without a window,
// written as a spectrum file (and, asked for, a session file).
#pragma once

namespace sonarix {

inline constexpr const char* kMeasureUsage =
    "Usage: sonarix measure [options] FILE\n"
    "\n"
    "Measures one spectrum without a window and writes it to FILE as \"Save Spectrum\" does.\n"
    "\n"
    "  --virtual          on the built-in virtual apparatus (its own clock: the measurement\n"
    "                     takes moments), otherwise on the sound card\n"
    "  --start HZ         Start Frequency (100)\n"
    "  --stop HZ          Stop Frequency (10000)\n"
    "  --step HZ          Step (10)\n"
    "  --time MS          Time per Step (50)\n"
    "  --fast             the fast measurement instead of the stepped sweep\n"
    "  --spacing HZ       its spacing: 0.5, 1, 2, 5 or 10 (1)\n"
    "  --lock-in          Lock-in instead of the FFT filter\n"
    "  --no-fft-filter    the stepped sweep without the FFT filter\n"
    "  --volume N         Amplitude Output Signal, 0 ... 100 (50)\n"
    "  --seed N           the virtual apparatus's noise\n"
    "  --angle DEG        the virtual apparatus's angle between the hemispheres (180)\n"
    "  --ring MM          its spacer ring: 0, 3, 6 or 9 (0)\n"
    "  --temperature C    its air temperature (20)\n"
    "  --session FILE     a session file with the spectrum in slot 1 as well\n"
    "\n"
    "Progress goes to standard error. Exit status: 0 written, 2 wrong arguments, 3 no sound\n"
    "output or recording, 4 the measurement was refused or ended early, 5 a file could not be\n"
    "written.\n";

// argv[1] is "measure". Returns the exit status.
int RunMeasureCommand(int argc, char** argv);

}  // namespace sonarix
