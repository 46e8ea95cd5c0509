// The wave-function window and its polar plot.
#include "ui/wave/WaveFunctionWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cmath>

#include "measurement/FixedText.h"
#include "measurement/Messages.h"
#include "measurement/Playback.h"
#include "measurement/ReadNumber.h"
#include "measurement/Rounding.h"
#include "measurement/TextFiles.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "plot/PictureExport.h"
#include "session/SessionKeeper.h"
#include "wavefunction/SplitPeaks.h"
#include "wavefunction/WaveTheory.h"

namespace sonarix {
namespace {

constexpr int kStripWidth = 200;
constexpr double kPi = 3.14159265358979323846;
constexpr int kThumbColumns = 2, kThumbRows = 10;

// A field whose Return is its own: in a dialog, Return would otherwise also press the default
// button ("Measure value").
class OwnReturnField final : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

protected:
    void keyPressEvent(QKeyEvent* e) override {
        QLineEdit::keyPressEvent(e);
        if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) e->accept();
    }
};

// The 19 spectra small, two columns of angles 0 ... 90 and 100 ... 180 degrees, on one
// frequency axis and one amplitude scale, the chosen frequency marked, the angle to be
// measured next framed.
class SpectraStrip final : public QWidget {
public:
    explicit SpectraStrip(WaveFunctionWindow* form, QWidget* parent)
        : QWidget(parent), m_form(form) {
        setCursor(Qt::CrossCursor);
        setToolTip(QStringLiteral("Click a peak to see its amplitudes against the angle"));
    }
    static QRect Cell(int index, int w, int h) {
        const int cw = w / kThumbColumns, ch = h / kThumbRows;
        return QRect((index / kThumbRows) * cw, (index % kThumbRows) * ch, cw - 2, ch - 2);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), palette().window());
        const auto [lo, hi] = m_form->SeriesRange();
        double most = 0.0;
        for (const auto& sp : m_form->Series) {
            if (sp)
                for (double a : sp->amp) most = std::max(most, a);
        }
        for (int k = 0; k < kAngles; ++k) {
            const QRect r = Cell(k, width(), height());
            p.fillRect(r, Qt::white);
            p.setPen(k == m_form->SelectedAngle() ? QPen(Qt::blue, 2) : QPen(Qt::gray));
            p.drawRect(r);
            const auto& sp = m_form->Series[static_cast<size_t>(k)];
            if (sp && hi > lo && most > 0.0) {
                // Per pixel column the largest amplitude within it, so that no peak falls
                // between the columns.
                QPolygonF line;
                size_t i = 0;
                for (int x = 0; x < r.width(); ++x) {
                    const double f1 = lo + (hi - lo) * (x + 1) / r.width();
                    double a = -1.0;
                    while (i < sp->freq.size() && sp->freq[i] < f1) a = std::max(a, sp->amp[i++]);
                    if (a < 0.0) continue;
                    line << QPointF(r.left() + x + 0.5, r.bottom() - (r.height() - 3) * a / most);
                }
                p.setPen(QPen(Qt::black, 1));
                p.drawPolyline(line);
            }
            if (hi > lo) {
                const double f = m_form->ChosenFrequency();
                if (f >= lo && f <= hi) {
                    const double x = r.left() + (f - lo) / (hi - lo) * r.width();
                    p.setPen(QPen(Qt::red, 1));
                    p.drawLine(QPointF(x, r.top() + 1), QPointF(x, r.bottom()));
                }
            }
            p.setPen(Qt::darkGray);
            p.drawText(r.adjusted(3, 1, 0, 0), Qt::AlignLeft | Qt::AlignTop,
                       QStringLiteral("%1°").arg(10 * k));
        }
        // The axis of them all in the free cell.
        p.setPen(Qt::black);
        p.drawText(Cell(kAngles, width(), height()), Qt::AlignCenter | Qt::TextWordWrap,
                   hi > lo ? QStringLiteral("%1 ... %2 Hz").arg(lo, 0, 'f', 0).arg(hi, 0, 'f', 0)
                           : QStringLiteral("Measure value: one spectrum per angle"));
    }
    void mousePressEvent(QMouseEvent* e) override {
        if (e->button() != Qt::LeftButton) return;
        if (const std::optional<double> f =
                m_form->FrequencyAt(e->position().toPoint().x(), e->position().toPoint().y())) {
            m_form->ChooseFrequency(*f);
        }
    }

