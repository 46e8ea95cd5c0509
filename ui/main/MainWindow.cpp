// The main window.
#include "ui/main/MainWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollArea>
#include <QSlider>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cmath>
#include <numbers>

#include "measurement/FixedText.h"
#include "measurement/Latency.h"
#include "measurement/Messages.h"
#include "measurement/Playback.h"
#include "measurement/ReadNumber.h"
#include "measurement/TextFiles.h"
#include "physics/SphereTheory.h"
#include "platform/Clock.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "plot/PictureExport.h"
#include "plot/PlotMapping.h"
#include "session/SessionKeeper.h"
#include "ui/main/HelpDialog.h"
#include "ui/main/LineThicknessDialog.h"
#include "ui/main/LiveViews.h"
#include "ui/main/VersionDialog.h"

namespace sonarix {
namespace {

constexpr int kStripWidth = 200;
constexpr int kNormalWidthOffset = 215;  // "normal": outer width of the window less this

const QStringList kDatFilters{QStringLiteral("*.dat (*.dat)"), QStringLiteral("*.* (*)")};
const QStringList kSessionFilters{QStringLiteral("Sonarix sessions (*.sonarix)"),
                                  QStringLiteral("*.* (*)")};

}  // namespace

MainWindow::MainWindow(SharedState& state, QWidget* parent) : QMainWindow(parent), m_state(state) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Kavitron controlled by Sound Card (Orvell)"));
    setFont(DialogFont());
    m_client = new QWidget(this);
    m_client->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(m_client);
    BuildControls(m_client);
    BuildTimers();
    BuildMenus();
    UsePlot(*this);
    m_canvas->SetFont(PlotFont(DialogFont()));
    m_plot = std::make_unique<SpectrumPlot>();
    m_engine = std::make_unique<SweepEngine>(m_state, *this);
    ChooseFont = [this](const FontChoice& current) { return ChooseFontAndColour(this, current); };
    ChooseSaveFile = [this] {
        return RunFileDialog(this, true, "SaveDialog1", QString(), kDatFilters,
                             QStringLiteral("dat"));
    };
    ChooseOpenFile = [this] {
        return RunFileDialog(this, false, "OpenDialog1", QString(), kDatFilters,
                             QStringLiteral("dat"));
    };
    ChooseSessionSaveFile = [this] {
        return RunFileDialog(this, true, "SaveSessionDialog", QString(), kSessionFilters,
                             QStringLiteral("sonarix"));
    };
    ChooseSessionOpenFile = [this] {
        return RunFileDialog(this, false, "OpenSessionDialog", QString(), kSessionFilters,
                             QStringLiteral("sonarix"));
    };
    ChooseColor = [this](const QColor& current) { return ChooseColour(this, current); };
    ChooseSphere = [this](double radiusMm,
                          double celsius) -> std::optional<std::pair<double, double>> {
        QDialog d(this);
        d.setObjectName(QStringLiteral("SphereDialog"));
        d.setWindowTitle(QStringLiteral("Sphere Modes"));
        auto* form = new QFormLayout(&d);
        auto* radius = new QDoubleSpinBox(&d);
        radius->setRange(10.0, 1000.0);
        radius->setDecimals(1);
        radius->setValue(radiusMm);
        auto* temperature = new QDoubleSpinBox(&d);
        temperature->setRange(-50.0, 100.0);
        temperature->setDecimals(1);
        temperature->setValue(celsius);
        form->addRow(QStringLiteral("Radius [mm]"), radius);
        form->addRow(QString::fromUtf8("Temperature [°C]"), temperature);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &d);
        form->addRow(buttons);
        connect(buttons, &QDialogButtonBox::accepted, &d, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, &d, &QDialog::reject);
        if (d.exec() != QDialog::Accepted) return std::nullopt;
        return std::pair(radius->value(), temperature->value());
    };
    resize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
}

MainWindow::~MainWindow() = default;

void MainWindow::LayoutScrollBox() {
    LayoutPlotScrollBox(*PlotScrollBox, *PlotPanel, *m_client, kStripWidth);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FitPlotToWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!ConfirmExit()) {
        event->ignore();
        return;
    }
    EndSweepNow();
    m_engine->Abort();  // a running sweep or tone ends, so the program can
    QMainWindow::closeEvent(event);
    QApplication::quit();
}

