// The live views.
#include "ui/main/LiveViews.h"

#include <QResizeEvent>
#include <algorithm>
#include <cmath>
#include <vector>

#include "measurement/ReadLevel.h"
#include "measurement/Rounding.h"
#include "physics/SampleRate.h"
#include "platform/audio/Audio.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"

namespace sonarix {
namespace {

constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kRed = 0x0000FF;
constexpr uint32_t kFilterGrey = 0xDCDCDC;

int R(double v) { return RoundPixel(v); }

// x of FFT bin `bin` on a panel of width W: 0 Hz at 15, 20000 Hz at W - 20.
int BinX(int W, int bin) {
    return R(static_cast<double>((W - 35) * bin) / 1024.0 * kSampleRateHz / 20000.0) + 15;
}

}  // namespace

LiveView::LiveView(const char* name, const char* caption, const SharedState& state, QWidget* parent)
    : QWidget(parent, Qt::Window), m_state(state) {
    setObjectName(QString::fromLatin1(name));
    setWindowTitle(QString::fromLatin1(caption));
    setFont(DialogFont());
    PlotPanel = Named(new QWidget(this), "Panel1");
    PlotImage = Named(new TImage(2000, 1500, PlotPanel), "Image1");
    m_canvas = std::make_unique<Canvas>(&PlotImage->Picture);
    resize(602, 208);
    PlotPanel->setGeometry(0, 0, 602, 208);  // a hidden window gets its resize event when shown
}

LiveView::~LiveView() = default;

void LiveView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    PlotPanel->setGeometry(rect());
}

void LiveView::DrawFrame(int W, int H, uint32_t fill) {
    Canvas& c = *m_canvas;
    c.SetClip(QRect(0, 0, W, H));
    c.PenWidth = 1;
    c.PenColor = kWhite;
    c.BrushColor = kWhite;
    c.Rectangle(0, 0, W, H);
    c.BrushColor = fill;
    c.PenColor = 0;
    c.Rectangle(15, 10, W - 19, H - 32);
}

void LiveView::DrawTicks(int W, int H, const QString& title, bool frequency) {
    Canvas& c = *m_canvas;
    c.BrushColor = kWhite;  // text on white cells
    c.PenColor = 0;
    c.TextOut(15 - c.TextWidth(title) / 2 + (W - 35) / 2, H - 15, title);
    // Every 2000 Hz, or every millisecond of the 1024 / 44.1 ms shown.
    const int ticks = frequency ? 10 : 23;
    for (int i = 0; i <= ticks; ++i) {
        const int xi = frequency ? R(static_cast<double>((W - 35) * i) / 10.0)
                                 : R(i / 23.219954648526077 * (W - 35));
        const QString label = QString::number(frequency ? i * 2000 : i);
        // Centred under its tick, the last one ("20000") within the panel.
        const int lw = c.TextWidth(label);
        c.TextOut(std::min(15 - lw / 2 + xi, W - 2 - lw), H - 30, label);
        c.MoveTo(xi + 15, H - 38);
        c.LineTo(xi + 15, H - 33);
    }
}

void LiveView::Refresh() {
    PlotPanel->setGeometry(rect());
    DrawComplete(*PlotImage, *m_canvas, PlotPanel->size(), [this] { Draw(); });
    ++m_refreshes;
    PlotImage->update();
}

LiveSpectrumWindow::LiveSpectrumWindow(const SharedState& state, QWidget* parent)
    : LiveView("Form2", "Live FFT of Microphone", state, parent) {}

void LiveSpectrumWindow::Draw() {
    std::vector<float> data(2048, 0.0f);  // fresh and zero-filled every time
    audio::ChannelGetData(m_state.RecChannel, data.data(), kLevelFftFlags);
    double peak = 1e-20;
    for (int i = 0; i < 1024; ++i) peak = std::max(peak, std::fabs(Value(data.data(), i)));
    PlotPanel->setGeometry(rect());
    const int W = PlotPanel->width(), H = PlotPanel->height();
    const bool filter = FilterOn && FilterOn();
    DrawFrame(W, H, filter ? kFilterGrey : kWhite);
    Canvas& c = *m_canvas;
    if (filter) {
        const int k = LevelBin(m_state.CurrentFreq);
        c.PenColor = kWhite;
        c.BrushColor = kWhite;
        c.Rectangle(BinX(W, k - kLevelHalfBand), 11, BinX(W, k + kLevelHalfBand), H - 34);
        c.PenColor = 0;
        c.MoveTo(15, 10);
        c.LineTo(15, H - 32);
    }
    DrawTicks(W, H, QStringLiteral("Frequency [Hz]"), true);
    const double s = (H - 43) * 0.95 / peak;
    c.PenColor = kRed;
    c.MoveTo(15, H - 33 - R(s * Value(data.data(), 0)));
    for (int i = 0; i < 1024; ++i) {
        const int x = BinX(W, i);
        if (x > W - 20) continue;
        c.LineTo(x, H - 33 - R(s * Value(data.data(), i)));
    }
    c.Flush();
}

LiveWaveformWindow::LiveWaveformWindow(const SharedState& state, QWidget* parent)
    : LiveView("Form3", "Live Image of Microphone", state, parent) {}

void LiveWaveformWindow::Draw() {
    std::vector<int16_t> data(2048, 0);
    audio::ChannelGetData(m_state.RecChannel, data.data(), m_state.StereoInput ? 4096 : 2048);
    double peak = 1e-20;
    for (int i = 0; i < 1024; ++i) peak = std::max(peak, std::fabs(Value(data.data(), i)));
    PlotPanel->setGeometry(rect());
    const int W = PlotPanel->width(), H = PlotPanel->height();
    DrawFrame(W, H, kWhite);
    DrawTicks(W, H, QStringLiteral("Time [ms]"), false);
    const double s = (H - 43) * 0.45 / peak;
    const int m = (H - 43) / 2 + 10;
    Canvas& c = *m_canvas;
    c.PenColor = kRed;
    c.MoveTo(15, m - R(Value(data.data(), 0) * s));
    for (int i = 0; i < 1024; ++i) {
        c.LineTo(R(static_cast<double>((W - 35) * i) / 1024.0) + 15,
                 m - R(Value(data.data(), i) * s));
    }
    c.Flush();
}

}  // namespace sonarix
