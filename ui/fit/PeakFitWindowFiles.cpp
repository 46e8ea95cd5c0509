// The fit window's files and pictures: Save Fit Data, Save Fit Parameter, Save Fit Report,
// Save as Image, Printer Setup and Print.
#include <QLabel>
#include <QLineEdit>

#include "fitting/FitReport.h"
#include "measurement/Messages.h"
#include "measurement/TextFiles.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "plot/PictureExport.h"
#include "ui/fit/PeakFitWindow.h"

namespace sonarix {
namespace {

constexpr const char* kNoFitReport =
    "There is no fit report yet: it holds the standard errors of a finished fit run, until a "
    "peak is changed by hand";

}  // namespace

void PeakFitWindow::SaveFitDataExecute() {
    const std::optional<std::string> name = ChooseFitDataFile();
    if (!name) return;
    SaveTextFile(*name, FitFunctionLines(m_fit->data));
}

void PeakFitWindow::SaveFitParameterExecute() {
    const std::optional<std::string> name = ChooseParameterFile();
    if (!name) return;
    SaveTextFile(*name, FitParameterLines(m_fit->peaks));
}

void PeakFitWindow::SaveFitReportExecute() {
    if (!m_reportShown && !m_fit->Whole) {
        ShowMessage(kNoFitReport);
        return;
    }
    const std::optional<std::string> name = ChooseReportFile();
    if (!name) return;
    SaveTextFile(*name, m_fit->Whole ? WholeFitReportLines(*m_fit->Whole)
                                     : FitReportLines(m_runner->Report(), m_fit->peaks));
}

VectorDrawing PeakFitWindow::PlotVectors() {
    return CanvasVectors(*m_canvas, [this] { DrawFitPlot(); });
}

PrintTitle PeakFitWindow::PlotTitle() const {
    QString text = QStringLiteral("Fit:");
    for (int k = 1; k <= kPeaks; ++k) {
        if (m_fit->peaks.PeakAmplitude[k] <= 0.0) continue;
        text += QStringLiteral("  %1 Hz (width %2 Hz)")
                    .arg(m_fit->peaks.PeakFrequency[k], 0, 'f', 1)
                    .arg(m_fit->peaks.PeakWidth[k], 0, 'f', 1);
    }
    return {{text, 0}};
}

}  // namespace sonarix