void MainWindow::ClearImage() {
    m_canvas->SetClip(PlotImage->Picture.rect());
    m_canvas->PenColor = 0xFFFFFF;
    m_canvas->BrushColor = 0xFFFFFF;
    m_canvas->Rectangle(0, 0, kImageWidth, kImageHeight);
    PlotImage->update();
}

void MainWindow::SphereModesExecute() {
    if (!SphereModes->isChecked()) {
        m_plot->SetMarks({});
        RedrawSpectra();
        return;
    }
    const auto chosen = ChooseSphere ? ChooseSphere(m_sphereRadiusMm, m_sphereCelsius)
                                     : std::optional<std::pair<double, double>>(
                                           std::pair(m_sphereRadiusMm, m_sphereCelsius));
    if (!chosen) {
        SphereModes->setChecked(false);
        return;
    }
    m_sphereRadiusMm = chosen->first;
    m_sphereCelsius = chosen->second;
    // f = c x_ln / (2 pi a) up to 25 kHz, labelled "l,n".
    const double radius = m_sphereRadiusMm / 1000.0;
    const double scale = physics::SpeedOfSound(m_sphereCelsius) / (2.0 * std::numbers::pi * radius);
    std::vector<SpectrumPlot::Mark> marks;
    for (const physics::SphereRoot& r : physics::SphereRoots(25000.0 / scale)) {
        marks.push_back({r.x * scale, QStringLiteral("%1,%2").arg(r.l).arg(r.n)});
    }
    m_plot->SetMarks(std::move(marks));
    RedrawSpectra();
}

void MainWindow::RedrawSpectra() {
    if (!m_canvas) return;  // still being built
    const std::optional<double> axisEnd = AxisEnd();
    DrawComplete(*PlotImage, *m_canvas, PlotPanel->size(), [&] {
        m_plot->RedrawSpectra(m_state, *m_canvas, PlotPanel->width(), PlotPanel->height(), axisEnd);
    });
    ++m_redraws;
    PlotImage->update();
}

std::optional<double> MainWindow::AxisEnd() {
    // The sweep keeps the stop frequency it started with, whatever is typed meanwhile.
    if (m_engine && m_engine->Running()) return m_state.StopFreq;
    if (!Playing(m_state)) return std::nullopt;
    const std::string text = StopFrequencyEdit->text().toStdString();
    if (const std::optional<double> v = ParseNumber(text)) return *v;
    if (text != m_unreadableStop) {
        m_unreadableStop = text;
        ShowMessage(UnreadableNumberMessage(text, "Stop Frequency [Hz]"));
    }
    return std::nullopt;
}

void MainWindow::EnableBetweenSweeps(bool idle) {
    for (QAction* a : {SaveSpectrum, OpenSpectrum, Fit, WaveFunction, ConfigureSoundCard,
                       ConfigureSerial, CalibrateLatency, ConfigureRemote}) {
        a->setEnabled(idle);
    }
    // The dialogs that only change the drawing stay available during a stepped sweep, which
    // runs from the event loop and so measures on while one is open (not during a fast
    // measurement, which waits in a loop of its own).
    const bool drawing = idle || (m_engine && m_engine->Stepping());
    for (QAction* a : {SaveAsImage, PrinterSetup, PrintImage, ChangeFont, ChangePenColor,
                       ChangeLineThickness, ManualHelp, VersionInfo}) {
        a->setEnabled(drawing);
    }
    m_idle = idle;
    MeasureAction->setEnabled(idle);
    RefreshFastMeasure();
    for (QAction* a : {SaveSession, OpenSession, RestoreLastSession}) {
        a->setEnabled(idle && m_session != nullptr);
    }
    RefreshUndo();
    FitSpectrumButton->setEnabled(idle);
    FitSpectrumButton->setToolTip(idle ? QString()
                                       : QStringLiteral("Not while a sweep runs: press Stop"));
    SweepNote->setVisible(!idle);
    RefreshCorner();
}

