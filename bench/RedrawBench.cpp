// The spectrum redraw with four full slots, at the normal and the maximal display size (and
// QCustomPlot's on the same data where its package is installed), a sweep's step redraw, and
// the start-up to the shown main window on the virtual apparatus.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <random>

#include "app/Program.h"
#include "measurement/Playback.h"
#include "measurement/TestSignals.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/VirtualApparatus.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "ui/main/LiveViews.h"
#include "ui/main/MainWindow.h"
#include "ui/main/PlotDrawing.h"

#if defined(SONARIX_WITH_QCUSTOMPLOT)
#include <qcustomplot.h>
#endif

namespace {

// Four slots of 20000 noisy resonance spectra.
std::unique_ptr<sonarix::SharedState> FullStore() {
    auto s = std::make_unique<sonarix::SharedState>();
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 0.8);
    for (int slot = 0; slot < sonarix::kSlots; ++slot) {
        for (int i = 1; i <= sonarix::kSlotCapacity; ++i) {
            const double f = 100.0 + i * 0.495;
            double a = 2.0;
            for (double f0 : {2273.0, 3649.0, 4906.0, 6165.0, 7377.0, 8572.0}) {
                const double w = f0 / 200.0;
                a += 40.0 / (1.0 + ((f - f0) / w) * ((f - f0) / w));
            }
            s->SpecFreq[slot][i] = f;
            s->SpecAmp[slot][i] = std::max(0.0, a * (1.0 + 0.1 * slot) + noise(rng));
        }
        s->SpecCount[slot] = sonarix::kSlotCapacity;
    }
    return s;
}

// The main window's plot: the store, its image and canvas, the plot.
struct PlotSetup {
    PlotSetup() : s(FullStore()), image(3200, 1200, QImage::Format_RGB32), canvas(&image) {
        QFont font = sonarix::DialogFont();
        font.setStyleStrategy(QFont::NoAntialias);
        canvas.SetFont(font);
    }
    std::unique_ptr<sonarix::SharedState> s;
    QImage image;
    sonarix::Canvas canvas;
    sonarix::SpectrumPlot plot;
};

void Redraw(benchmark::State& state, int width, int height) {
    PlotSetup p;
    for (auto _ : state) {
        p.plot.RedrawSpectra(*p.s, p.canvas, width, height, std::nullopt);
        benchmark::DoNotOptimize(p.image.constBits());
    }
}

void BM_RedrawNormal(benchmark::State& state) { Redraw(state, 800, 660); }
void BM_RedrawMaximal(benchmark::State& state) { Redraw(state, 3200, 1200); }
BENCHMARK(BM_RedrawNormal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RedrawMaximal)->Unit(benchmark::kMillisecond);

#if defined(SONARIX_WITH_QCUSTOMPLOT)
// The same four slots as graphs of QCustomPlot (its Debian package), for comparison: one
// replot into its buffer at the same size, axes rescaled to the data as ours are.
void QcpRedraw(benchmark::State& state, int width, int height) {
    auto s = FullStore();
    QCustomPlot plot;
    plot.resize(width, height);
    for (int slot = 0; slot < sonarix::kSlots; ++slot) {
        const int n = s->SpecCount[slot];
        QVector<double> x(n), y(n);
        for (int i = 0; i < n; ++i) {
            x[i] = s->SpecFreq[slot][i + 1];
            y[i] = s->SpecAmp[slot][i + 1];
        }
        QCPGraph* g = plot.addGraph();
        g->setData(x, y, true);
        g->setPen(QColor::fromRgb(sonarix::ToQRgb(s->SpecColor[slot])));
    }
    plot.xAxis->setLabel(QStringLiteral("Frequency [Hz]"));
    plot.yAxis->setLabel(QStringLiteral("Amplitude"));
    plot.rescaleAxes();
    plot.show();  // lays it out at its size (offscreen)
    QApplication::processEvents();
    if (plot.viewport().size() != QSize(width, height)) {
        state.SkipWithError("QCustomPlot did not take the size");
        return;
    }
    plot.replot();
    // Drawn into its buffer now, shown later: the work our redraw does too.
    for (auto _ : state) plot.replot(QCustomPlot::rpQueuedRefresh);
}
void BM_QCustomPlotNormal(benchmark::State& state) { QcpRedraw(state, 800, 660); }
void BM_QCustomPlotMaximal(benchmark::State& state) { QcpRedraw(state, 3200, 1200); }
BENCHMARK(BM_QCustomPlotNormal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QCustomPlotMaximal)->Unit(benchmark::kMillisecond);
#endif

