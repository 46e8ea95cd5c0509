// What the three plotting windows (the spectrum, the fit and the polar plot) share: the plot's
// panel and image with its canvas, and "Save as Image", "Printer Setup" and "Print" of the
// visible plot. A window derives from it beside its Qt base and says what its plot is as
// vectors and what the printed page's title says.
#pragma once

#include <memory>

#include "plot/PictureExport.h"

class QWidget;

namespace sonarix {

class Canvas;
class TImage;

class PlotWindow {
public:
    PlotWindow(const PlotWindow&) = delete;
    PlotWindow& operator=(const PlotWindow&) = delete;

    QWidget* PlotPanel = nullptr;  // the visible part of the plot
    TImage* PlotImage = nullptr;   // the plot surface

    Canvas& PlotCanvas() { return *m_canvas; }
    PlotOutput& Output() { return *m_output; }

    void SaveAsImageExecute();
    void PrinterSetupExecute();
    void PrintExecute();

    // The plot drawn once more as vectors (SVG, PDF and the printer), and the title printed
    // above it.
    virtual VectorDrawing PlotVectors() = 0;
    virtual PrintTitle PlotTitle() const = 0;

protected:
    PlotWindow();
    virtual ~PlotWindow();
    // The canvas on the image, and the picture and printer dialogs of `window`; once, after
    // the image is made.
    void UsePlot(QWidget& window);

    std::unique_ptr<Canvas> m_canvas;
    std::unique_ptr<PlotOutput> m_output;
};

}  // namespace sonarix