void MainWindow::RefreshCorner() {
    // Hidden and shown again, the corner makes the menu bar give it its new size.
    m_corner->hide();
    for (QWidget* w : m_corner->findChildren<QWidget*>()) {
        if (!w->isHidden()) {
            m_corner->show();
            break;
        }
    }
}

void MainWindow::ChangeVolume() { sonarix::ChangeVolume(m_state, VolumeSlider->value()); }

int MainWindow::DisplayWidth(int item) const {
    if (item >= 1 && item <= 3) return (item + 1) * 800;
    return frameGeometry().width() - kNormalWidthOffset;
}

void MainWindow::SetPanelWidth(int width) {
    PlotPanel->resize(std::max(width, 1), PlotPanel->height());
    LayoutScrollBox();
}

void MainWindow::ApplyDisplayWidth() {
    SetPanelWidth(DisplayWidth(DisplayWidthGroup->ItemIndex()));
    RedrawSpectra();
}

void MainWindow::FitPlotToWindow() {
    if (DisplayWidthGroup->ItemIndex() == 0) {
        SetPanelWidth(DisplayWidth(0));
    } else {
        LayoutScrollBox();
    }
    RedrawSpectra();
}

PlotHandOver MainWindow::HandOver() const {
    return PlotHandOver{std::clamp(SpectrumSlotGroup->ItemIndex(), 0, kSlots - 1),
                        DisplayWidthGroup->ItemIndex(), PlotPanel->width(),
                        FontChoice{m_canvas->Font(), m_canvas->FontColor}, m_canvas->PenWidth};
}

PlotGeometry MainWindow::Geometry() const {
    const SharedState& s = m_state;
    return PlotGeometry{PlotPanel->width(), PlotPanel->height(), s.MarginLeft,
                        s.MarginBottom,     s.MarginRight,       s.MarginTop,
                        s.PlotFreqMin,      s.PlotFreqMax,       s.PlotAmpMax};
}

void MainWindow::ShowFrequencyAt(int x, int y) {
    ShowFrequencyReadOut(*FrequencyReadOut, Geometry(), x, y);
}

void MainWindow::OnPlotEntered() {
    for (int n : m_state.SpecCount) {
        if (n > 0) {
            FrequencyReadOut->show();
            return;
        }
    }
}

void MainWindow::OnPlotLeft() { FrequencyReadOut->hide(); }

void MainWindow::ChangeFontExecute() {
    const std::optional<FontChoice> choice =
        ChooseFont(FontChoice{m_canvas->Font(), m_canvas->FontColor});
    if (!choice) return;
    if (ApplyFontChoice(*m_canvas, *choice)) {
        m_state.MarginRight = m_canvas->TextWidth(QStringLiteral("20000.0")) / 2;
    }
    RedrawSpectra();
}

void MainWindow::ChangePenColorExecute() {
    const int slot = std::clamp(SpectrumSlotGroup->ItemIndex(), 0, kSlots - 1);
    const std::optional<QColor> color =
        ChooseColor(QColor::fromRgb(ToQRgb(m_state.SpecColor[slot])));
    if (!color) return;
    ChangeSlot(slot, "Pen Colour", [&] { m_state.SpecColor[slot] = FromQRgb(color->rgb()); });
    RedrawSpectra();
}

void MainWindow::ChangeLineThicknessExecute() {
    if (ThicknessDialog == nullptr) return;
    ThicknessDialog->exec();  // OK and the close box alike apply the choice
    m_canvas->PenWidth = std::clamp(ThicknessDialog->ThicknessGroup->ItemIndex(), 0, 3) + 1;
    RedrawSpectra();
}

void MainWindow::ExitExecute() {
    if (!ConfirmExit()) return;
    EndSweepNow();
    m_engine->Abort();
    QApplication::exit(0);
}