// A sweep's step as the main window draws it: slot 1 fills in 10 Hz steps from 100 to 10000 Hz
// (the axis to the stop frequency) while the other three hold 20000 points each; each
// iteration appends one point and brings the picture up to date. Steps that change the scale
// are redrawn completely and counted in the mean.
void StepRedraw(benchmark::State& state, int width, int height) {
    PlotSetup p;
    auto& s = p.s;
    auto& canvas = p.canvas;
    auto& plot = p.plot;
    auto& image = p.image;
    const std::optional<double> stop = 10000.0;
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, 0.8);
    int64_t steps = 0, complete = 0;
    s->SpecCount[0] = sonarix::kMaxSweepPoints;  // past the end: the first round starts anew
    for (auto _ : state) {
        if (s->SpecCount[0] >= 990) {
            state.PauseTiming();
            s->SpecCount[0] = 0;
            plot.RedrawSpectra(*s, canvas, width, height, stop);  // "Measure" clicked
            state.ResumeTiming();
        }
        const int n = ++s->SpecCount[0];
        const double f = 100.0 + 10.0 * n;
        double a = 2.0;
        for (double f0 : {2273.0, 3649.0, 4906.0, 6165.0, 7377.0, 8572.0}) {
            const double w = f0 / 200.0;
            a += 40.0 / (1.0 + ((f - f0) / w) * ((f - f0) / w));
        }
        s->SpecFreq[0][n] = f;
        s->SpecAmp[0][n] = std::max(0.0, a + noise(rng));
        const QRect changed = plot.RedrawStep(*s, canvas, width, height, stop);
        ++steps;
        complete += changed.width() == width;
        benchmark::DoNotOptimize(image.constBits());
    }
    state.counters["complete_share"] =
        static_cast<double>(complete) / static_cast<double>(std::max<int64_t>(steps, 1));
}
void BM_StepRedrawNormal(benchmark::State& state) { StepRedraw(state, 800, 660); }
void BM_StepRedrawMaximal(benchmark::State& state) { StepRedraw(state, 3200, 1200); }
BENCHMARK(BM_StepRedrawNormal)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StepRedrawMaximal)->Unit(benchmark::kMicrosecond);

// From nothing to the main window shown and painted once, as the program's main block does.
void BM_StartUpToShownWindow(benchmark::State& state) {
    for (auto _ : state) {
        std::optional<platform::ContextScope> context(
            std::in_place,
            std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::RealTime));
        auto p = std::make_unique<sonarix::Program>();
        sonarix::StartUp(*p);
        sonarix::CreateRemainingWindows(*p);
        p->mainWindow->repaint();
        QApplication::processEvents();
        state.PauseTiming();
        sonarix::ShutDown(*p);
        p.reset();
        context.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartUpToShownWindow)->Unit(benchmark::kMillisecond)->Iterations(10);

// One refresh of each live view on a recording of a 1 kHz tone, at the start size and at the
// image's full size.
void LiveRefresh(benchmark::State& state, bool fft, int w, int h) {
    std::optional<platform::ContextScope> context(
        std::in_place,
        std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual));
    auto* apparatus = static_cast<audio::VirtualApparatus*>(audio::CurrentBackend());
    auto p = std::make_unique<sonarix::Program>();
    sonarix::StartUp(*p);
    sonarix::CreateRemainingWindows(*p);
    p->state->CurrentFreq = 1000.0;
    sonarix::MakeToneWav(*p->state, 1.0);
    sonarix::StartPlayback(*p->state, 50);
    apparatus->AdvanceMs(200);
    sonarix::LiveView& view = fft ? static_cast<sonarix::LiveView&>(*p->liveSpectrum)
                                  : static_cast<sonarix::LiveView&>(*p->liveWaveform);
    view.resize(w, h);
    for (auto _ : state) view.Refresh();
    sonarix::ShutDown(*p);
    p.reset();
    context.reset();
}
void BM_LiveFftSmall(benchmark::State& s) { LiveRefresh(s, true, 602, 208); }
void BM_LiveFftLarge(benchmark::State& s) { LiveRefresh(s, true, 2000, 1500); }
void BM_LiveWaveSmall(benchmark::State& s) { LiveRefresh(s, false, 602, 208); }
void BM_LiveWaveLarge(benchmark::State& s) { LiveRefresh(s, false, 2000, 1500); }
BENCHMARK(BM_LiveFftSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LiveFftLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LiveWaveSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LiveWaveLarge)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const auto t0 = std::chrono::steady_clock::now();
    QApplication app(argc, argv);
    const double appMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("QApplication construction: %.1f ms (part of every start-up)\n", appMs);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
