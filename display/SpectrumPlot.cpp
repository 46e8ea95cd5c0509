// The spectrum plot.
#include "display/SpectrumPlot.h"

#include <QImage>
#include <QString>

#include "display/Canvas.h"
#include "measurement/FixedText.h"
#include "measurement/ReadNumber.h"
#include "measurement/Rounding.h"

namespace sonarix {
namespace {

QString Q(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<int>(s.size()));
}

// Decimals of a frequency label: 0 for steps from 1 Hz, 1 from 0.1, 2 from 0.01, 3 from
// 0.001; a span so narrow that the step falls below 0.001 gets 4.
int FrequencyDecimals(double step) {
    if (step >= 1.0) return 0;
    if (step >= 0.1) return 1;
    if (step >= 0.01) return 2;
    if (step >= 0.001) return 3;
    return 4;
}

// The label field: one leading blank for 0 <= t < 100000.
int FrequencyFieldWidth(double t, int decimals) {
    int base = 2;
    if (t >= 10000) {
        base = 6;
    } else if (t >= 1000) {
        base = 5;
    } else if (t >= 100) {
        base = 4;
    } else if (t >= 10) {
        base = 3;
    }
    return base + (decimals > 0 ? decimals + 1 : 0);
}

int AmplitudeDecimals(double step) {
    if (step < 0.001) return 4;
    if (step < 0.01) return 3;
    if (step < 0.1) return 2;
    if (step < 1.0) return 1;
    return 0;
}

// More ticks than this cannot be told apart on any panel; a range that would need more (a
// file with absurd frequencies) is not ticked beyond them, so that the redraw cannot stall.
constexpr int kMostTicks = 5000;

}  // namespace

double TickStep(double range, double start) {
    double step = start;
    do {
        if (5.0 * step > range) step = step / 2.0;
        if (5.0 * step > range) step = step / 2.5;
        if (5.0 * step > range) step = step / 2.0;
    } while (5.0 * step > range && step >= 0.001);
    return step;
}

void DrawAxes(Canvas& c, int panelWidth, int panelHeight, double freqMin, double freqMax,
              double ampMax, PlotMargins m) {
    const int th = c.TextHeight(QStringLiteral("A"));
    m.bottom = 3 * th;
    m.left = 2 * th;
    const char* sample = nullptr;
    if (ampMax > 0.001) sample = "0.0000  ";
    if (ampMax > 0.01) sample = "0.000  ";
    if (ampMax > 0.1) sample = "0.00  ";
    if (ampMax > 1.0) sample = "0.0  ";
    if (ampMax > 10.0) sample = "000  ";
    if (sample != nullptr) m.left = 2 * th + c.TextWidth(QString::fromLatin1(sample));
    const int w = panelWidth - m.left - m.right;
    const int h = panelHeight - m.bottom - m.top;
    const int bottomY = panelHeight - m.bottom;

    const QString freqTitle = QStringLiteral("Frequency [Hz]");
    c.TextOut((w / 2) + m.left - (c.TextWidth(freqTitle) / 2),
              panelHeight - static_cast<int>(Round(m.bottom / 2.5)), freqTitle);

    const double fstep = TickStep(freqMax - freqMin, 10000.0);
    double t = static_cast<double>(static_cast<int64_t>(freqMin / fstep)) * fstep;

    c.PenColor = 0;
    c.Rectangle(m.left, m.top, m.left + w + 1, bottomY + 1);

    if (!(freqMax < freqMin)) {
        const int decimals = FrequencyDecimals(fstep);
        int ticks = 0;
        do {
            if (t >= freqMin) {
                const QString label = Q(FixedText(t, decimals, FrequencyFieldWidth(t, decimals)));
                const int xt = RoundPixel((t - freqMin) / (freqMax - freqMin) * w) + m.left;
                c.TextOut(xt - (c.TextWidth(label) / 2), (m.bottom / 6) + bottomY, label);
                c.MoveTo(xt, bottomY);
                c.LineTo(xt, bottomY - 5);
            }
            t = t + fstep;
        } while (t <= freqMax && ++ticks < kMostTicks);
    }

    // "Amplitude" turned by 90 degrees: drawn on a bitmap of its own, copied pixel by pixel.
    const QString ampTitle = QStringLiteral("Amplitude");
    QImage bitmap(c.TextWidth(ampTitle), c.TextHeight(ampTitle), QImage::Format_RGB32);
    {
        Canvas b(&bitmap);
        b.SetFont(c.Font());
        b.FontColor = c.FontColor;
        b.TextOut(0, 0, ampTitle);
    }
    const int x0 = th / 2;
    const int y0 = (bitmap.width() / 2) + (bottomY - (h / 2));
    for (int i = 0; i < bitmap.width(); ++i) {
        for (int j = 0; j < bitmap.height(); ++j) {
            c.SetPixel(x0 + j, y0 - i, FromQRgb(bitmap.pixel(i, j)));
        }
    }

    const double astep = TickStep(ampMax, 100.0);
    if (ampMax > 0.001) {
        const int decimals = AmplitudeDecimals(astep);
        double a = 0.0;
        do {
            const QString label = Q(FixedText(a, decimals));
            const int yt = bottomY - RoundPixel(a / ampMax * h);
            c.TextOut(m.left - c.TextWidth(label + QStringLiteral("  ")),
                      yt - (c.TextHeight(label) / 2), label);
            c.MoveTo(m.left, yt);
            c.LineTo(m.left + 5, yt);
            a = a + astep;
        } while (a <= ampMax && a <= 1000.0);
    }
}

