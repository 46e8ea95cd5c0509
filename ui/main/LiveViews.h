// LiveSpectrumWindow "Live FFT of Microphone" and LiveWaveformWindow "Live Image of Microphone":
// the latest 1024 recorded frames as a magnitude spectrum up to 20000 Hz and as a waveform, redrawn
// by the main window's timers while they are shown.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "measurement/SharedState.h"

namespace sonarix {

class Canvas;
class TImage;

// What both views share: the panel, the 2000 x 1500 image and its canvas.
class LiveView : public QWidget {
    Q_OBJECT
public:
    LiveView(const char* name, const char* caption, const SharedState& state, QWidget* parent);
    ~LiveView() override;

    QWidget* PlotPanel = nullptr;
    TImage* PlotImage = nullptr;
    Canvas& PlotCanvas() { return *m_canvas; }
    int RefreshCount() const { return m_refreshes; }

    // One complete redraw from the latest recording.
    void Refresh();

protected:
    void resizeEvent(QResizeEvent* event) override;
    // The value of index i of the shown channel: mono i, stereo 2i (left) or 2i + 1 (right).
    template <typename T>
    double Value(const T* buffer, int i) const {
        if (!m_state.StereoInput) return static_cast<double>(buffer[i]);
        return static_cast<double>(buffer[2 * i + (m_state.LeftChannel ? 0 : 1)]);
    }
    // Clear, the frame with the given fill, the title and the ticks of both views.
    void DrawFrame(int W, int H, uint32_t fill);
    void DrawTicks(int W, int H, const QString& title, bool frequency);
    // One complete picture of the latest 2048 frames onto the canvas.
    virtual void Draw() = 0;

    const SharedState& m_state;
    std::unique_ptr<Canvas> m_canvas;
    int m_refreshes = 0;
};

class LiveSpectrumWindow : public LiveView {
    Q_OBJECT
public:
    LiveSpectrumWindow(const SharedState& state, QWidget* parent = nullptr);
    // The main window's "FFT-Filter on".
    std::function<bool()> FilterOn;

private:
    void Draw() override;
};

class LiveWaveformWindow : public LiveView {
    Q_OBJECT
public:
    LiveWaveformWindow(const SharedState& state, QWidget* parent = nullptr);

private:
    void Draw() override;
};

}  // namespace sonarix