private:
    WaveFunctionWindow* m_form;
};

}  // namespace

WaveFunctionWindow::WaveFunctionWindow(SharedState& state, AngleData& data, QWidget* parent)
    : QDialog(parent), WaveAmplitude(data.values), Series(data.series), m_state(state) {
    setObjectName(QStringLiteral("Form9"));
    setWindowTitle(QStringLiteral("Amplitude as function of angle"));
    setFont(DialogFont());
    setModal(true);
    MenuBar = Named(new QMenuBar(this), "MenuBar");
    m_client = Named(new QWidget(this), "ClientArea");
    QWidget* c = m_client;
    QStringList angles;
    for (int k = 0; k < kAngles; ++k) angles << QStringLiteral("%1°").arg(10 * k);
    AngleGroup = Named(new TRadioGroup(QStringLiteral("Angle between hemispheres"), angles, c),
                       "RadioGroup1");
    AngleGroup->setGeometry(8, 8, 185, 220);
    AngleGroup->SetColumns(2);
    AngleGroup->SetItemIndex(0);
    MeasureValueButton = AddButton(c, "Button1", "Measure value", 30, 240, 140, 25);
    SaturationPanel = AddSaturationPanel(c, 60, 274, 80, 17);
    ClearButton = AddButton(c, "Button2", "Clear", 30, 300, 140, 25);
    // It empties all 19 values at once (one undo step): never by Return meant for another
    // control, only by a click or Space on the focused button.
    ClearButton->setAutoDefault(false);
    auto box = [c](QCheckBox*& b, const char* name, const char* caption, int top) {
        b = Named(new QCheckBox(QString::fromLatin1(caption), c), name);
        b->move(30, top);
        b->adjustSize();
    };
    box(LiftedDegeneracyCheck, "CheckBox3", "Lifted degeneracy", 340);
    box(CompleteBySymmetryCheck, "CheckBox1", "Complete by Symmetry", 364);
    box(PolarGridCheck, "CheckBox2", "Show polar grid", 388);
    box(TheoryCheck, "CheckBox4", "Theory", 420);
    TheoryOrderSpin = Named(new QSpinBox(c), "SpinEdit1");
    TheoryOrderSpin->setGeometry(100, 417, 70, 22);
    TheoryOrderSpin->setRange(0, kHighestOrder);
    TheoryOrderSpin->setPrefix(QStringLiteral("l = "));
    TheoryOrderSpin->setValue(1);
    BestOrderLabel = AddLabel(c, "Label1", "", 30, 446);
    BestOrderLabel->setGeometry(30, 446, 165, 36);
    BestOrderLabel->setWordWrap(true);
    MeasuredFrequencyLabel = AddLabel(c, "Label2", "", 30, 488);
    MeasuredFrequencyLabel->setGeometry(30, 488, 165, 20);
    m_run = std::make_unique<AngleRun>(m_state, *this);
    m_measureTimer = Named(new QTimer(this), "MeasureTimer");
    m_measureTimer->setSingleShot(true);
    m_measureTimer->setTimerType(Qt::PreciseTimer);
    connect(m_measureTimer, &QTimer::timeout, this, [this] { ContinueMeasurement(); });
    m_saturationTimer = Named(new QTimer(this), "SaturationTimer");
    m_saturationTimer->setSingleShot(true);
    connect(m_saturationTimer, &QTimer::timeout, this, [this] { ShowSaturation(false); });
    m_availability = Named(new QTimer(this), "AvailabilityTimer");
    m_availability->setInterval(50);
    connect(m_availability, &QTimer::timeout, this, [this] { ShowAvailability(); });
    connect(TheoryCheck, &QCheckBox::clicked, this, [this] { DrawPolarPlot(); });
    connect(TheoryOrderSpin, &QSpinBox::valueChanged, this, [this] { DrawPolarPlot(); });
    PlotPanel = Named(new QWidget(c), "Panel1");
    PlotImage = Named(new TImage(1500, 2000, PlotPanel), "Image1");
    UsePlot(*this);
    connect(MeasureValueButton, &QPushButton::clicked, this, [this] { OnMeasureValueClicked(); });
    connect(ClearButton, &QPushButton::clicked, this, [this] { OnClearClicked(); });
    connect(CompleteBySymmetryCheck, &QCheckBox::clicked, this,
            [this] { OnCompleteBySymmetryClicked(); });
    connect(PolarGridCheck, &QCheckBox::clicked, this, [this] { OnPolarGridClicked(); });
    connect(LiftedDegeneracyCheck, &QCheckBox::clicked, this,
            [this] { OnLiftedDegeneracyClicked(); });

    BuildMenus();
    BuildSeriesPanel(c);
    ChooseSaveFile = [this] {
        return RunFileDialog(this, true, "SaveDialog1", QStringLiteral("Save Wavefunction Data"),
                             {QStringLiteral("*.dat (*.dat)"), QStringLiteral("*.* (*)")},
                             QStringLiteral("dat"));
    };
    ChooseOpenFile = [this] {
        return RunFileDialog(this, false, "OpenDialog1", QString(), {}, QString());
    };
    resize(kClientWidth, kClientHeight + MenuBar->sizeHint().height());
}