bool MainWindow::ConfirmExit() {
    std::string named;
    int count = 0;
    for (int slot = 0; slot < kSlots; ++slot) {
        if (!m_unsaved[static_cast<size_t>(slot)] || m_state.SpecCount[slot] <= 0) continue;
        named += (count++ > 0 ? ", " : "") + std::to_string(slot + 1);
    }
    const bool sweeping = m_engine && m_engine->Running();
    if (count == 0 && !sweeping) return true;
    std::string text = count == 0 ? std::string("A measurement is running.")
                                  : (count == 1 ? "Spectrum " : "Spectra ") + named +
                                        (count == 1 ? " holds" : " hold") +
                                        " measurements not saved in a file" +
                                        (sweeping ? " (a measurement is running)." : ".");
    text += m_session != nullptr && m_session->CurrentJournal() != nullptr
                ? " The journal keeps them: after the next start, File / Restore Last Session "
                  "brings them back. Exit anyway?"
                : " They will be lost. Exit anyway?";
    if (!AskQuestion(text)) return false;
    if (count > 0 && OnExitUnsaved) OnExitUnsaved();
    return true;
}

void MainWindow::RefreshLiveSpectrum() {
    if (LiveSpectrumView != nullptr && LiveSpectrumView->isVisible()) LiveSpectrumView->Refresh();
}

void MainWindow::RefreshLiveWaveform() {
    if (LiveWaveformView != nullptr && LiveWaveformView->isVisible()) LiveWaveformView->Refresh();
}

void MainWindow::LiveFftOnExecute() {
    if (LiveSpectrumView == nullptr) return;
    LiveSpectrumView->show();
    KeepOnScreen(LiveSpectrumView);
}

void MainWindow::LiveWaveOnExecute() {
    if (LiveWaveformView == nullptr) return;
    LiveWaveformView->show();
    KeepOnScreen(LiveWaveformView);
}

void MainWindow::ConfigureSoundCardExecute() {
    if (!ChooseSoundCard) return;
    StopRecording(m_state);
    const auto [stereo, left] = ChooseSoundCard();  // read whatever way it was closed
    // Without a recording device the program cannot go on: the message has been shown.
    std::string message;
    const bool restarted = RestartRecording(m_state, stereo, left, message);
    if (!message.empty()) ShowMessage(message);
    if (!restarted) QApplication::exit(1);
}

VectorDrawing MainWindow::PlotVectors() {
    return CanvasVectors(*m_canvas, [this] { RedrawSpectra(); });
}

PrintTitle MainWindow::PlotTitle() const {
    PrintTitle title;
    for (int slot = 0; slot < kSlots; ++slot) {
        if (m_state.SpecCount[slot] <= 0) continue;
        title.push_back({QStringLiteral("Spectrum %1   ").arg(slot + 1), m_state.SpecColor[slot]});
    }
    title.push_back({QStringLiteral("%1 ... %2 Hz")
                         .arg(m_state.PlotFreqMin, 0, 'f', 0)
                         .arg(m_state.PlotFreqMax, 0, 'f', 0),
                     0});
    return title;
}

void MainWindow::FitExecute() {
    m_state.CurrentSlot = std::clamp(SpectrumSlotGroup->ItemIndex(), 0, kSlots - 1);
    const int slot = m_state.CurrentSlot;
    const int n = std::clamp(m_state.SpecCount[slot], 0, kSlotCapacity);
    FitHandOver h;
    h.view = HandOver();
    h.frequency.assign(m_state.SpecFreq[slot].begin() + 1, m_state.SpecFreq[slot].begin() + 1 + n);
    h.amplitude.assign(m_state.SpecAmp[slot].begin() + 1, m_state.SpecAmp[slot].begin() + 1 + n);
    if (m_state.SpecPhased[slot]) {
        h.phase.assign(m_state.SpecPhase[slot].begin() + 1,
                       m_state.SpecPhase[slot].begin() + 1 + n);
    }
    h.color = m_state.SpecColor[slot];
    h.plotFreqMin = m_state.PlotFreqMin;
    h.plotFreqMax = m_state.PlotFreqMax;
    if (OpenFitWindow) OpenFitWindow(h);
}

void MainWindow::OnMeasureClicked() {
    // The sweep runs from the event loop, a piece at a time: the handler returns at once.
    if (m_engine->Start()) MeasurementBegins();
}

