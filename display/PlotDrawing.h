// The spectrum plot of the main window: RedrawSpectra finds the common scale of the four slots
// and draws them over the axes.
#pragma once

#include <array>
#include <optional>

#include "measurement/Unit1.h"

namespace sonarix {

class Canvas;

// Draws the spectrum store into the canvas. Keeps its point buffers between redraws, so a
// redraw allocates nothing.
class SpectrumPlot {
public:
    // The complete redraw: range scan (PlotAmpMax, PlotFreqMin, PlotFreqMax), the frequency
    // axis extended to `axisEnd` where given (the stop frequency while the output plays),
    // clear, axes, the slots in order. Only the panel's part of the image is cleared and
    // drawn: the rest is never shown.
    void RedrawSpectra(SharedState& s, Canvas& canvas, int panelWidth, int panelHeight,
                       std::optional<double> axisEnd);

private:
    std::array<int, kSlotCapacity> m_x{};
    std::array<int, kSlotCapacity> m_y{};
};

}  // namespace sonarix