void WaveFunctionWindow::BuildMenus() {
    auto action = [this](QAction*& a, const char* name, const char* caption, bool enabled) {
        a = new QAction(QString::fromLatin1(caption), this);
        a->setObjectName(QString::fromLatin1(name));
        a->setEnabled(enabled);
    };
    action(SaveData, "SaveData", "Save Data", true);
    action(OpenData, "OpenData", "Open Data", true);
    action(SaveAsImage, "SaveAsImage", "Save as Image", true);
    action(PrinterSetup, "PrinterSetup", "Printer Setup", true);
    action(Print, "Print", "Print", true);
    action(Close, "Close", "Close", true);
    connect(SaveData, &QAction::triggered, this, [this] { SaveDataExecute(); });
    connect(OpenData, &QAction::triggered, this, [this] { OpenDataExecute(); });
    connect(Close, &QAction::triggered, this, [this] { CloseExecute(); });
    connect(SaveAsImage, &QAction::triggered, this, [this] { SaveAsImageExecute(); });
    connect(PrinterSetup, &QAction::triggered, this, [this] { PrinterSetupExecute(); });
    connect(Print, &QAction::triggered, this, [this] { PrintExecute(); });
    QMenu* file = MenuBar->addMenu(QStringLiteral("File"));
    file->addActions({SaveData, OpenData, SaveAsImage, PrinterSetup, Print, Close});
    Undo = new QAction(QStringLiteral("Undo"), this);
    Undo->setObjectName(QStringLiteral("Undo"));
    Undo->setShortcut(QKeySequence::Undo);
    Redo = new QAction(QStringLiteral("Redo"), this);
    Redo->setObjectName(QStringLiteral("Redo"));
    Redo->setShortcuts(RedoKeys());
    connect(Undo, &QAction::triggered, this, [this] {
        if (m_session != nullptr && m_session->Undo()) RefreshUndo();
    });
    connect(Redo, &QAction::triggered, this, [this] {
        if (m_session != nullptr && m_session->Redo()) RefreshUndo();
    });
    QMenu* edit = MenuBar->addMenu(QStringLiteral("Edit"));
    edit->addActions({Undo, Redo});
    connect(edit, &QMenu::aboutToShow, this, [this] { RefreshUndo(); });
    RefreshUndo();
    WholeSpectrum = new QAction(QStringLiteral("Whole spectrum per angle"), this);
    WholeSpectrum->setObjectName(QStringLiteral("WholeSpectrum"));
    WholeSpectrum->setCheckable(true);
    connect(WholeSpectrum, &QAction::triggered, this, [this] { WholeSpectrumClick(); });
    FitPeaks = new QAction(QStringLiteral("Fit split peaks"), this);
    FitPeaks->setObjectName(QStringLiteral("FitPeaks"));
    FitPeaks->setCheckable(true);
    connect(FitPeaks, &QAction::triggered, this, [this] {
        if (HasSeries()) ChooseFrequency(ChosenFrequency());
    });
    QMenu* measure = MenuBar->addMenu(QStringLiteral("Measure"));
    measure->addActions({WholeSpectrum, FitPeaks});
    QMenu* help = MenuBar->addMenu(QStringLiteral("Help"));
    MenuBar->setFont(font());
    for (QMenu* m : {file, edit, measure, help}) m->setFont(font());
    GiveMnemonics(MenuBar);
}

