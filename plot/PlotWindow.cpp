// The plotting windows' shared part.
#include "plot/PlotWindow.h"

#include <QWidget>

#include "plot/Canvas.h"
#include "plot/Controls.h"

namespace sonarix {

PlotWindow::PlotWindow() = default;

PlotWindow::~PlotWindow() = default;

void PlotWindow::UsePlot(QWidget& window) {
    m_canvas = std::make_unique<Canvas>(&PlotImage->Picture);
    m_output = std::make_unique<PlotOutput>(&window);
}

void PlotWindow::SaveAsImageExecute() {
    m_output->SaveAsImage(
        PlotOutput::VisiblePlot(PlotImage->Picture, PlotPanel->width(), PlotPanel->height()),
        PlotVectors());
}

void PlotWindow::PrinterSetupExecute() { m_output->PrinterSetup(); }

void PlotWindow::PrintExecute() {
    m_output->Print(
        PlotOutput::VisiblePlot(PlotImage->Picture, PlotPanel->width(), PlotPanel->height()),
        PlotVectors(), PlotTitle());
}

}  // namespace sonarix
