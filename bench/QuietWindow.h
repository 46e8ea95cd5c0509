// The main window as the benchmark programs need it: the sweep fields, slot 0, the FFT filter
// or Lock-in, volume 50, and nothing shown.
#pragma once

#include "measurement/Sweep.h"

namespace sonarix::bench {

class QuietWindow : public MeasureWindow {
public:
    SweepFields fields{"100", "10000", "10", "50"};
    bool lockIn = false;
    SweepFields Fields() const override { return fields; }
    int SelectedSlot() const override { return 0; }
    bool FftFilterOn() const override { return true; }
    bool LockInOn() const override { return lockIn; }
    int VolumePosition() const override { return 50; }
    void Redraw() override {}
    void ShowLag(bool) override {}
    void ShowSaturation(bool) override {}
    void ShowMeasure(bool) override {}
    void EnableMeasure(bool) override {}
    void ShowProgress(const Progress&) override {}
    void Report(const Notice&) override {}
};

}  // namespace sonarix::bench
