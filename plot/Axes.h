// The axes every plot of the program draws: DrawAxes sets the margins from the font and
// draws frame, titles, ticks and labels; TickStep finds the 1-2-5 tick step.
#pragma once

#include <cstdint>

namespace sonarix {

class Canvas;
struct PlotGeometry;

// The plot's margins, in pixels of the plot image; DrawAxes sets left and bottom.
struct PlotMargins {
    int32_t& left;
    int32_t& bottom;
    int32_t right;
    int32_t top;
};

// A vertical axis other than the amplitude's: from min to max (at the top), labelled every step
// with `decimals` decimals, under the turned title.
struct VerticalAxis {
    double min = 0.0, max = 1.0, step = 1.0;
    int decimals = 0;
    const char* title = "";
};

// Sets margins.left and margins.bottom from the canvas font, then draws the axes for the
// frequency range freqMin ... freqMax and the amplitude range 0 ... ampMax on a panel of
// panelWidth x panelHeight pixels (or, with `vertical`, that axis instead of the amplitude's).
// The image must have been cleared.
void DrawAxes(Canvas& canvas, int panelWidth, int panelHeight, double freqMin, double freqMax,
              double ampMax, PlotMargins margins, const VerticalAxis* vertical = nullptr);

// The curve (f[i], a[i]), i < n, mapped by `g` into x and y (n entries each, kept for the
// caller) and drawn in the pen's colour; a vector picture attached to the canvas gets the
// points unrounded.
void DrawCurve(Canvas& canvas, const PlotGeometry& g, const double* f, const double* a, int n,
               int* x, int* y);

// The 1-2-5 tick step for a range, starting from `start` (10000 for frequencies, 100 for
// amplitudes) and never below 0.0001.
double TickStep(double range, double start);

}  // namespace sonarix