void MainWindow::ContinueSweep() {
    // The sweep's next piece, or the tone's next 50 ms.
    const bool tone = m_engine->TonePlaying();
    auto next = [&] { return tone ? m_engine->ContinueTone() : m_engine->Continue(); };
    int64_t us = next();
    // On the manual clock the waits of a whole step at once, so that each step takes one pass
    // of the event loop, as it does in real time.
    while (!tone && m_engine->Stepping() && us > 0 && platform::ManualClock()) {
        platform::SleepMicroseconds(us);
        us = next();
    }
    if (us >= 0) RestartAfter(*m_sweepTimer, us);
}

void MainWindow::EndSweepNow() {
    // The program is closing: the sweep ends without waiting for the step in progress.
    m_sweepTimer->stop();
    if (!m_engine->Running() && !m_engine->TonePlaying()) return;
    m_engine->Abort();
    while (m_engine->Continue() >= 0 || m_engine->ContinueTone() >= 0) {
    }
}

void MainWindow::ShowRemote(int connections) {
    RemoteLabel->setText(connections == 1
                             ? QStringLiteral("Remote: 1 script connected")
                             : QStringLiteral("Remote: %1 scripts connected").arg(connections));
    RemoteLabel->setVisible(connections > 0);
}

void MainWindow::OnClearSpectrumClicked() {
    const int slot = SpectrumSlotGroup->ItemIndex();
    ChangeSlot(slot, "Clear Spectrum", [&] { ClearSpectrum(m_state, slot); });
    RedrawSpectra();
}

void MainWindow::FastMeasureClick() {
    // From the event loop too, a 20 ms round of the recording at a time.
    if (m_idle && m_engine->StartFast(FastChoice())) MeasurementBegins();
}

FastSettings MainWindow::FastChoice() const {
    FastSettings f;
    for (size_t i = 0; i < FastSpacing.size(); ++i) {
        if (FastSpacing[i]->isChecked()) f.spacing = kFastSpacings[i];
    }
    for (size_t i = 0; i < FastLength.size(); ++i) {
        if (FastLength[i]->isChecked()) f.lengthFactor = kFastLengthFactors[i];
    }
    return f;
}

void MainWindow::SetFastChoice(const FastSettings& f) {
    for (size_t i = 0; i < FastSpacing.size(); ++i) {
        if (kFastSpacings[i] == f.spacing) FastSpacing[i]->setChecked(true);
    }
    for (size_t i = 0; i < FastLength.size(); ++i) {
        if (kFastLengthFactors[i] == f.lengthFactor) FastLength[i]->setChecked(true);
    }
}

void MainWindow::SetFreq(int x) { PlayToneAt(Geometry().FrequencyAt(x)); }

bool MainWindow::PlayToneAt(double frequency) {
    // The tone, too, plays from the event loop: the handler returns at once.
    if (m_engine->StartTone(frequency) && m_engine->TonePlaying()) {
        m_sweepTimer->start(0);
        return true;
    }
    return false;
}

MeasureWindow::SweepFields MainWindow::Fields() const {
    return SweepFields{StartFrequencyEdit->text().toStdString(),
                       StopFrequencyEdit->text().toStdString(), StepEdit->text().toStdString(),
                       TimePerStepEdit->text().toStdString()};
}

int MainWindow::SelectedSlot() const { return SpectrumSlotGroup->ItemIndex(); }
bool MainWindow::FftFilterOn() const { return FftFilterCheck->isChecked(); }
bool MainWindow::LockInOn() const { return LockInCheck->isChecked(); }

