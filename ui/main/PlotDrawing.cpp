// The spectrum plot of the main window.
#include "ui/main/PlotDrawing.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>

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

SpectrumPlot::SpectrumPlot() {
    for (int slot = 0; slot < kSlots; ++slot) {
        m_x[slot].resize(kSlotCapacity);
        m_y[slot].resize(kSlotCapacity);
    }
}

SpectrumPlot::Scale SpectrumPlot::Widened(Scale data, std::optional<double> axisEnd) {
    if (data.freqMax == data.freqMin) data.freqMax = data.freqMin + 0.1;
    if (axisEnd && *axisEnd > data.freqMax) data.freqMax = *axisEnd;
    return data;
}

void SpectrumPlot::SetMarks(std::vector<Mark> marks) {
    if (marks == m_marks) return;
    m_marks = std::move(marks);
    m_drawn.valid = false;  // the next step redraws all
}

void SpectrumPlot::RedrawSpectra(SharedState& s, Canvas& c, int panelWidth, int panelHeight,
                                 std::optional<double> axisEnd) {
    Redraw(s, c, panelWidth, panelHeight, axisEnd, false);
}

void SpectrumPlot::Redraw(SharedState& s, Canvas& c, int panelWidth, int panelHeight,
                          std::optional<double> axisEnd, bool keepBackground) {
    Scale data{1e-10, 100000.0, 0.0};
    for (int slot = 0; slot < kSlots; ++slot) {
        ScanRange(s.SpecFreq[slot].data() + 1, s.SpecAmp[slot].data() + 1, s.SpecCount[slot],
                  data.ampMax, data.freqMin, data.freqMax);
    }
    const Scale scale = Widened(data, axisEnd);
    s.PlotAmpMax = scale.ampMax;
    s.PlotFreqMin = scale.freqMin;
    s.PlotFreqMax = scale.freqMax;

    // Only the panel can be seen; the rest of the image is neither cleared nor drawn.
    const QRect panel(0, 0, panelWidth, panelHeight);
    c.SetClip(panel);
    c.PenColor = 0xFFFFFF;
    c.Rectangle(0, 0, c.Image()->width(), c.Image()->height());

    DrawAxes(c, panelWidth, panelHeight, scale.freqMin, scale.freqMax, scale.ampMax,
             PlotMargins{s.MarginLeft, s.MarginBottom, s.MarginRight, s.MarginTop});
    if (!m_marks.empty()) {
        // Under the curves, and in the copy of the axes a sweep's steps are drawn on.
        const PlotGeometry at{panelWidth,     panelHeight,   s.MarginLeft,
                              s.MarginBottom, s.MarginRight, s.MarginTop,
                              scale.freqMin,  scale.freqMax, scale.ampMax};
        const uint32_t pen = c.PenColor;
        c.PenColor = 0xB0B0B0;
        const int top = s.MarginTop, bottom = panelHeight - s.MarginBottom;
        // Where labels would overlap, the one on the taller peak of the curves is written (the
        // largest amplitude of any slot within 3 pixels of the mark), the others left out.
        struct Placed {
            int x, w;
            double height;
            size_t mark;
        };
        std::vector<Placed> labels;
        std::array<bool, kSlots> ascending{};
        for (int slot = 0; slot < kSlots; ++slot) {
            const double* f = s.SpecFreq[slot].data() + 1;
            ascending[slot] = std::is_sorted(f, f + std::max(s.SpecCount[slot], 0));
        }
        for (size_t i = 0; i < m_marks.size(); ++i) {
            const Mark& m = m_marks[i];
            if (m.frequency < scale.freqMin || m.frequency > scale.freqMax) continue;
            const int x = at.X(m.frequency);
            c.MoveTo(x, top);
            c.LineTo(x, bottom);
            const double near = 3.0 * (scale.freqMax - scale.freqMin) / std::max(1, at.DataWidth());
            double height = 0.0;
            for (int slot = 0; slot < kSlots; ++slot) {
                const double* f = s.SpecFreq[slot].data() + 1;
                const double* a = s.SpecAmp[slot].data() + 1;
                const int n = std::max(s.SpecCount[slot], 0);
                int k = 0, end = n;
                if (ascending[slot]) {
                    k = static_cast<int>(std::lower_bound(f, f + n, m.frequency - near) - f);
                    end = static_cast<int>(std::upper_bound(f, f + n, m.frequency + near) - f);
                }
                for (; k < end; ++k) {
                    if (std::abs(f[k] - m.frequency) <= near) height = std::max(height, a[k]);
                }
            }
            labels.push_back({x, c.TextWidth(m.label), height, i});
        }
        std::stable_sort(labels.begin(), labels.end(),
                         [](const Placed& a, const Placed& b) { return a.height > b.height; });
        std::vector<std::pair<int, int>> taken;  // [left, right) of the labels written
        for (const Placed& l : labels) {
            const int left = l.x - l.w / 2, right = left + l.w;
            const bool free = std::none_of(taken.begin(), taken.end(), [&](const auto& t) {
                return left < t.second + 2 && t.first < right + 2;
            });
            if (!free) continue;
            taken.emplace_back(left, right);
            c.TextOut(left, top + 2, m_marks[l.mark].label);
        }
        c.PenColor = pen;
    }
    const QRect kept = panel.intersected(c.Image()->rect());
    if (keepBackground) {
        c.Flush();  // the axes' texts into the pixels
        if (m_background.size() != kept.size()) {
            m_background = QImage(kept.size(), QImage::Format_RGB32);
        }
        for (int y = 0; y < kept.height(); ++y) {
            std::memcpy(m_background.scanLine(y), c.Image()->constScanLine(y),
                        sizeof(QRgb) * static_cast<size_t>(kept.width()));
        }
    }
    const PlotGeometry g{panelWidth,  panelHeight,   s.MarginLeft,  s.MarginBottom, s.MarginRight,
                         s.MarginTop, scale.freqMin, scale.freqMax, scale.ampMax};
    Drawn d;
    for (int slot = 0; slot < kSlots; ++slot) {
        const int n = s.SpecCount[slot];
        d.count[slot] = n;
        d.color[slot] = s.SpecColor[slot];
        if (n <= 0) continue;
        int* x = m_x[slot].data();
        c.PenColor = s.SpecColor[slot];
        DrawCurve(c, g, s.SpecFreq[slot].data() + 1, s.SpecAmp[slot].data() + 1, n, x,
                  m_y[slot].data());
        d.sorted[slot] = keepBackground && std::is_sorted(x, x + n);
    }
    c.Flush();
    // A step can be drawn on this picture only with the copy of its axes.
    d.valid = keepBackground && kept == panel;
    d.panelWidth = panelWidth;
    d.panelHeight = panelHeight;
    d.margins = {s.MarginLeft, s.MarginBottom, s.MarginRight, s.MarginTop};
    d.penWidth = c.PenWidth;
    d.fontColor = c.FontColor;
    d.font = c.Font();
    d.axisEnd = axisEnd;
    d.replaced = s.SpecReplaced;
    d.data = data;
    d.scale = scale;
    m_drawn = std::move(d);
}

