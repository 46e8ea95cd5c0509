// What a window hands the plotting window it opens, by value, so that no window needs another
// window's class: the fit window gets the slot, the display choice, the panel width, the font
// and the pen width of the main window.
#pragma once

#include <cstdint>
#include <vector>

#include "plot/FontDialog.h"

namespace sonarix {

struct PlotHandOver {
    int slot = 0;          // the selected spectrum slot, 0 ... 3
    int displayItem = 0;   // "normal", "wide", "very wide", "maximal": 0 ... 3
    int panelWidth = 800;  // pixels of the plot panel
    FontChoice font;       // the plot font and its text colour
    int penWidth = 1;      // pixels
};

// The spectrum slot and the view of the main window at "Fit Spectrum".
struct FitHandOver {
    PlotHandOver view;
    std::vector<double> frequency, amplitude;  // the slot's points 1 ... n, as 0 ... n - 1
    std::vector<double> phase;                 // their phases [degrees], if the slot has them
    uint32_t color = 0;                        // the slot's pen colour
    double plotFreqMin = 100000.0;             // the main plot's range at its last redraw
    double plotFreqMax = 0.0;
};

}  // namespace sonarix
