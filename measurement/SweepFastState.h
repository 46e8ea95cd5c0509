// The sweep engine's state of a running fast measurement, shared by its two source files.
#pragma once

#include <memory>
#include <optional>

#include "measurement/FastSweep.h"
#include "measurement/Sweep.h"

namespace sonarix {

// The main window's progress bar as a fast measurement's host.
class SweepEngine::FastHostOfWindow final : public FastHost {
public:
    explicit FastHostOfWindow(MeasureWindow& w) : m_window(w) {}
    void ShowProgress(double fraction, double secondsLeft, double frequency) override {
        m_window.ShowProgress(
            {MeasureWindow::Progress::Kind::Sweep, fraction, secondsLeft, frequency});
    }

private:
    MeasureWindow& m_window;
};

struct SweepEngine::Fast {
    FastPlan plan;
    int volume = 0;
    int slot = 0;
    int64_t waitedUs = 0;  // for the tail of a playback before it
    bool started = false;
    std::optional<RunningOperation> running;
    std::unique_ptr<FastHostOfWindow> host;
    std::unique_ptr<FastRun> run;
};

}  // namespace sonarix
