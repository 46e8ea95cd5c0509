// The spectrum plot of the main window.
#include "display/PlotDrawing.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>

#include "plot/Axes.h"
#include "plot/Canvas.h"
#include "plot/PlotMapping.h"

namespace sonarix {
namespace {

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

}  // namespace

void SpectrumPlot::RedrawSpectra(SharedState& s, Canvas& c, int panelWidth, int panelHeight,
                                 std::optional<double> axisEnd) {
    double ampMax = 1e-10, freqMin = 100000.0, freqMax = 0.0;
    for (int slot = 0; slot < kSlots; ++slot) {
        ScanRange(s.SpecFreq[slot].data() + 1, s.SpecAmp[slot].data() + 1, s.SpecCount[slot],
                  ampMax, freqMin, freqMax);
    }
    if (freqMax == freqMin) freqMax = freqMin + 0.1;
    if (axisEnd && *axisEnd > freqMax) freqMax = *axisEnd;
    s.PlotAmpMax = ampMax;
    s.PlotFreqMin = freqMin;
    s.PlotFreqMax = freqMax;

    // Only the panel can be seen; the rest of the image is neither cleared nor drawn.
    c.SetClip(QRect(0, 0, panelWidth, panelHeight));
    c.PenColor = 0xFFFFFF;
    c.Rectangle(0, 0, c.Image()->width(), c.Image()->height());

    DrawAxes(c, panelWidth, panelHeight, freqMin, freqMax, ampMax,
             PlotMargins{s.MarginLeft, s.MarginBottom, s.MarginRight, s.MarginTop});
    const PlotGeometry g{panelWidth,  panelHeight, s.MarginLeft, s.MarginBottom, s.MarginRight,
                         s.MarginTop, freqMin,     freqMax,      ampMax};
    for (int slot = 0; slot < kSlots; ++slot) {
        const int n = s.SpecCount[slot];
        if (n <= 0) continue;
        g.MapX(s.SpecFreq[slot].data() + 1, n, m_x.data());
        g.MapY(s.SpecAmp[slot].data() + 1, n, m_y.data());
        c.PenColor = s.SpecColor[slot];
        c.Polyline(m_x.data(), m_y.data(), n);
    }
    c.Flush();
}

}  // namespace sonarix