void MainWindow::ShowLatency() {
    const LatencyCalibration& c = m_state.Latency;
    QString tip;
    if (c.valid) {
        tip = QString::fromStdString(LatencyText(c)) +
              QStringLiteral("\nCalibrated: each step of a sweep waits for it.");
    } else {
        tip = QStringLiteral("Latency not calibrated (Configure > Calibrate Latency)");
    }
    LagArea->setToolTip(tip);
    LagIndicator->setToolTip(tip);
}
int MainWindow::VolumePosition() const { return VolumeSlider->value(); }
void MainWindow::Redraw() {
    // A sweep's step: only what changed is drawn and shown again.
    if (!m_canvas) return;
    // On a high-resolution screen the steps are drawn at the ordinary resolution; the last
    // one, after "Measure" is back, as a complete sharp picture.
    if (PlotImage->devicePixelRatioF() > 1.0 && MeasureButton->isVisible()) {
        RedrawSpectra();
        return;
    }
    const QRect changed =
        m_plot->RedrawStep(m_state, *m_canvas, PlotPanel->width(), PlotPanel->height(), AxisEnd());
    ++m_redraws;
    if (changed.isEmpty()) return;
    m_unshown = m_unshown.united(changed);
    if (!m_showTimer->isActive()) m_showTimer->start();
}
void MainWindow::ShowLag(bool shown) { LagIndicator->setVisible(shown); }
void MainWindow::ShowSaturation(bool shown) { SaturationPanel->setVisible(shown); }
void MainWindow::ShowMeasure(bool shown) {
    // The focus goes with the button at that place: when "Measure" hides, Space and Return go
    // to "Stop", not to the control that follows in the focus chain.
    if (!shown && focusWidget() == MeasureButton) StopButton->setFocus(Qt::OtherFocusReason);
    MeasureButton->setVisible(shown);
    if (shown && focusWidget() == StopButton) MeasureButton->setFocus(Qt::OtherFocusReason);
    EnableBetweenSweeps(shown);
}

void MainWindow::MeasurementBegins() {
    // The slot holds measurements not saved in a file from now on (ConfirmExit).
    m_unsaved[static_cast<size_t>(std::clamp(m_state.CurrentSlot, 0, kSlots - 1))] = true;
    m_sweepTimer->start(0);
}

void MainWindow::EnableMeasure(bool enabled) {
    MeasureButton->setEnabled(enabled);
    m_toneFree = enabled;
    RefreshFastMeasure();
}

void MainWindow::RefreshFastMeasure() {
    const bool free = m_idle && m_toneFree;
    FastButton->setEnabled(free);
    FastMeasure->setEnabled(free);
    FastButton->setToolTip(m_idle && !m_toneFree ? QStringLiteral("Not while a tone plays")
                                                 : QString());
}

void MainWindow::Report(const Notice& notice) { ShowMessage(notice.text); }

void MainWindow::ShowProgress(const Progress& p) {
    using Kind = Progress::Kind;
    if (p.kind == Kind::None) {
        for (QWidget* w : {static_cast<QWidget*>(SweepProgress),
                           static_cast<QWidget*>(ProgressNote), static_cast<QWidget*>(EndTone)}) {
            w->hide();
        }
        m_progressShown = {-1, -1};
        RefreshCorner();
        return;
    }
    // Shown anew only when the whole percent or second changes: a step of a few milliseconds
    // must not wait for the menu bar.
    const int percent = std::clamp(static_cast<int>(p.fraction * 100.0), 0, 100);
    const int seconds = static_cast<int>(std::ceil(std::max(p.secondsLeft, 0.0)));
    if (m_progressShown == std::pair{percent, seconds} && !ProgressNote->isHidden()) return;
    m_progressShown = {percent, seconds};
    SweepProgress->setValue(percent);
    const QString left = QStringLiteral("%1 s left").arg(seconds);
    ProgressNote->setText(p.kind == Kind::Sweep
                              ? QStringLiteral("%1 %, %2").arg(percent).arg(left)
                              : QStringLiteral("Tone %1 Hz: %2")
                                    .arg(QString::fromStdString(FixedText(p.frequency, 1)), left));
    const bool tone = p.kind == Kind::Tone;
    if (ProgressNote->isHidden() || EndTone->isHidden() == tone) {
        SweepProgress->show();
        ProgressNote->show();
        EndTone->setVisible(tone);
        RefreshCorner();
    }
}

void MainWindow::ManualHelpExecute() {
    if (HelpWindow != nullptr) HelpWindow->exec();
}

void MainWindow::ConfigureSerialExecute() {
    if (SerialDialog != nullptr) SerialDialog->exec();
}

void MainWindow::VersionInfoExecute() {
    if (VersionWindow != nullptr) VersionWindow->exec();
}

}  // namespace sonarix