QRect SpectrumPlot::RedrawStep(SharedState& s, Canvas& c, int panelWidth, int panelHeight,
                               std::optional<double> axisEnd) {
    const QRect panel(0, 0, panelWidth, panelHeight);
    auto complete = [&] {
        Redraw(s, c, panelWidth, panelHeight, axisEnd, true);
        return panel;
    };
    Drawn& d = m_drawn;
    const std::array<int32_t, 4> margins{s.MarginLeft, s.MarginBottom, s.MarginRight, s.MarginTop};
    if (!d.valid || d.panelWidth != panelWidth || d.panelHeight != panelHeight ||
        d.margins != margins || d.penWidth != c.PenWidth || d.fontColor != c.FontColor ||
        d.axisEnd != axisEnd || !(d.font == c.Font()) || d.replaced != s.SpecReplaced) {
        return complete();
    }
    int grown = -1;
    for (int slot = 0; slot < kSlots; ++slot) {
        if (d.color[slot] != s.SpecColor[slot]) return complete();
        if (s.SpecCount[slot] == d.count[slot]) continue;
        if (s.SpecCount[slot] < d.count[slot] || grown >= 0) return complete();
        grown = slot;
    }
    if (grown < 0) return {};
    const int n0 = d.count[grown], n1 = s.SpecCount[grown];
    Scale data = d.data;
    ScanRange(s.SpecFreq[grown].data() + 1 + n0, s.SpecAmp[grown].data() + 1 + n0, n1 - n0,
              data.ampMax, data.freqMin, data.freqMax);
    if (!(Widened(data, axisEnd) == d.scale)) return complete();

    const Scale& scale = d.scale;
    const PlotGeometry g{panelWidth,  panelHeight,   s.MarginLeft,  s.MarginBottom, s.MarginRight,
                         s.MarginTop, scale.freqMin, scale.freqMax, scale.ampMax};
    int* x = m_x[grown].data();
    g.MapX(s.SpecFreq[grown].data() + 1 + n0, n1 - n0, x + n0);
    g.MapY(s.SpecAmp[grown].data() + 1 + n0, n1 - n0, m_y[grown].data() + n0);
    d.sorted[grown] =
        d.sorted[grown] && (n0 == 0 || x[n0 - 1] <= x[n0]) && std::is_sorted(x + n0, x + n1);
    d.count[grown] = n1;
    d.data = data;
    if (n1 < 2) return {};  // a single point draws nothing

    // The columns of the new segments, widened by the pen.
    const int first = std::max(n0 - 1, 0);
    const auto [lo, hi] = std::minmax_element(x + first, x + n1);
    const int before = (c.PenWidth - 1) / 2, after = std::max(c.PenWidth, 1) - 1 - before;
    const int left = std::max(*lo - before, 0), right = std::min(*hi + after, panelWidth - 1);
    if (left > right) return {};
    const QRect strip(left, 0, right - left + 1, panelHeight);
    for (int y = 0; y < panelHeight; ++y) {
        std::memcpy(reinterpret_cast<QRgb*>(c.Image()->scanLine(y)) + left,
                    reinterpret_cast<const QRgb*>(m_background.constScanLine(y)) + left,
                    sizeof(QRgb) * static_cast<size_t>(strip.width()));
    }
    c.SetClip(strip);
    for (int slot = 0; slot < kSlots; ++slot) {
        if (s.SpecCount[slot] < 2) continue;
        c.PenColor = s.SpecColor[slot];
        DrawThrough(c, slot, left - after, right + before);
    }
    c.SetClip(panel);
    return strip;
}

