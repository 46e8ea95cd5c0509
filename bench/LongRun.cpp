// The long-run check (minutes, not a unit test): the one-hour sweep built and played on the
// virtual apparatus in real time, through the real main window (offscreen), for MINUTES
// (default 10) with the memory in use sampled every minute and the lag events counted; then a
// fit of 20000 points repeated 100 times with the memory before and after.
//   build/bench/long_run [MINUTES] [FITS]
#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "app/Program.h"
#include "bench/FitProblem.h"
#include "fitting/FitRun.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/VirtualApparatus.h"
#include "ui/main/MainWindow.h"

namespace {

using Clock = std::chrono::steady_clock;

// The resident memory of this process in KiB.
long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4;
}

class QuietFitWindow : public sonarix::FitWindow {
public:
    void ShowStartFit(bool) override {}
    void FitRange(double& from, double& to) override {
        from = 0;
        to = 100000;
    }
    void ShowProgress(bool) override {}
    void StepProgress() override {}
    void ProcessMessages() override {}
    void RefreshPeakLabels() override {}
    void RedrawFit() override {}
    void Report(const sonarix::Notice&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 10;
    const int fits = argc > 2 ? std::atoi(argv[2]) : 100;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    std::optional<platform::ContextScope> context(
        std::in_place,
        std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::RealTime));
    auto program = std::make_unique<sonarix::Program>();
    if (!sonarix::StartUp(*program)) return 1;
    sonarix::CreateRemainingWindows(*program);
    sonarix::MainWindow& f = *program->mainWindow;
    // 100 ... 10000 Hz in 0.5 Hz steps of 181.8 ms: 19800 points, 3599.6 s.
    f.StartFrequencyEdit->setText("100");
    f.StopFrequencyEdit->setText("10000");
    f.StepEdit->setText("0.5");
    f.TimePerStepEdit->setText("181.8");
    const auto start = Clock::now();
    long first = 0, largest = 0;
    int minute = 0;
    QTimer sampler;
    sampler.setInterval(60000);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        ++minute;
        const long now = ResidentKiB();
        largest = std::max(largest, now);
        std::printf("minute %2d: %ld KiB resident, %d points, %d lag events so far\n", minute, now,
                    program->state->SpecCount[0], f.Engine().LastStats().lagEvents);
        std::fflush(stdout);
        if (minute >= minutes) f.OnStopClicked();  // "Stop"
    });
    QTimer::singleShot(0, [&] {
        // The image is built when "Measure" starts: the first sample is taken just after.
        QTimer::singleShot(2000, [&] {
            first = ResidentKiB();
            largest = first;
            std::printf("start: %ld KiB resident with the one-hour image (%lld samples)\n", first,
                        static_cast<long long>(program->state->SampleCount));
            std::fflush(stdout);
        });
        sampler.start();
        f.OnMeasureClicked();  // "Measure": the sweep runs from the event loop until stopped
        while (f.Engine().Running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const sonarix::SweepStats& st = f.Engine().LastStats();
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf(
            "sweep: %d steps in %.0f s, %d lag events; memory %ld KiB at start, %ld KiB "
            "at most, %ld KiB at the end\n",
            st.steps, wall, st.lagEvents, first, largest, ResidentKiB());
        QApplication::quit();
    });
    QApplication::exec();
    sonarix::ShutDown(*program);
    program.reset();
    context.reset();

    auto fit = std::make_unique<sonarix::FitState>();
    long before = 0;
    for (int run = 1; run <= fits; ++run) {
        sonarix::PrepareFitProblem(*fit);
        sonarix::FitRunner runner(*fit);
        QuietFitWindow w;
        runner.Run(w);
        if (run == 1) before = ResidentKiB();
        if (run % 10 == 0 || run == fits) {
            std::printf("fit %3d: %ld KiB resident\n", run, ResidentKiB());
            std::fflush(stdout);
        }
    }
    std::printf("fits: %d runs of 20000 points, %ld KiB after the first, %ld KiB after the last\n",
                fits, before, ResidentKiB());
    return 0;
}
