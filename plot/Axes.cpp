// The axes of the plots: margins from the font, frame, titles, 1-2-5 ticks and their labels.
#include "plot/Axes.h"

#include <QImage>
#include <QString>
#include <algorithm>
#include <vector>

#include "measurement/FixedText.h"
#include "measurement/Rounding.h"
#include "plot/Canvas.h"
#include "plot/PlotMapping.h"

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
              double ampMax, PlotMargins m, const VerticalAxis* vertical) {
    const int th = c.TextHeight(QStringLiteral("A"));
    m.bottom = 3 * th;
    m.left = 2 * th;
    const char* sample = nullptr;
    if (vertical != nullptr) sample = "-000  ";
    if (ampMax > 0.001 && vertical == nullptr) sample = "0.0000  ";
    if (ampMax > 0.01 && vertical == nullptr) sample = "0.000  ";
    if (ampMax > 0.1 && vertical == nullptr) sample = "0.00  ";
    if (ampMax > 1.0 && vertical == nullptr) sample = "0.0  ";
    if (ampMax > 10.0 && vertical == nullptr) sample = "000  ";
    if (sample != nullptr) m.left = 2 * th + c.TextWidth(QString::fromLatin1(sample));
    const int w = panelWidth - m.left - m.right;
    const int h = panelHeight - m.bottom - m.top;
    const int bottomY = panelHeight - m.bottom;

    const QString freqTitle = QStringLiteral("Frequency [Hz]");
    c.TextOut((w / 2) + m.left - (c.TextWidth(freqTitle) / 2),
              panelHeight - static_cast<int>(Round(m.bottom / 2.5)), freqTitle);

    const double fstep = TickStep(freqMax - freqMin, 10000.0);
    double t = static_cast<double>(static_cast<int64_t>(freqMin / fstep)) * fstep;

    // The frame, (left, top) to (left + W + 1, bottom + 1). Its inside is filled with the
    // white brush; the image has just been cleared and nothing has been drawn inside yet, so
    // only the outline changes pixels and only the outline is drawn.
    c.PenColor = 0;
    c.MoveTo(m.left, m.top);
    c.LineTo(m.left + w, m.top);
    c.LineTo(m.left + w, bottomY);
    c.LineTo(m.left, bottomY);
    c.LineTo(m.left, m.top);

    if (!(freqMax < freqMin)) {
        const int decimals = FrequencyDecimals(fstep);
        int ticks = 0;
        do {
            if (t >= freqMin) {
                const QString label = Q(FixedText(t, decimals, FrequencyFieldWidth(t, decimals)));
                const int xt = RoundPixel((t - freqMin) / (freqMax - freqMin) * w) + m.left;
                // Centred under its tick, but never beyond the panel's right edge (the last
                // label of a narrow right margin, in a wide font or a vector picture).
                const int lw = c.TextWidth(label);
                c.TextOut(std::min(xt - lw / 2, panelWidth - 2 - lw), (m.bottom / 6) + bottomY,
                          label);
                c.MoveTo(xt, bottomY);
                c.LineTo(xt, bottomY - 5);
            }
            t = t + fstep;
        } while (t <= freqMax && ++ticks < kMostTicks);
    }

    // "Amplitude" turned by 90 degrees: drawn on a bitmap of its own, copied pixel by pixel.
    const QString ampTitle =
        vertical != nullptr ? QString::fromLatin1(vertical->title) : QStringLiteral("Amplitude");
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

    if (vertical != nullptr) {
        const double span = vertical->max - vertical->min;
        for (double a = vertical->min; span > 0 && a <= vertical->max + 1e-9 * span;
             a += vertical->step) {
            const QString label = Q(FixedText(a, vertical->decimals));
            const int yt = bottomY - RoundPixel((a - vertical->min) / span * h);
            c.TextOut(m.left - c.TextWidth(label + QStringLiteral("  ")),
                      yt - (c.TextHeight(label) / 2), label);
            c.MoveTo(m.left, yt);
            c.LineTo(m.left + 5, yt);
        }
        return;
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

void DrawCurve(Canvas& canvas, const PlotGeometry& g, const double* f, const double* a, int n,
               int* x, int* y) {
    if (n <= 0) return;
    g.MapX(f, n, x);
    g.MapY(a, n, y);
    if (!canvas.HasVector()) {
        canvas.Polyline(x, y, n);
        return;
    }
    std::vector<double> fineX(static_cast<size_t>(n)), fineY(static_cast<size_t>(n));
    g.MapFineX(f, n, fineX.data());
    g.MapFineY(a, n, fineY.data());
    canvas.Polyline(x, y, n, fineX.data(), fineY.data());
}

}  // namespace sonarix