void SpectrumPlot::DrawThrough(Canvas& c, int slot, int lo, int hi) const {
    const int n = m_drawn.count[slot];
    const int* x = m_x[slot].data();
    const int* y = m_y[slot].data();
    if (m_drawn.sorted[slot]) {
        // Segment j joins points j and j + 1: it reaches lo when x[j + 1] >= lo and hi when
        // x[j] <= hi.
        const auto p = static_cast<int>(std::lower_bound(x, x + n, lo) - x);
        const auto q = static_cast<int>(std::upper_bound(x, x + n, hi) - x);
        const int j0 = std::max(p - 1, 0), j1 = std::min(q - 1, n - 2);
        if (j0 <= j1) c.Polyline(x + j0, y + j0, j1 - j0 + 2);
        return;
    }
    // In any order: each run of segments that reach the columns.
    int start = -1;
    for (int j = 0; j + 1 < n; ++j) {
        const bool through = std::min(x[j], x[j + 1]) <= hi && std::max(x[j], x[j + 1]) >= lo;
        if (through && start < 0) start = j;
        if (!through && start >= 0) {
            c.Polyline(x + start, y + start, j - start + 1);
            start = -1;
        }
    }
    if (start >= 0) c.Polyline(x + start, y + start, n - start);
}

}  // namespace sonarix
