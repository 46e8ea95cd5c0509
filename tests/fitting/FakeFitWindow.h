// The fit window without widgets, for the fit run's tests.
#pragma once

#include <functional>
#include <vector>

#include "fitting/FitRun.h"
#include "measurement/Messages.h"

namespace sonarix::test {

class FakeFitWindow : public FitWindow {
public:
    int steps = 0, messages = 0, redraws = 0;
    bool startShown = true, progressShown = false;
    std::function<void()> onMessages;
    double from = 0, to = 0;
    void ShowStartFit(bool shown) override { startShown = shown; }
    void FitRange(double& f, double& t) override {
        f = from;
        t = to;
    }
    void ShowProgress(bool shown) override { progressShown = shown; }
    void StepProgress() override { ++steps; }
    void ProcessMessages() override {
        ++messages;
        if (onMessages) onMessages();
    }
    void RefreshPeakLabels() override {}
    std::function<void()> onRedraw;
    void RedrawFit() override {
        ++redraws;
        if (onRedraw) onRedraw();
    }
    bool phases = false;  // "Fit phases too"
    bool FitPhases() const override { return phases; }
    // Kept, and shown as the fit window shows them.
    void Report(const Notice& n) override {
        notices.push_back(n);
        ShowMessage(n.text);
    }
    std::vector<Notice> notices;
};

}  // namespace sonarix::test
