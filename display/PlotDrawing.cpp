// The spectrum plot.
#include "display/PlotDrawing.h"

#include <QImage>
#include <QString>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>

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

// The pixel mapping of the curves. Dividing is the costly part; a multiplication by the
// reciprocal gives the same rounded pixel except within a few units in the last place of a
// half, so it is used two points at a time and the formula as written decides only near a
// half. Clamping to +-2^26 and NaN (to the lower bound) as in RoundPixel; cvtpd2dq rounds
// halves to even in the default rounding mode.
#if defined(__SSE2__)
template <typename Approx, typename Exact>
void MapPixels(const double* v, int n, Approx approx, int add, bool negate, Exact exact, int* out) {
    const __m128d far = _mm_set1_pd(static_cast<double>(1 << 26));
    const __m128d nearFar = _mm_sub_pd(_mm_setzero_pd(), far);
    const __m128d absMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m128d half = _mm_set1_pd(0.5), guard = _mm_set1_pd(1e-9), one = _mm_set1_pd(1.0);
    int i = 0;
    for (; i + 1 < n; i += 2) {
        const __m128d d = _mm_min_pd(_mm_max_pd(approx(_mm_loadu_pd(v + i)), nearFar), far);
        const __m128i r = _mm_cvtpd_epi32(d);
        const __m128d frac = _mm_and_pd(_mm_sub_pd(d, _mm_cvtepi32_pd(r)), absMask);
        const __m128d tol = _mm_mul_pd(guard, _mm_max_pd(_mm_and_pd(d, absMask), one));
        const __m128d nearHalf = _mm_cmplt_pd(_mm_and_pd(_mm_sub_pd(frac, half), absMask), tol);
        const __m128i base = _mm_set1_epi32(add);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i),
                         negate ? _mm_sub_epi32(base, r) : _mm_add_epi32(r, base));
        const int mask = _mm_movemask_pd(nearHalf);
        if (mask != 0) {
            for (int k = 0; k < 2; ++k) {
                if (((mask >> k) & 1) == 0) continue;
                const int pixel = RoundPixel(exact(v[i + k]));
                out[i + k] = negate ? add - pixel : pixel + add;
            }
        }
    }
    for (; i < n; ++i) {
        const int pixel = RoundPixel(exact(v[i]));
        out[i] = negate ? add - pixel : pixel + add;
    }
}
#endif

// For each point: a larger amplitude, a larger or a smaller frequency is taken; so is nothing
// that does not compare (NaN). Two points at a time: maxpd(v, m) gives v only if v > m.
void ScanRange(const double* f, const double* a, int n, double& ampMax, double& freqMin,
               double& freqMax) {
    int i = 0;
#if defined(__SSE2__)
    if (n >= 2) {
        __m128d vAmp = _mm_set1_pd(ampMax), vMin = _mm_set1_pd(freqMin),
                vMax = _mm_set1_pd(freqMax);
        for (; i + 1 < n; i += 2) {
            const __m128d fv = _mm_loadu_pd(f + i);
            vAmp = _mm_max_pd(_mm_loadu_pd(a + i), vAmp);
            vMax = _mm_max_pd(fv, vMax);
            vMin = _mm_min_pd(fv, vMin);
        }
        double lanes[2];
        _mm_storeu_pd(lanes, vAmp);
        ampMax = std::max(lanes[0], lanes[1]);
        _mm_storeu_pd(lanes, vMax);
        freqMax = std::max(lanes[0], lanes[1]);
        _mm_storeu_pd(lanes, vMin);
        freqMin = std::min(lanes[0], lanes[1]);
    }
#endif
    for (; i < n; ++i) {
        if (a[i] > ampMax) ampMax = a[i];
        if (f[i] > freqMax) freqMax = f[i];
        if (f[i] < freqMin) freqMin = f[i];
    }
}

// x[i] = Round((f[i] - freqMin) * w / span) + left.
void MapFrequencies(const double* f, int n, double freqMin, int w, double span, int left, int* x) {
    auto exact = [=](double v) { return (v - freqMin) * w / span; };
#if defined(__SSE2__)
    const __m128d vMin = _mm_set1_pd(freqMin), vW = _mm_set1_pd(w),
                  vRecip = _mm_set1_pd(1.0 / span);
    MapPixels(
        f, n, [=](__m128d v) { return _mm_mul_pd(_mm_mul_pd(_mm_sub_pd(v, vMin), vW), vRecip); },
        left, false, exact, x);
#else
    for (int i = 0; i < n; ++i) x[i] = RoundPixel(exact(f[i])) + left;
#endif
}

// y[i] = panelHeight - (Round(a[i] / ampMax * h) + bottom).
void MapAmplitudes(const double* a, int n, double ampMax, int h, int panelHeight, int bottom,
                   int* y) {
    auto exact = [=](double v) { return v / ampMax * h; };
#if defined(__SSE2__)
    const __m128d vRecip = _mm_set1_pd(1.0 / ampMax), vH = _mm_set1_pd(h);
    MapPixels(
        a, n, [=](__m128d v) { return _mm_mul_pd(_mm_mul_pd(v, vRecip), vH); },
        panelHeight - bottom, true, exact, y);
#else
    for (int i = 0; i < n; ++i) y[i] = panelHeight - (RoundPixel(exact(a[i])) + bottom);
#endif
}

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
        ScanRange(s.SpecFreq[slot].data() + 1, s.SpecAmp[slot].data() + 1, s.SpecCount[slot],
                  ampMax, freqMin, freqMax);
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
        // x = Round((f - PlotFreqMin) * W / (PlotFreqMax - PlotFreqMin)) + MarginLeft;
        // y = panel height - (Round(a / PlotAmpMax * H) + MarginBottom).
        MapFrequencies(s.SpecFreq[slot].data() + 1, n, freqMin, w, freqMax - freqMin, s.MarginLeft,
                       m_x.data());
        MapAmplitudes(s.SpecAmp[slot].data() + 1, n, ampMax, h, panelHeight, s.MarginBottom,
                      m_y.data());
        c.PenColor = s.SpecColor[slot];
        c.Polyline(m_x.data(), m_y.data(), n);
    }
    c.Flush();
}

}  // namespace sonarix
