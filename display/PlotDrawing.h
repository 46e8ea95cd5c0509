// The spectrum plot: RedrawSpectra finds the common scale of the four slots and draws them;
// DrawAxes sets the margins from the font and draws frame, titles, ticks and labels.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "measurement/Unit1.h"

namespace sonarix {

class Canvas;

// The plot's margins, in pixels of the plot image.
struct PlotMargins {
    int32_t& left;
    int32_t& bottom;
    int32_t right;
    int32_t top;
};

// Sets margins.left and margins.bottom from the canvas font, then draws the axes for the
// frequency range freqMin ... freqMax and the amplitude range 0 ... ampMax on a panel of
// panelWidth x panelHeight pixels. The image must have been cleared.
void DrawAxes(Canvas& canvas, int panelWidth, int panelHeight, double freqMin, double freqMax,
              double ampMax, PlotMargins margins);

// The 1-2-5 tick step for a range, starting from `start` (10000 for frequencies, 100 for
// amplitudes) and never below 0.0001.
double TickStep(double range, double start);

// Draws the spectrum store into the canvas. Keeps its point buffers between redraws, so a
// redraw allocates nothing.
class SpectrumPlot {
public:
    // The complete redraw: range scan (PlotAmpMax, PlotFreqMin, PlotFreqMax), the stop
    // frequency text read while `playing`, clear, axes, the slots in order. Only the panel's
    // part of the image is cleared and drawn: the rest is never shown.
    void RedrawSpectra(SharedState& s, Canvas& canvas, int panelWidth, int panelHeight,
                       bool playing, std::string_view stopFrequencyText);

private:
    std::array<int, kSlotCapacity> m_x{};
    std::array<int, kSlotCapacity> m_y{};
};

}  // namespace sonarix