// The frequency field, the peak label, the progress and the thumbnails of a "Whole spectrum per
// angle" series, hidden until there is one.
void WaveFunctionWindow::BuildSeriesPanel(QWidget* c) {
    SeriesPanel = Named(new QWidget(c), "SeriesPanel");
    SeriesPanel->hide();
    AddLabel(SeriesPanel, "FrequencyLabel", "Frequency [Hz]", 8, 9);
    FrequencyEdit = Named(new OwnReturnField(SeriesPanel), "FrequencyEdit");
    FrequencyEdit->setGeometry(110, 6, 100, 22);
    FrequencyEdit->setToolTip(QStringLiteral("Return shows the amplitudes at this frequency"));
    connect(FrequencyEdit, &QLineEdit::returnPressed, this, [this] {
        const std::optional<double> f = ParseNumber(FrequencyEdit->text().toStdString());
        if (!f) {
            ShowMessage(
                UnreadableNumberMessage(FrequencyEdit->text().toStdString(), "Frequency [Hz]"));
            return;
        }
        ChooseFrequency(*f);
    });
    PeakLabel = AddLabel(SeriesPanel, "PeakLabel", "", 8, 33);
    PeakLabel->resize(kSeriesWidth - 16, 16);
    FastProgress = Named(new QProgressBar(SeriesPanel), "FastProgress");
    FastProgress->setGeometry(8, 33, kSeriesWidth - 16, 14);
    FastProgress->setRange(0, 1000);
    FastProgress->setTextVisible(false);
    FastProgress->hide();
    Thumbnails = Named(new SpectraStrip(this, SeriesPanel), "Thumbnails");
}

WaveFunctionWindow::~WaveFunctionWindow() = default;

void WaveFunctionWindow::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    FitPlotToWindow();
}

void WaveFunctionWindow::FitPlotToWindow() {
    const int bar = MenuBar->sizeHint().height();
    MenuBar->setGeometry(0, 0, width(), bar);
    m_client->setGeometry(0, bar, width(), std::max(0, height() - bar));
    const int series = WholeSpectrum->isChecked() ? kSeriesWidth : 0;
    PlotPanel->setGeometry(kStripWidth, 0, std::max(1, m_client->width() - kStripWidth - series),
                           std::max(1, m_client->height()));
    LayOutSeries();
    DrawPolarPlot();
}

void WaveFunctionWindow::LayOutSeries() {
    const bool on = WholeSpectrum->isChecked();
    SeriesPanel->setVisible(on);
    if (!on) return;
    SeriesPanel->setGeometry(m_client->width() - kSeriesWidth, 0, kSeriesWidth, m_client->height());
    Thumbnails->setGeometry(4, 52, kSeriesWidth - 8, std::max(1, SeriesPanel->height() - 56));
    if (!FrequencyEdit->hasFocus())
        FrequencyEdit->setText(QString::fromStdString(FixedText(ChosenFrequency(), 1)));
    Thumbnails->update();
}

void WaveFunctionWindow::WholeSpectrumClick() {
    // The window grows by the series panel, so that the polar plot keeps its size.
    const int series = WholeSpectrum->isChecked() ? kSeriesWidth : -kSeriesWidth;
    resize(std::max(kClientWidth, width() + series), height());
    FitPlotToWindow();
}

std::pair<double, double> WaveFunctionWindow::SeriesRange() const {
    double lo = 0.0, hi = 0.0;
    bool any = false;
    for (const auto& sp : Series) {
        if (!sp || sp->freq.empty()) continue;
        lo = any ? std::min(lo, sp->freq.front()) : sp->freq.front();
        hi = any ? std::max(hi, sp->freq.back()) : sp->freq.back();
        any = true;
    }
    return {lo, hi};
}

std::optional<double> WaveFunctionWindow::FrequencyAt(int x, int y) const {
    const auto [lo, hi] = SeriesRange();
    if (!(hi > lo)) return std::nullopt;
    for (int k = 0; k < kAngles; ++k) {
        const QRect r = SpectraStrip::Cell(k, Thumbnails->width(), Thumbnails->height());
        if (!r.contains(x, y) || r.width() <= 0) continue;
        const double perPixel = (hi - lo) / r.width();
        const double at = lo + (x - r.left() + 0.5) * perPixel;
        // The finest spacing of the spectra: the candidates the snap looks at.
        double step = hi - lo;
        for (const auto& sp : Series) {
            if (sp && sp->freq.size() > 1) step = std::min(step, sp->freq[1] - sp->freq[0]);
        }
        double best = at, bestSum = -1.0;
        const int n = static_cast<int>(std::ceil(3.0 * perPixel / step));
        for (int i = -n; i <= n; ++i) {
            const double f = std::clamp(at + i * step, lo, hi);
            double sum = 0.0;
            for (const auto& sp : Series) {
                if (sp) sum += AmplitudeAt(*sp, f);
            }
            if (sum > bestSum) {
                bestSum = sum;
                best = f;
            }
        }
        return best;
    }
    return std::nullopt;
}

