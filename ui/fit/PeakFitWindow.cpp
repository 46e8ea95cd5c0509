// The fit window.
#include "ui/fit/PeakFitWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <vector>

#include "fitting/FindPeaks.h"
#include "fitting/FitReport.h"
#include "fitting/SpeedOfSound.h"
#include "measurement/FixedText.h"
#include "measurement/Messages.h"
#include "measurement/ReadNumber.h"
#include "measurement/TextFiles.h"
#include "plot/Axes.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "plot/PictureExport.h"

namespace sonarix {
namespace {

constexpr int kStripWidth = 200;
constexpr int kNormalWidthOffset = 215;
constexpr double kWidthPerWheelUnit = 0.002;  // 0.24 Hz per notch of 120

QString Fixed3(double v) { return QString::fromStdString(FixedText(v, 3)); }

}  // namespace

PeakFitWindow::PeakFitWindow(QWidget* parent)
    : QDialog(parent), m_fit(std::make_unique<FitState>()), m_x(kFitCapacity), m_y(kFitCapacity) {
    m_runner = std::make_unique<FitRunner>(*m_fit);
    m_fitTimer = new QTimer(this);
    m_fitTimer->setObjectName(QStringLiteral("FitTimer"));
    m_fitTimer->setSingleShot(true);
    connect(m_fitTimer, &QTimer::timeout, this, [this] { ContinueFit(); });
    setObjectName(QStringLiteral("Form5"));
    setWindowTitle(QStringLiteral("Fit Window"));
    setFont(DialogFont());
    setModal(true);
    MenuBar = Named(new QMenuBar(this), "MenuBar");
    m_client = Named(new QWidget(this), "ClientArea");
    BuildControls(m_client);
    BuildMenus();
    UsePlot(*this);
    m_canvas->SetFont(PlotFont(DialogFont()));
    for (QWidget* w : findChildren<QWidget*>()) {
        if (qobject_cast<QMenu*>(w) == nullptr) w->installEventFilter(this);
    }
    for (int k = 1; k <= kPeaks; ++k) m_fit->peaks.PeakWidth[k] = 20.0;
    ChooseFont = [this](const FontChoice& current) { return ChooseFontAndColour(this, current); };
    ChooseColor = [this](const QColor& current) { return ChooseColour(this, current); };
    ChooseFitDataFile = [this] {
        return RunFileDialog(this, true, "SaveDialog1", QStringLiteral("Save Fit Function"),
                             {QStringLiteral("*.dat (*.dat)"), QStringLiteral("*.* (*)")},
                             QStringLiteral("dat"));
    };
    ChooseRadius = [this](double current) -> std::optional<double> {
        bool ok = false;
        const double r = QInputDialog::getDouble(this, QStringLiteral("Speed of Sound"),
                                                 QStringLiteral("Radius of the sphere [mm]"),
                                                 current, 10.0, 1000.0, 2, &ok);
        if (!ok) return std::nullopt;
        return r;
    };
    ChooseReportFile = [this] {
        return RunFileDialog(this, true, "SaveDialog3", QStringLiteral("Save Fit Report"),
                             {QStringLiteral("*.csv (*.csv)"), QStringLiteral("*.* (*)")},
                             QStringLiteral("csv"));
    };
    ChooseParameterFile = [this] {
        return RunFileDialog(this, true, "SaveDialog2", QStringLiteral("Save Parameter"),
                             {QStringLiteral("*.par (*.par)"), QStringLiteral("*.* (*)")},
                             QStringLiteral("par"));
    };
    resize(kClientWidth, kClientHeight + MenuBar->sizeHint().height());
}

PeakFitWindow::~PeakFitWindow() {
    // A run still in progress goes first: its steps refer to the runner and the fit state.
    m_steps.reset();
}

void PeakFitWindow::LayoutScrollBox() {
    const int bar = MenuBar->sizeHint().height();
    MenuBar->setGeometry(0, 0, width(), bar);
    m_client->setGeometry(0, bar, width(), std::max(0, height() - bar));
    LayoutPlotScrollBox(*PlotScrollBox, *PlotPanel, *m_client, kStripWidth);
}

void PeakFitWindow::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    FitPlotToWindow();
}

void PeakFitWindow::FitPlotToWindow() {
    if (FitDisplayWidth <= 0)
        PlotPanel->resize(std::max(1, width() - kNormalWidthOffset), PlotPanel->height());
    LayoutScrollBox();
    DrawFitPlot();
}

