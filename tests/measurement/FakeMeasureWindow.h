// A window for the sweep engine without widgets: fields, choices and indicators as plain
// members, hooks at the points where the real window processes messages and redraws.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "measurement/Messages.h"
#include "measurement/Sweep.h"

namespace sonarix::test {

class FakeMeasureWindow : public MeasureWindow {
public:
    SweepFields fields{"100", "10000", "10", "50"};
    int slot = 0;
    bool fft = true;
    bool lockIn = false;
    int volume = 50;

    int messages = 0;
    int redraws = 0;
    int lagShows = 0;
    int measureHides = 0;
    bool lag = false;
    bool saturation = false;
    bool saturationSeen = false;
    bool measureShown = true;
    bool measureEnabled = true;
    std::vector<Progress> progress;  // every report

    std::function<void()> onMessages;  // while processing messages
    std::function<void()> onRedraw;
    std::function<void()> onLag;  // when the lag indicator comes up
    std::function<void()> onProgress;

    SweepFields Fields() const override { return fields; }
    int SelectedSlot() const override { return slot; }
    bool FftFilterOn() const override { return fft; }
    bool LockInOn() const override { return lockIn; }
    int VolumePosition() const override { return volume; }
    void ProcessMessages() override {
        ++messages;
        if (onMessages) onMessages();
    }
    void Redraw() override {
        ++redraws;
        if (onRedraw) onRedraw();
    }
    void ShowLag(bool shown) override {
        if (shown && !lag) {
            ++lagShows;
            if (onLag) onLag();
        }
        lag = shown;
    }
    void ShowSaturation(bool shown) override {
        saturation = shown;
        saturationSeen = saturationSeen || shown;
    }
    void ShowMeasure(bool shown) override {
        if (!shown) ++measureHides;
        measureShown = shown;
    }
    void ShowProgress(const Progress& p) override {
        progress.push_back(p);
        if (onProgress) onProgress();
    }
    void EnableMeasure(bool enabled) override { measureEnabled = enabled; }
    // Kept, and shown as the main window shows them.
    void Report(const Notice& n) override {
        notices.push_back(n);
        ShowMessage(n.text);
    }
    std::vector<Notice> notices;
};

}  // namespace sonarix::test
