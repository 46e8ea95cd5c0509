// The spectrum plot of the main window: RedrawSpectra finds the common scale of the four slots
// and draws them over the axes; RedrawStep brings the picture up to date after a sweep's step
// by drawing only what changed (points appended to one slot).
#pragma once

#include <QFont>
#include <QImage>
#include <QRect>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "measurement/SharedState.h"

namespace sonarix {

class Canvas;

// Draws the spectrum store into the canvas. Keeps its point buffers between redraws, so a
// redraw allocates nothing.
class SpectrumPlot {
public:
    SpectrumPlot();

    // The complete redraw: range scan (PlotAmpMax, PlotFreqMin, PlotFreqMax), the frequency
    // axis extended to `axisEnd` where given (the stop frequency while the output plays),
    // clear, axes, the slots in order. Only the panel's part of the image is cleared and
    // drawn: the rest is never shown.
    void RedrawSpectra(SharedState& s, Canvas& canvas, int panelWidth, int panelHeight,
                       std::optional<double> axisEnd);

    // The same picture, pixel for pixel, for a store that has changed since the last redraw
    // only by points appended to one slot (a sweep's step): when the scale stays, only the
    // columns of the new segment are drawn again (the axes' pixels there from a copy, then
    // every slot's lines through those columns in order); anything else is redrawn
    // completely. Returns the part of the image that changed.
    QRect RedrawStep(SharedState& s, Canvas& canvas, int panelWidth, int panelHeight,
                     std::optional<double> axisEnd);

    // Marks drawn under the curves: a grey line at each frequency within the axis, its label
    // at the top ("View / Sphere Modes"). None: the picture as without them.
    struct Mark {
        double frequency = 0.0;
        QString label;
        bool operator==(const Mark&) const = default;
    };
    void SetMarks(std::vector<Mark> marks);
    const std::vector<Mark>& Marks() const { return m_marks; }

private:
    struct Scale {
        double ampMax = 0, freqMin = 0, freqMax = 0;
        bool operator==(const Scale&) const = default;
    };
    // What the picture shows, to tell whether a step may be drawn on it.
    struct Drawn {
        bool valid = false;
        int panelWidth = 0, panelHeight = 0;
        std::array<int32_t, 4> margins{};
        int penWidth = 1;
        uint32_t fontColor = 0;
        QFont font;
        std::optional<double> axisEnd;
        Scale data;  // the slots' own range, before the axis is widened
        Scale scale;
        std::array<int, kSlots> count{};
        std::array<uint32_t, kSlots> color{};
        std::array<bool, kSlots> sorted{};  // pixel columns never fall along the curve
        // The store's SpecReplaced: data that replaced a slot's, as many points or more (a fast
        // measurement, an open, an undo), are no step and are drawn completely.
        uint64_t replaced = 0;
    };

    void Redraw(SharedState& s, Canvas& c, int panelWidth, int panelHeight,
                std::optional<double> axisEnd, bool keepBackground);
    static Scale Widened(Scale data, std::optional<double> axisEnd);
    // Draws the segments of `slot` that put pixels into columns lo ... hi.
    void DrawThrough(Canvas& c, int slot, int lo, int hi) const;

    std::array<std::vector<int>, kSlots> m_x;  // the mapped points of each slot
    std::array<std::vector<int>, kSlots> m_y;
    Drawn m_drawn;
    std::vector<Mark> m_marks;
    QImage m_background;  // the panel after the axes, before the slots
};

}  // namespace sonarix