bool WaveFunctionWindow::HasSeries() const {
    return std::any_of(Series.begin(), Series.end(), [](const auto& sp) { return sp != nullptr; });
}

void WaveFunctionWindow::ChooseFrequency(double f) {
    // Not while an angle is measured: its values and spectra are being written.
    if (!std::isfinite(f) || f < 0.0 || m_state.Running != Operation::None) return;
    PeakLabel->clear();
    if (FitPeaks->isChecked() && HasSeries()) {
        // The fitted amplitudes of the peak nearest f, measured at its fitted frequency.
        const SplitPeaks fit = FitSplitPeaks(Series, f);
        if (!fit.why.empty()) {
            ShowMessage(fit.why);
            return;
        }
        const FittedMode& peak = fit.peaks[static_cast<size_t>(fit.chosen)];
        f = peak.frequency;
        ChangeValues("Choose Frequency", [&] {
            m_state.CurrentFreq = f;
            WaveAmplitude = fit.values;
        });
        PeakLabel->setText(QStringLiteral("%1 ± %2 Hz, width %3 Hz (%4 of %5)")
                               .arg(peak.frequency, 0, 'f', 1)
                               .arg(peak.frequencyError, 0, 'g', 2)
                               .arg(peak.width, 0, 'f', 1)
                               .arg(fit.chosen + 1)
                               .arg(fit.peaks.size()));
    } else {
        ChangeValues("Choose Frequency", [&] {
            m_state.CurrentFreq = f;
            if (HasSeries()) ValuesAt(Series, f, WaveAmplitude);
        });
    }
    FrequencyEdit->setText(QString::fromStdString(FixedText(f, 1)));
    DrawPolarPlot();
}

void WaveFunctionWindow::Report(const Notice& notice) { ShowMessage(notice.text); }

void WaveFunctionWindow::ShowFastProgress(double fraction, double secondsLeft) {
    FastProgress->setVisible(fraction >= 0.0);
    PeakLabel->setVisible(fraction < 0.0);
    FastProgress->setValue(static_cast<int>(std::lround(1000.0 * std::clamp(fraction, 0.0, 1.0))));
    FastProgress->setToolTip(QStringLiteral("%1 s left").arg(secondsLeft, 0, 'f', 1));
}

void WaveFunctionWindow::Open(bool show) {
    // The values of the frequency the window was closed at stay (an Escape by mistake loses
    // nothing); values of another frequency are cleared, as one undo step.
    const bool any =
        std::any_of(WaveAmplitude.begin(), WaveAmplitude.end(), [](double v) { return v != 0.0; });
    if (!any || !(m_state.CurrentFreq == m_closedAt)) OnClearClicked();
    if (show) exec();
}

void WaveFunctionWindow::KeepValuesForOpening() {
    if (!isVisible()) m_closedAt = m_state.CurrentFreq;
}

void WaveFunctionWindow::OnMeasureValueClicked() {
    // The measurement runs from the event loop, a piece at a time: the handler returns at once
    // and the window keeps answering; the value is stored when it is done.
    if (m_run->Running()) return;
    m_closeAfterMeasurement = false;
    if (WholeSpectrum->isChecked()) {
        if (Playing(m_state) || m_state.Running != Operation::None) return;
        FastPlan plan;
        if (!PlanFast || !PlanFast(plan)) return;
        if (VolumePosition() <= 0) {
            ShowMessage(kFastNoVolume);
            return;
        }
        m_measureFrequency = ChosenFrequency();
        if (!m_run->StartSpectrum(plan, m_measureFrequency)) return;
    } else if (!m_run->Start()) {
        return;
    }
    ShowAvailability();
    m_measureTimer->start(0);
}

