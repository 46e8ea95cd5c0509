// Renders the main window with four slots of spectra of the virtual apparatus (the model's
// response at four hemisphere angles) into PNG files, at the "normal" and "wide" display:
// main_window_picture OUT_PREFIX  ->  OUT_PREFIX-normal.png (its plot as vectors -plot.svg,
// -plot.pdf; with View / Sphere Modes
// -modes.png), OUT_PREFIX-wide.png, and the
// dialogs OUT_PREFIX-form4.png, -form8.png, -form10.png, -form11.png, -font.png, the fit window
// OUT_PREFIX-fit.png, the wave-function window -wave.png (and with a whole-spectrum series
// -series.png; with a 6 mm ring the members of l = 1 and 2 fitted, -lifted-lLmM.png), the
// virtual apparatus -virtual.png,
// the live views -form2.png, -form3.png, the sound dialogs -form6.png, -form7.png, the latency
// calibration after a run -latency.png, and a sweep half-way, OUT_PREFIX-sweep.png
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>

#include "app/Program.h"
#include "measurement/Playback.h"
#include "measurement/TestSignals.h"
#include "physics/ResonatorModel.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "plot/FontDialog.h"
#include "plot/PictureExport.h"
#include "ui/config/InputDialog.h"
#include "ui/config/LatencyDialog.h"
#include "ui/config/RemoteDialog.h"
#include "ui/config/SerialPortDialog.h"
#include "ui/config/SoundCardDialog.h"
#include "ui/config/VirtualApparatusWindow.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/HelpDialog.h"
#include "ui/main/LineThicknessDialog.h"
#include "ui/main/LiveViews.h"
#include "ui/main/MainWindow.h"
#include "ui/main/VersionDialog.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace {

// The event loop while `busy` says so: an angle measurement or a fit run goes on from it.
void Until(const std::function<bool()>& busy) {
    while (busy()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: main_window_picture OUT_PREFIX\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    auto backend =
        std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual);
    audio::VirtualApparatus* apparatus = backend.get();
    const platform::ContextScope context(std::move(backend));
    sonarix::Program p;
    if (!sonarix::StartUp(p)) return 1;
    sonarix::CreateRemainingWindows(p);
    sonarix::SharedState& s = *p.state;
    const double angles[4] = {180.0, 120.0, 60.0, 0.0};
    for (int slot = 0; slot < sonarix::kSlots; ++slot) {
        apparatus->SetHemisphereAngle(angles[slot]);
        int n = 0;
        for (double f = 110.0; f <= 10000.0; f += 10.0) {
            ++n;
            s.SpecFreq[slot][n] = f;
            // What a sweep at volume 50 stores: 100 x the seven-bin level of amplitude 4000.
            s.SpecAmp[slot][n] = 100.0 * 0.5 * 4000.0 / 32768.0 *
                                 std::abs(apparatus->ExpectedResponse(f)) * std::sqrt(1.5);
        }
        s.SpecCount[slot] = n;
    }
    const std::string prefix = argv[1];
    p.mainWindow->RedrawSpectra();
    p.mainWindow->grab().save(QString::fromStdString(prefix + "-normal.png"));
    // The same plot as vectors.
    {
        const QImage plot = sonarix::PlotOutput::VisiblePlot(p.mainWindow->PlotImage->Picture,
                                                             p.mainWindow->PlotPanel->width(),
                                                             p.mainWindow->PlotPanel->height());
        sonarix::SavePicture(plot, prefix + "-plot.svg", p.mainWindow->PlotVectors());
        sonarix::SavePicture(plot, prefix + "-plot.pdf", p.mainWindow->PlotVectors());
    }
    // The same with View / Sphere Modes for the 5 cm sphere at 20 degrees.
    p.mainWindow->ChooseSphere = [](double, double) {
        return std::optional<std::pair<double, double>>(std::pair(50.0, 20.0));
    };
    p.mainWindow->SphereModes->trigger();
    p.mainWindow->grab().save(QString::fromStdString(prefix + "-modes.png"));
    p.mainWindow->SphereModes->trigger();
    p.mainWindow->DisplayWidthGroup->SetItemIndex(1);
    p.mainWindow->grab().save(QString::fromStdString(prefix + "-wide.png"));
    // The whole wide plot, as the picture export will take it.
    p.mainWindow->PlotImage->Picture
        .copy(0, 0, p.mainWindow->PlotPanel->width(), p.mainWindow->PlotPanel->height())
        .save(QString::fromStdString(prefix + "-wide-plot.png"));
    // The dialogs of the main window.
    p.lineThickness->grab().save(QString::fromStdString(prefix + "-form4.png"));
    p.serialDialog->grab().save(QString::fromStdString(prefix + "-form8.png"));
    p.helpDialog->grab().save(QString::fromStdString(prefix + "-form10.png"));
    p.versionDialog->grab().save(QString::fromStdString(prefix + "-form11.png"));
    // The remote control dialog, with other computers chosen: the warning shows.
    p.remoteDialog->ShowSettings();
    p.remoteDialog->RemoteOnCheck->setChecked(true);
    p.remoteDialog->OtherHostsCheck->setChecked(true);
    p.remoteDialog->grab().save(QString::fromStdString(prefix + "-remote.png"));
    {
        sonarix::TFontDialog fonts(p.mainWindow.get());
        fonts.setFont(p.mainWindow->font());
        fonts.SetChoice({p.mainWindow->PlotCanvas().Font(), 0x000080});
        fonts.adjustSize();
        fonts.grab().save(QString::fromStdString(prefix + "-font.png"));
    }
    // The fit window on slot 1 with two peaks placed near 2273 and 3649 Hz and fitted.
    {
        p.mainWindow->SpectrumSlotGroup->SetItemIndex(0);
        p.mainWindow->OpenFitWindow = [&](const sonarix::FitHandOver& h) {
            p.fitWindow->FitExecute(h, false);
        };
        p.mainWindow->FitExecute();
        sonarix::PeakFitWindow& fit = *p.fitWindow;
        fit.RangeFromEdit->setText("1800");
        fit.RangeToEdit->setText("4200");
        const double guesses[2][2] = {{2290.0, 15.0}, {3665.0, 7.0}};
        for (int k = 0; k < 2; ++k) {
            fit.PeakNumberGroup->SetItemIndex(k);
            const sonarix::PlotGeometry g = fit.Geometry();
            fit.SetPeakAmp(g.X(guesses[k][0]), g.Y(guesses[k][1]), Qt::LeftButton);
        }
        fit.show();
        fit.OnStartFitClicked();
        Until([&] { return fit.FitRunning(); });
        fit.PeakNumberGroup->SetItemIndex(1);
        fit.ChangePeakNumber();
        fit.grab().save(QString::fromStdString(prefix + "-fit.png"));
        fit.hide();
    }
    // The wave function of the l = 2 mode, measured at the 19 angles on the virtual apparatus,
    // completed by symmetry with the polar grid and the l = 2 theory; and the virtual
    // apparatus's window.
    {
        sonarix::WaveFunctionWindow& wave = *p.waveWindow;
        wave.Open(false);
        for (const physics::CavityMode& m : apparatus->Modes()) {
            if (m.l == 2 && m.n == 1) s.CurrentFreq = m.frequency;
        }
        for (int k = 0; k < sonarix::kAngles; ++k) {
            wave.OnMeasureValueClicked();
            Until([&] { return wave.Measuring(); });
            apparatus->AdvanceMs(600);
        }
        wave.CompleteBySymmetryCheck->setChecked(true);
        wave.PolarGridCheck->setChecked(true);
        wave.TheoryCheck->setChecked(true);
        wave.TheoryOrderSpin->setValue(2);
        wave.show();
        wave.DrawPolarPlot();
        wave.grab().save(QString::fromStdString(prefix + "-wave.png"));
        // The same mode from a whole-spectrum series over 1500 ... 4000 Hz, and its spectra.
        p.mainWindow->StartFrequencyEdit->setText(QStringLiteral("1500"));
        p.mainWindow->StopFrequencyEdit->setText(QStringLiteral("4000"));
        wave.WholeSpectrum->trigger();
        wave.OnClearClicked();
        for (int k = 0; k < sonarix::kAngles; ++k) {
            wave.OnMeasureValueClicked();
            Until([&] { return wave.Measuring(); });
        }
        wave.DrawPolarPlot();
        wave.grab().save(QString::fromStdString(prefix + "-series.png"));
        // With a 6 mm spacer ring: one series over 2000 ... 4000 Hz, and the lifted-degeneracy
        // view of each member of l = 1 and l = 2 at its own frequency, with its |cos(m alpha)|.
        {
            physics::SphereSetup ring;
            ring.ring = 0.006;
            apparatus->SetSphere(ring);
            s.Latency = sonarix::LatencyCalibration{true, 441.0, 60.0, 0.0};
            p.mainWindow->StartFrequencyEdit->setText(QStringLiteral("1900"));
            p.mainWindow->StopFrequencyEdit->setText(QStringLiteral("3900"));
            wave.FitPeaks->trigger();
            wave.OnClearClicked();
            for (int k = 0; k < sonarix::kAngles; ++k) {
                wave.OnMeasureValueClicked();
                Until([&] { return wave.Measuring(); });
            }
            wave.LiftedDegeneracyCheck->setChecked(true);
            wave.TheoryCheck->setChecked(false);
            for (const physics::CavityMode& m : apparatus->Modes()) {
                if ((m.l != 1 && m.l != 2) || m.n != 1) continue;
                wave.ChooseFrequency(m.frequency);
                wave.DrawPolarPlot();
                wave.grab().save(QString::fromStdString(prefix + "-lifted-l" + std::to_string(m.l) +
                                                        "m" + std::to_string(m.m) + ".png"));
            }
            wave.LiftedDegeneracyCheck->setChecked(false);
            wave.FitPeaks->trigger();
            apparatus->SetSphere(physics::SphereSetup{});
        }
        wave.WholeSpectrum->trigger();
        wave.hide();
        if (p.virtualWindow)
            p.virtualWindow->grab().save(QString::fromStdString(prefix + "-virtual.png"));
    }
    // The live views during a 1 kHz tone, and the two sound dialogs.
    {
        s.CurrentFreq = 1000.0;
        sonarix::MakeToneWav(s, 1.0);
        sonarix::StartPlayback(s, 50);
        apparatus->AdvanceMs(200);
        p.liveSpectrum->Refresh();
        p.liveWaveform->Refresh();
        p.liveSpectrum->grab().save(QString::fromStdString(prefix + "-form2.png"));
        p.liveWaveform->grab().save(QString::fromStdString(prefix + "-form3.png"));
        p.soundCardDialog->grab().save(QString::fromStdString(prefix + "-form6.png"));
        p.inputDialog->grab().save(QString::fromStdString(prefix + "-form7.png"));
        apparatus->AdvanceMs(1000);
    }
    // The latency calibration of the apparatus, 30 ms.
    apparatus->SetLatency(1323);
    p.latencyDialog->OnCalibrateClicked();  // the calibration runs from the event loop
    while (p.latencyDialog->Running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    p.latencyDialog->grab().save(QString::fromStdString(prefix + "-latency.png"));
    // Half-way through a sweep into slot 1: the spectrum grows from the left.
    p.mainWindow->DisplayWidthGroup->SetItemIndex(0);
    p.mainWindow->SpectrumSlotGroup->SetItemIndex(0);
    p.mainWindow->OnClearSpectrumClicked();
    std::function<void()> watch = [&] {
        const sonarix::SharedState& st = *p.state;
        if (p.mainWindow->Engine().Running() && st.SpecCount[0] > 0 &&
            st.CurrentFreq >= 0.5 * (st.StartFreq + st.StopFreq)) {
            p.mainWindow->grab().save(QString::fromStdString(prefix + "-sweep.png"));
            p.mainWindow->OnStopClicked();
            return;
        }
        QTimer::singleShot(0, p.mainWindow.get(), watch);
    };
    QTimer::singleShot(0, p.mainWindow.get(), watch);
    p.mainWindow->OnMeasureClicked();  // the sweep runs from the event loop
    while (p.mainWindow->Engine().Running()) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    sonarix::ShutDown(p);
    return 0;
}