void SpectrumPlot::RedrawSpectra(SharedState& s, Canvas& c, int panelWidth, int panelHeight,
                                 bool playing, std::string_view stopFrequencyText) {
    double ampMax = 1e-10, freqMin = 100000.0, freqMax = 0.0;
    for (int slot = 0; slot < kSlots; ++slot) {
        for (int i = 1; i <= s.SpecCount[slot]; ++i) {
            if (s.SpecAmp[slot][i] > ampMax) ampMax = s.SpecAmp[slot][i];
            if (s.SpecFreq[slot][i] > freqMax) freqMax = s.SpecFreq[slot][i];
            if (s.SpecFreq[slot][i] < freqMin) freqMin = s.SpecFreq[slot][i];
        }
    }
    if (freqMax == freqMin) freqMax = freqMin + 0.1;
    if (playing && ReadNumber(stopFrequencyText) > freqMax) {
        freqMax = ReadNumber(stopFrequencyText);
    }
    s.PlotAmpMax = ampMax;
    s.PlotFreqMin = freqMin;
    s.PlotFreqMax = freqMax;

    // Only the panel can be seen; the rest of the image is neither cleared nor drawn.
    c.SetClip(QRect(0, 0, panelWidth, panelHeight));
    c.PenColor = 0xFFFFFF;
    c.Rectangle(0, 0, c.Image()->width(), c.Image()->height());

    DrawAxes(c, panelWidth, panelHeight, freqMin, freqMax, ampMax,
             PlotMargins{s.MarginLeft, s.MarginBottom, s.MarginRight, s.MarginTop});
    const int w = panelWidth - s.MarginLeft - s.MarginRight;
    const int h = panelHeight - s.MarginBottom - s.MarginTop;
    for (int slot = 0; slot < kSlots; ++slot) {
        const int n = s.SpecCount[slot];
        if (n <= 0) continue;
        const double* f = s.SpecFreq[slot].data();
        const double* a = s.SpecAmp[slot].data();
        for (int i = 1; i <= n; ++i) {
            m_x[i - 1] = RoundPixel((f[i] - freqMin) * w / (freqMax - freqMin)) + s.MarginLeft;
            m_y[i - 1] = panelHeight - (RoundPixel(a[i] / ampMax * h) + s.MarginBottom);
        }
        c.PenColor = s.SpecColor[slot];
        c.Polyline(m_x.data(), m_y.data(), n);
    }
    c.Flush();
}

}  // namespace sonarix