void WaveFunctionWindow::ContinueMeasurement() {
    const int64_t us = m_run->Continue();
    if (us >= 0) {
        RestartAfter(*m_measureTimer, us);
        return;
    }
    const AngleValue& v = m_run->Result();
    if (v.measured) {
        ChangeValues("Measure value", [&] {
            StoreAngleValue(v, WaveAmplitude, &Series, *this);
            // The peak's fitted amplitudes over all spectra so far (the read-off ones where
            // the fit finds nothing yet).
            if (v.spectrum && FitPeaks->isChecked()) {
                const SplitPeaks fit = FitSplitPeaks(Series, m_measureFrequency);
                if (fit.why.empty()) WaveAmplitude = fit.values;
            }
        });
        if (v.spectrum && FitPeaks->isChecked()) DrawPolarPlot();
    }
    if (v.saturated) {
        ShowSaturation(true);
        m_saturationTimer->start(500);
    }
    ShowAvailability();
    if (m_closeAfterMeasurement) QDialog::done(m_closeResult);
}

void WaveFunctionWindow::done(int result) {
    if (m_run->Running()) {
        m_closeAfterMeasurement = true;
        m_closeResult = result;
        return;
    }
    QDialog::done(result);
}

void WaveFunctionWindow::ShowAvailability() {
    const bool free = !Playing(m_state) && m_state.Running == Operation::None;
    MeasureValueButton->setEnabled(free);
    MeasureValueButton->setToolTip(
        free ? QString() : QStringLiteral("A tone is playing: measure when it has ended"));
}

void WaveFunctionWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    ShowAvailability();
    m_availability->start();
    RefreshUndo();  // the main window's steps since it was last shown
}

void WaveFunctionWindow::hideEvent(QHideEvent* event) {
    m_availability->stop();
    m_closedAt = m_state.CurrentFreq;
    QDialog::hideEvent(event);
}

void WaveFunctionWindow::ChangeValues(const char* name, const std::function<void()>& action) {
    if (m_session != nullptr) {
        m_session->ChangeWave(name, action);
    } else {
        action();
    }
    RefreshUndo();
}

void WaveFunctionWindow::RefreshUndo() {
    // Shortcuts act even when the menu is closed: they are kept available and refuse while an
    // angle is measured.
    static const UndoHistory none;
    const UndoHistory& h = m_session != nullptr ? m_session->History() : none;
    Undo->setEnabled(h.CanUndo());
    Redo->setEnabled(h.CanRedo());
    Undo->setText(WithFirstMnemonic(QString::fromStdString(h.UndoCaption())));
    Redo->setText(WithFirstMnemonic(QString::fromStdString(h.RedoCaption())));
}

void WaveFunctionWindow::OnClearClicked() {
    ChangeValues("Clear", [this] {
        ClearValues(WaveAmplitude);
        Series = {};
    });
    Thumbnails->update();
    DrawPolarPlot();
    AngleGroup->SetItemIndex(0);
}

void WaveFunctionWindow::OnCompleteBySymmetryClicked() { DrawPolarPlot(); }
void WaveFunctionWindow::OnPolarGridClicked() { DrawPolarPlot(); }
void WaveFunctionWindow::OnLiftedDegeneracyClicked() { DrawPolarPlot(); }
void WaveFunctionWindow::CloseExecute() { done(1); }

void WaveFunctionWindow::SaveDataExecute() {
    const std::optional<std::string> name = ChooseSaveFile();
    if (!name) return;
    SaveTextFile(*name, WaveLines(WaveAmplitude));
}

void WaveFunctionWindow::OpenDataExecute() {
    const std::optional<std::string> name = ChooseOpenFile();
    if (!name) return;
    std::string reason;
    int e = 0;
    ChangeValues("Open Data", [&] { e = ReadWaveFile(*name, WaveAmplitude, &reason); });
    if (e != 0) {
        ShowIoError(e, *name, reason);
        return;
    }
    DrawPolarPlot();
}

void WaveFunctionWindow::DrawPolarPlot() {
    if (!m_canvas) return;
    DrawComplete(*PlotImage, *m_canvas, PlotPanel->size(), [this] { DrawPolarPicture(); });
}