void PeakFitWindow::wheelEvent(QWheelEvent* event) {
    SetPeakWidth(event->angleDelta().y());
    event->accept();
}

bool PeakFitWindow::eventFilter(QObject* watched, QEvent* event) {
    // A sideways wheel (a touchpad) still scrolls the plot.
    if (event->type() == QEvent::Wheel) {
        const int delta = static_cast<QWheelEvent*>(event)->angleDelta().y();
        if (delta != 0) {
            SetPeakWidth(delta);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void PeakFitWindow::hideEvent(QHideEvent* event) {
    FrequencyReadOut
        ->hide();  // the pointer is gone with the window; the next opening starts without
    QDialog::hideEvent(event);
    if (OnClosed) OnClosed();
}

void PeakFitWindow::done(int result) {
    if (m_running) {
        // A fit in progress finishes first; the window closes when it has ended.
        m_closeAfterRun = true;
        m_closeResult = result;
        return;
    }
    QDialog::done(result);
}

int PeakFitWindow::SelectedPeak() const {
    return std::clamp(PeakNumberGroup->ItemIndex(), 0, 7) + 1;
}

PlotGeometry PeakFitWindow::Geometry() const {
    return PlotGeometry{PlotPanel->width(), PlotPanel->height(), m_marginLeft,
                        m_marginBottom,     m_marginRight,       m_marginTop,
                        m_freqMin,          m_freqMax,           m_ampMax};
}

void PeakFitWindow::FitExecute(const FitHandOver& h, bool show) {
    FitData& d = m_fit->data;
    const int n = std::min<int>(static_cast<int>(h.frequency.size()), kFitCapacity);
    const bool phased = static_cast<int>(h.phase.size()) >= n && n > 0;
    // The same spectrum as at the last hand-over keeps its peaks, fit range and fit: closing and
    // opening the window loses nothing.
    const bool same =
        m_handedOver && !m_restored && d.FitCount == n && d.Phased == phased &&
        std::equal(h.frequency.begin(), h.frequency.begin() + n, d.FitFrequency.begin() + 1) &&
        std::equal(h.amplitude.begin(), h.amplitude.begin() + n, d.FitAmplitude.begin() + 1) &&
        (!phased || std::equal(h.phase.begin(), h.phase.begin() + n, d.FitPhase.begin() + 1));
    std::copy(h.frequency.begin(), h.frequency.begin() + n, d.FitFrequency.begin() + 1);
    std::copy(h.amplitude.begin(), h.amplitude.begin() + n, d.FitAmplitude.begin() + 1);
    d.FitCount = n;
    // The phases, where the slot has them: a fit of amplitude and phase then, and their plot.
    d.Phased = phased;
    if (d.Phased) std::copy(h.phase.begin(), h.phase.begin() + n, d.FitPhase.begin() + 1);
    FitPhasesCheck->setEnabled(d.Phased);
    PhasePlot->setEnabled(d.Phased);
    FrequencyReadOut->hide();  // until the pointer enters the new data's plot
    d.DataColor = h.color;
    d.FitColor = kFitBlue;
    m_canvas->SetFont(PlotFont(h.view.font.font));
    m_canvas->FontColor = h.view.font.color;
    m_canvas->PenWidth = h.view.penWidth;
    if (!same) {
        // New data: the table starts empty, as one undo step that brings the last one back.
        PeakState before = CurrentPeaks();
        before.whole.reset();  // a fit of other data
        m_history.Clear();
        m_fit->Delay = 0.0;
        m_fit->Whole.reset();
        FitPhasesCheck->setChecked(d.Phased);
        m_reportShown = false;
        for (int k = 1; k <= kPeaks; ++k) {
            m_fit->peaks.PeakFrequency[k] = 0.0;
            m_fit->peaks.PeakAmplitude[k] = 0.0;
            m_fit->peaks.PeakWidth[k] = 20.0;
            m_fit->peaks.PeakPhase[k] = 0.0;
        }
        RangeFromEdit->setText(QString::fromStdString(FixedText(h.plotFreqMin, 1)));
        RangeToEdit->setText(QString::fromStdString(FixedText(h.plotFreqMax, 1)));
        if (m_restored) {
            m_fit->peaks = m_restored->peaks;
            RangeFromEdit->setText(QString::fromStdString(m_restored->from));
            RangeToEdit->setText(QString::fromStdString(m_restored->to));
            m_restored.reset();
        } else if (m_handedOver) {
            RecordChange("New Spectrum", {}, before);
        }
    }
    m_handedOver = true;
    FitDisplayWidth = h.view.displayItem;
    const int panelWidth = FitDisplayWidth <= 0 ? width() - kNormalWidthOffset : h.view.panelWidth;
    PlotPanel->resize(std::max(1, panelWidth), PlotPanel->height());
    LayoutScrollBox();
    if (!same) PeakNumberGroup->SetItemIndex(0);
    ComputeFitCurve(*m_fit);
    DrawFitPlot();
    if (show) exec();
}

void PeakFitWindow::DrawFitPlot() {
    if (!m_canvas) return;
    DrawComplete(*PlotImage, *m_canvas, PlotPanel->size(), [this] { DrawFitPicture(); });
}

void PeakFitWindow::DrawFitPicture() {
    m_marginRight = 20;
    m_marginTop = 10;
    const FitData& d = m_fit->data;
    double ampMax = 1e-10, freqMin = 100000.0, freqMax = 0.0;
    for (int i = 1; i <= d.FitCount; ++i) {
        if (d.FitAmplitude[i] > ampMax) ampMax = d.FitAmplitude[i];
        if (d.FitCurve[i] > ampMax) ampMax = d.FitCurve[i];
        if (d.FitFrequency[i] > freqMax) freqMax = d.FitFrequency[i];
        if (d.FitFrequency[i] < freqMin) freqMin = d.FitFrequency[i];
    }
    if (freqMax == freqMin) freqMax = freqMin + 0.1;
    m_ampMax = ampMax;
    m_freqMin = freqMin;
    m_freqMax = freqMax;
    Canvas& c = *m_canvas;
    const int w = PlotPanel->width(), h = PlotPanel->height();
    c.SetClip(QRect(0, 0, w, h));  // only the panel is ever seen
    c.PenColor = 0xFFFFFF;
    c.BrushColor = 0xFFFFFF;
    c.Rectangle(0, 0, PlotImage->Picture.width(), PlotImage->Picture.height());
    if (!ShowsPhases()) {
        DrawAxes(c, w, h, freqMin, freqMax, ampMax,
                 PlotMargins{m_marginLeft, m_marginBottom, m_marginRight, m_marginTop});
    }
    if (ShowsPhases()) {
        const VerticalAxis phase{-180.0, 180.0, 90.0, 0, "Phase [degrees]"};
        DrawAxes(c, w, h, freqMin, freqMax, ampMax,
                 PlotMargins{m_marginLeft, m_marginBottom, m_marginRight, m_marginTop}, &phase);
        DrawPhases(c, Geometry());
    } else if (d.FitCount > 0) {
        const PlotGeometry g = Geometry();
        c.PenColor = d.DataColor;
        DrawCurve(c, g, d.FitFrequency.data() + 1, d.FitAmplitude.data() + 1, d.FitCount,
                  m_x.data(), m_y.data());
        c.PenColor = d.FitColor;
        DrawCurve(c, g, d.FitFrequency.data() + 1, d.FitCurve.data() + 1, d.FitCount, m_x.data(),
                  m_y.data());
    }
    c.Flush();
    ++m_redraws;
    PlotImage->update();
    ShowPeakParameters();
}

bool PeakFitWindow::ShowsPhases() const { return PhasePlot->isChecked() && m_fit->data.Phased; }

void PeakFitWindow::DrawPhases(Canvas& c, const PlotGeometry& g) {
    const FitData& d = m_fit->data;
    if (d.FitCount <= 0) return;
    // Degrees -180 ... 180 on the amplitude axis of 0 ... 360.
    PlotGeometry shifted = g;
    shifted.ampMax = 360.0;
    std::vector<double> y(static_cast<size_t>(d.FitCount));
    for (int i = 1; i <= d.FitCount; ++i) y[static_cast<size_t>(i - 1)] = d.FitPhase[i] + 180.0;
    c.PenColor = d.DataColor;
    DrawCurve(c, shifted, d.FitFrequency.data() + 1, y.data(), d.FitCount, m_x.data(), m_y.data());
    // The fit's phase, turned by the delay found with it, where it has an active peak.
    bool any = m_fit->Whole.has_value();
    for (int k = 1; k <= kPeaks; ++k) any = any || m_fit->peaks.PeakAmplitude[k] > 0;
    if (!any) return;
    for (int i = 1; i <= d.FitCount; ++i) {
        const std::complex<double> v = FitModelAt(*m_fit, d.FitFrequency[i]);
        y[static_cast<size_t>(i - 1)] = std::arg(v) * 180.0 / std::numbers::pi + 180.0;
    }
    c.PenColor = d.FitColor;
    DrawCurve(c, shifted, d.FitFrequency.data() + 1, y.data(), d.FitCount, m_x.data(), m_y.data());
}

namespace {

// v and its error e with the digits the error allows: two significant digits of e.
QString WithError(double v, double e, const char* unit = "") {
    const QString u = QString::fromUtf8(unit);
    if (!std::isfinite(e)) {
        return QString::number(v, 'g', 6) + u + QStringLiteral(" (not determined)");
    }
    const int decimals = ErrorDecimals(e);
    return QString::number(v, 'f', decimals) + QStringLiteral(" ± ") +
           QString::number(e, 'f', decimals) + u;
}

}  // namespace

void PeakFitWindow::ShowPeakParameters() {
    const int k = SelectedPeak();
    const PeakTable& t = m_fit->peaks;
    FrequencyValue->setText(Fixed3(t.PeakFrequency[k]));
    AmplitudeValue->setText(Fixed3(t.PeakAmplitude[k]));
    WidthValue->setText(Fixed3(t.PeakWidth[k]));
    PhaseValue->setText(Fixed3(t.PeakPhase[k]));
    // The errors (and Q) while the table is a fit's result: the whole-spectrum fit's own, or
    // the last run's of Start Fit.
    std::optional<PeakErrors> errors;
    QString which = QStringLiteral("Start Fit");
    if (m_fit->Whole && t.PeakAmplitude[k] > 0) {
        for (const FittedMode& m : m_fit->Whole->modes) {
            if (m.frequency == t.PeakFrequency[k]) errors = ErrorsOf(m);
        }
        which = QStringLiteral("whole spectrum, %1 modes").arg(m_fit->Whole->modes.size());
    } else if (m_reportShown && m_runner->Report().peaks[static_cast<size_t>(k)].valid &&
               t.PeakAmplitude[k] > 0) {
        errors = m_runner->Report().peaks[static_cast<size_t>(k)];
    }
    if (errors) {
        const PeakErrors& e = *errors;
        const bool determined = !e.undetermined && Determined(t.PeakAmplitude[k], e.amplitude,
                                                              std::isnan(e.phase) ? 0.0 : e.phase);
        QString amplitude = WithError(t.PeakAmplitude[k], e.amplitude);
        QString phase = std::isnan(e.phase) ? QStringLiteral("the reference")
                                            : WithError(t.PeakPhase[k], e.phase, "°");
        if (e.undetermined && !m_fit->Whole) {
            // Another solution fits as well: say so, with its values.
            amplitude = QStringLiteral("open (also %1)").arg(e.otherAmplitude, 0, 'f', 3);
            phase = QStringLiteral("open (also %1°)").arg(e.otherPhase, 0, 'f', 1);
        } else if (!determined) {
            amplitude += QStringLiteral(", open");
        }
        StandardErrorsText->setText(
            QStringLiteral("F = %1 Hz\nA = %2\nW = %3 Hz\nPhase = %4\nQ = %5\n(%6)")
                .arg(WithError(t.PeakFrequency[k], e.frequency), amplitude,
                     WithError(t.PeakWidth[k], e.width), phase, WithError(e.q, e.qError), which));
    } else {
        StandardErrorsText->setText(QStringLiteral("after a fit run"));
    }
    // The bar shows the phase in whole degrees; showing it changes nothing (only a move by the
    // user sets the phase).
    const QSignalBlocker quiet(PhaseSlider);
    const double rounded = std::clamp(std::nearbyint(t.PeakPhase[k]), -180.0, 180.0);
    PhaseSlider->setValue(static_cast<int>(std::isfinite(rounded) ? rounded : 0.0));
}

void PeakFitWindow::ChangePeakNumber() { ShowPeakParameters(); }

void PeakFitWindow::SetPeakAmp(int x, int y, Qt::MouseButton button) {
    const int k = SelectedPeak();
    if (button == Qt::LeftButton) {
        ChangePeaks("Place Peak", {}, [&] {
            const PlotGeometry g = Geometry();
            m_fit->peaks.PeakFrequency[k] = g.FrequencyAt(x);
            // Over the phase plot a click places the frequency only.
            if (!ShowsPhases()) m_fit->peaks.PeakAmplitude[k] = g.AmplitudeAt(y);
            m_reportShown = false;
            ShowPeakParameters();
        });
        ComputeFitCurve(*m_fit);
        DrawFitPlot();
    }
    if (button == Qt::RightButton && PeakNumberGroup->ItemIndex() < 7) {
        PeakNumberGroup->SetItemIndex(PeakNumberGroup->ItemIndex() + 1);
    }
}

void PeakFitWindow::SetPeakWidth(int wheelDelta) {
    // The notches of one turn of the wheel over one peak are one step.
    ChangePeaks("Peak Width", "width " + std::to_string(SelectedPeak()), [&] {
        m_fit->peaks.PeakWidth[SelectedPeak()] += wheelDelta * kWidthPerWheelUnit;
        m_reportShown = false;
        ShowPeakParameters();
    });
    ComputeFitCurve(*m_fit);
    DrawFitPlot();
}

void PeakFitWindow::SetPeakPhase() {
    ChangePeaks("Peak Phase", "phase " + std::to_string(SelectedPeak()), [&] {
        m_fit->peaks.PeakPhase[SelectedPeak()] = PhaseSlider->value();
        ShowPeakParameters();
    });
    ComputeFitCurve(*m_fit);
    DrawFitPlot();
}

void PeakFitWindow::ShowFrequencyAt(int x, int y) {
    ShowFrequencyReadOut(*FrequencyReadOut, Geometry(), x, y);
}

void PeakFitWindow::OnPlotEntered() {
    if (m_fit->data.FitCount > 0) FrequencyReadOut->show();
}

void PeakFitWindow::OnPlotLeft() { FrequencyReadOut->hide(); }

void PeakFitWindow::ChangeFontExecute() {
    const std::optional<FontChoice> choice =
        ChooseFont(FontChoice{m_canvas->Font(), m_canvas->FontColor});
    if (!choice) return;
    ApplyFontChoice(*m_canvas, *choice);
    DrawFitPlot();
}

void PeakFitWindow::ChangeColorDataExecute() {
    const std::optional<QColor> c = ChooseColor(m_lastColor);
    if (!c) return;
    m_lastColor = *c;
    m_fit->data.DataColor = FromQRgb(c->rgb());
    DrawFitPlot();
}

void PeakFitWindow::ChangeColorFitExecute() {
    const std::optional<QColor> c = ChooseColor(m_lastColor);
    if (!c) return;
    m_lastColor = *c;
    m_fit->data.FitColor = FromQRgb(c->rgb());
    DrawFitPlot();
}

void PeakFitWindow::ChangeLineThicknessExecute() {
    if (!ChooseLineThickness) return;
    m_canvas->PenWidth = std::clamp(ChooseLineThickness(), 1, 4);
    DrawFitPlot();
}

void PeakFitWindow::ExitFitExecute() { done(1); }

void PeakFitWindow::ManualAndHelpExecute() {
    if (HelpWindow != nullptr) HelpWindow->exec();
}

void PeakFitWindow::OnStopClicked() { m_fit->StopFit = true; }

void PeakFitWindow::OnStartFitClicked() { BeginRun(&FitRunner::Start); }

void PeakFitWindow::FitAllModesClick() { BeginRun(&FitRunner::StartWhole); }

void PeakFitWindow::BeginRun(FitSteps (FitRunner::*start)(FitWindow&)) {
    // The run goes on from the event loop, a solver step per pass: the handler returns after
    // the first step (a refused range has said so by then) and the window keeps answering.
    if (m_running) return;
    m_running = true;
    m_closeAfterRun = false;
    m_runBefore = CurrentPeaks();
    m_reportShown = false;
    m_fit->Whole.reset();
    ++m_changing;  // what the window changes meanwhile belongs to the run's undo step
    m_steps = std::make_unique<FitSteps>(((*m_runner).*start)(*this));
    FitAllButton->setEnabled(false);
    FitAllModesAction->setEnabled(false);
    ContinueFit();
}

void PeakFitWindow::ContinueFit() {
    if (m_steps->Next()) {
        m_fitTimer->start(0);
        return;
    }
    m_steps.reset();
    m_reportShown = m_runner->Report().valid;
    ShowPeakParameters();
    --m_changing;
    RecordChange(m_runner->WholeRun() ? "Fit All Modes" : "Fit", {}, m_runBefore);
    m_running = false;
    FitAllButton->setEnabled(true);
    FitAllModesAction->setEnabled(true);
    // What the run removed as no result, and whether it converged.
    if (std::string notes = m_runner->Notes(); !notes.empty()) {
        notes.pop_back();  // the last line's end
        ShowMessage(notes);
    }
    if (m_closeAfterRun) QDialog::done(m_closeResult);
}

void PeakFitWindow::SpeedOfSoundExecute() {
    // The whole-spectrum fit's modes, every one of them with its error, while it holds; else
    // the table's active peaks.
    std::vector<double> peaks, errors;
    if (m_fit->Whole) {
        for (const FittedMode& m : m_fit->Whole->modes) {
            if (m.beyond) continue;  // fitted from its flank alone
            peaks.push_back(m.frequency);
            errors.push_back(m.frequencyError);
        }
    } else {
        for (int k = 1; k <= kPeaks; ++k) {
            if (m_fit->peaks.PeakAmplitude[k] > 0.0) peaks.push_back(m_fit->peaks.PeakFrequency[k]);
        }
    }
    if (peaks.size() < 2) {
        ShowMessage(
            "Speed of Sound needs at least two fitted peaks: find and fit the sphere's "
            "resonances first");
        return;
    }
    const std::optional<double> radius = ChooseRadius ? ChooseRadius(m_radiusMm) : m_radiusMm;
    if (!radius) return;
    m_radiusMm = *radius;
    const SoundSpeed c = SpeedOfSoundFrom(peaks, *radius / 1000.0, errors);
    if (!c.found) {
        ShowMessage("No speed of sound from these peaks: " + c.why + ".");
        return;
    }
    std::string text = "Speed of sound: " + ValueAndError(c.speed, c.speedError) +
                       " m/s, meaning " + ValueAndError(c.celsius, c.celsiusError) +
                       " degrees Celsius in dry air (a " + FixedText(*radius, 1) +
                       " mm sphere; the radius's own error comes on top).\n" +
                       (m_fit->Whole ? "From the whole-spectrum fit's " : "From the table's ") +
                       std::to_string(c.peaks.size()) + " peaks:";
    for (const AssignedPeak& p : c.peaks) {
        text +=
            "\n" + FixedText(p.frequency, 3) + " Hz: l = " + std::to_string(p.l) +
            ", n = " + std::to_string(p.n) + ", c = " +
            (p.speedError > 0.0 ? ValueAndError(p.speed, p.speedError) : FixedText(p.speed, 2)) +
            " m/s";
    }
    ShowMessage(text);
}

void PeakFitWindow::FindPeaksExecute() {
    double from = 0.0, to = 0.0;
    FitRange(from, to);
    m_reportShown = false;
    // One step, with the whole degrees the phase bar stores when the first peak is selected.
    ChangePeaks("Find Peaks", {}, [&] {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        const int placed = FindPeaks(m_fit->data, from, to, m_fit->peaks);
        if (placed > 0) RefinePeaks(m_fit->data, from, to, m_fit->peaks);
        QApplication::restoreOverrideCursor();
        if (placed == 0) {
            ShowMessage("No peak stands out of the noise between " + FixedText(from, 1) + " and " +
                        FixedText(to, 1) + " Hz");
        }
        PeakNumberGroup->SetItemIndex(0);
    });
    ComputeFitCurve(*m_fit);
    DrawFitPlot();
}

void PeakFitWindow::RemovePeakExecute() {
    ChangePeaks("Remove Peak", {}, [this] { m_fit->peaks.PeakAmplitude[SelectedPeak()] = 0.0; });
    m_reportShown = false;
    ComputeFitCurve(*m_fit);
    DrawFitPlot();
}

void PeakFitWindow::RemoveAllExecute() {
    ChangePeaks("Remove All", {}, [this] {
        for (int k = 1; k <= kPeaks; ++k) m_fit->peaks.PeakAmplitude[k] = 0.0;
    });
    m_reportShown = false;
    ComputeFitCurve(*m_fit);
    DrawFitPlot();
}

void PeakFitWindow::ShowStartFit(bool shown) {
    // The focus goes with the button at that place, as in the main window.
    if (!shown && focusWidget() == StartFitButton) StopButton->setFocus(Qt::OtherFocusReason);
    StartFitButton->setVisible(shown);
    if (shown && focusWidget() == StopButton) StartFitButton->setFocus(Qt::OtherFocusReason);
    // During a run the table changes at every step: no peaks found into it, and no files of a
    // half-finished fit.
    for (QAction* a : {FindPeaksAction, RemovePeak, RemoveAll, SpeedOfSoundAction, SaveFitData,
                       SaveFitParameter, SaveFitReport}) {
        a->setEnabled(shown);
    }
}

void PeakFitWindow::FitRange(double& from, double& to) {
    from = ReadNumber(RangeFromEdit->text().toStdString(), "Fit Range \"from\"");
    to = ReadNumber(RangeToEdit->text().toStdString(), "Fit Range \"to\"");
}

void PeakFitWindow::ShowProgress(bool shown) {
    if (shown) FitProgress->setValue(0);
    FitProgress->setVisible(shown);
}

void PeakFitWindow::StepProgress() { FitProgress->setValue(FitProgress->value() + 1); }
void PeakFitWindow::RefreshPeakLabels() { ShowPeakParameters(); }
void PeakFitWindow::RedrawFit() { DrawFitPlot(); }
void PeakFitWindow::Report(const Notice& notice) { ShowMessage(notice.text); }

bool PeakFitWindow::FitPhases() const {
    return FitPhasesCheck->isEnabled() && FitPhasesCheck->isChecked();
}

}  // namespace sonarix

namespace sonarix {

void PeakFitWindow::ChangePeaks(const char* name, const std::string& merge,
                                const std::function<void()>& action) {
    if (m_changing > 0) {
        action();
        return;
    }
    const PeakState before = CurrentPeaks();
    ++m_changing;
    // An edit of the table ends the whole-spectrum fit's hold on the curve and the errors.
    m_fit->Whole.reset();
    action();
    --m_changing;
    RecordChange(name, merge, before);
}

PeakFitWindow::PeakState PeakFitWindow::CurrentPeaks() const {
    return PeakState{m_fit->peaks, m_fit->Whole};
}

void PeakFitWindow::RecordChange(const char* name, const std::string& merge,
                                 const PeakState& before) {
    ++m_changing;
    ComputeFitCurve(*m_fit);
    DrawFitPlot();
    --m_changing;
    const PeakState after = CurrentPeaks();
    const auto same = [](const PeakState& a, const PeakState& b) {
        return std::memcmp(&a.peaks, &b.peaks, sizeof a.peaks) == 0 &&
               a.whole.has_value() == b.whole.has_value();
    };
    if (same(before, after)) return;
    if (OnPeaksChanged) OnPeaksChanged();
    const size_t size = 2 * sizeof(PeakTable) +
                        (before.whole ? before.whole->modes.size() * sizeof(FittedMode) : 0) +
                        (after.whole ? after.whole->modes.size() * sizeof(FittedMode) : 0);
    m_history.Push({name, size, [this, before] { SetPeaks(before); },
                    [this, after] { SetPeaks(after); }, merge});
}

void PeakFitWindow::SetPeaks(const PeakState& state) {
    m_fit->peaks = state.peaks;
    m_fit->Whole = state.whole;
    if (OnPeaksChanged) OnPeaksChanged();
    // A whole fit brings its errors along; those of a run of Start Fit are gone with the runs
    // since.
    m_reportShown = false;
    ShowPeakParameters();
    ComputeFitCurve(*m_fit);
    DrawFitPlot();
}

void PeakFitWindow::UndoExecute() {
    if (!m_running) m_history.Undo();
}

void PeakFitWindow::RedoExecute() {
    if (!m_running) m_history.Redo();
}

void PeakFitWindow::RefreshUndo() {
    Undo->setEnabled(m_history.CanUndo());
    Redo->setEnabled(m_history.CanRedo());
    Undo->setText(WithFirstMnemonic(QString::fromStdString(m_history.UndoCaption())));
    Redo->setText(WithFirstMnemonic(QString::fromStdString(m_history.RedoCaption())));
}

FitSession PeakFitWindow::SessionPart() const {
    if (m_restored) return *m_restored;
    FitSession f;
    f.peaks = m_fit->peaks;
    f.from = RangeFromEdit->text().toStdString();
    f.to = RangeToEdit->text().toStdString();
    return f;
}

void PeakFitWindow::RestoreSessionPart(const FitSession& fit) { m_restored = fit; }

}  // namespace sonarix