void WaveFunctionWindow::DrawPolarPicture() {
    Canvas& c = *m_canvas;
    const int W = PlotPanel->width(), H = PlotPanel->height();
    c.SetClip(QRect(0, 0, W, H));
    c.PenColor = 0;
    c.PenWidth = 1;
    c.BrushColor = 0xFFFFFF;
    c.Rectangle(0, 0, W, H);
    const PolarFigure f = MakePolarFigure(WaveAmplitude, W, H, LiftedDegeneracyCheck->isChecked(),
                                          CompleteBySymmetryCheck->isChecked());
    if (PolarGridCheck->isChecked()) {
        for (int i = 0; i <= 11; ++i) {
            const double phi = 30.0 * i * kPi / 180.0;
            const int ex = f.xc + static_cast<int>(Round(f.L * std::sin(phi)));
            const int ey = f.yc - static_cast<int>(Round(f.L * std::cos(phi)));
            c.MoveTo(f.xc, f.yc);
            c.LineTo(ex, ey);
            const QString text = QStringLiteral("%1°").arg(30 * i);
            const int th = c.TextHeight(text), tw = c.TextWidth(text);
            const int dy = (i < 3 || i > 9) ? -th - 3 : (-th) / 2;
            int dx = i < 6 ? 3 : -tw - 3;
            if (i == 0 || i == 6) dx = (-tw) / 2;
            c.TextOut(ex + dx, ey + dy, text);
        }
    }
    c.PenColor = 0;
    c.Polygon(f.x.data(), f.y.data(), f.count, f.fill);
    // The frequency the values belong to, also in a saved or printed picture.
    const QString at =
        QStringLiteral("%1 Hz").arg(QString::fromStdString(FixedText(m_state.CurrentFreq, 1)));
    MeasuredFrequencyLabel->setText(QStringLiteral("Measured at ") + at);
    c.TextOut(4, 4, at);
    const double largest = *std::max_element(WaveAmplitude.begin(), WaveAmplitude.end());
    if (TheoryCheck->isChecked() && largest > 0.0) {
        // The same view of the theory, whose largest value is the measured one: it has the
        // measured figure's scale.
        const PolarFigure t = MakePolarFigure(TheoryValues(TheoryOrderSpin->value(), largest), W, H,
                                              LiftedDegeneracyCheck->isChecked(),
                                              CompleteBySymmetryCheck->isChecked());
        std::array<int, 74> x{}, y{};
        std::copy(t.x.begin(), t.x.begin() + t.count, x.begin());
        std::copy(t.y.begin(), t.y.begin() + t.count, y.begin());
        x[static_cast<size_t>(t.count)] = t.x[0];
        y[static_cast<size_t>(t.count)] = t.y[0];
        c.PenColor = kTheoryColor;
        c.PenWidth = 2;
        c.Polyline(x.data(), y.data(), t.count + 1);
        c.PenWidth = 1;
    }
    const TheoryFit best = BestTheory(WaveAmplitude);
    if (best.measured == 0) {
        BestOrderLabel->setText(QStringLiteral("Best fit: no values yet"));
    } else if (best.l < 0) {
        BestOrderLabel->setText(QStringLiteral("Best fit: after values at %1 angles (%2 so far)")
                                    .arg(kLeastAnglesForTheory)
                                    .arg(best.measured));
    } else {
        BestOrderLabel->setText(
            QStringLiteral("Best fit: l = %1 (residual %2 % of the largest value)")
                .arg(best.l)
                .arg(100.0 * best.residual, 0, 'f', 1));
    }
    c.Flush();
    PlotImage->update();
}

VectorDrawing WaveFunctionWindow::PlotVectors() {
    return CanvasVectors(*m_canvas, [this] { DrawPolarPlot(); });
}

PrintTitle WaveFunctionWindow::PlotTitle() const {
    return PrintTitle{{QStringLiteral("Amplitude as function of angle at %1 Hz")
                           .arg(ChosenFrequency(), 0, 'f', 1),
                       0}};
}

int WaveFunctionWindow::SelectedAngle() const { return AngleGroup->ItemIndex(); }
void WaveFunctionWindow::SelectAngle(int index) { AngleGroup->SetItemIndex(index); }
bool WaveFunctionWindow::FftFilterOn() const { return MainFftFilterOn ? MainFftFilterOn() : true; }
bool WaveFunctionWindow::LockInOn() const { return MainLockInOn ? MainLockInOn() : false; }
int WaveFunctionWindow::VolumePosition() const { return MainVolume ? MainVolume() : 50; }
void WaveFunctionWindow::AboutToMeasure(int index) {
    if (OnMeasureAngle) OnMeasureAngle(10.0 * index);
}
void WaveFunctionWindow::Redraw() {
    DrawPolarPlot();
    Thumbnails->update();
}
void WaveFunctionWindow::ShowSaturation(bool shown) { SaturationPanel->setVisible(shown); }

}  // namespace sonarix
