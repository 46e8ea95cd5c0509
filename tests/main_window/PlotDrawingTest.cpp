// The spectrum plot, pixel by pixel: positions are computed from the font metrics at run time.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <cstring>
#include <random>

#include "measurement/FixedText.h"
#include "measurement/ReadNumber.h"
#include "measurement/Rounding.h"
#include "plot/Axes.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "tests/TestSupport.h"
#include "ui/main/PlotDrawing.h"

namespace sonarix {
namespace {

constexpr int kPanelW = 800;
constexpr int kPanelH = 660;

QFont TestFont() {
    QFont f = DialogFont();
    f.setStyleStrategy(QFont::NoAntialias);
    return f;
}

class SpectrumPlotTest : public testing::Test {
protected:
    SpectrumPlotTest() : image(3200, 1200, QImage::Format_RGB32), canvas(&image) {
        image.fill(0xFF123456);  // anything but white: shows what was cleared
        canvas.SetFont(TestFont());
        th = canvas.TextHeight("A");
    }

    void Redraw(bool playing = false, const char* stop = "10000") {
        plot.RedrawSpectra(*s, canvas, kPanelW, kPanelH,
                           playing ? std::optional<double>(ReadNumber(stop)) : std::nullopt);
    }
    void AddPoint(int slot, double f, double a) {
        const int n = ++s->SpecCount[slot];
        s->SpecFreq[slot][n] = f;
        s->SpecAmp[slot][n] = a;
    }
    uint32_t At(int x, int y) const { return FromQRgb(image.pixel(x, y)); }
    int W() const { return kPanelW - s->MarginLeft - s->MarginRight; }
    int H() const { return kPanelH - s->MarginBottom - s->MarginTop; }
    int Bottom() const { return kPanelH - s->MarginBottom; }

    // The text drawn exactly as a canvas of the same font draws it at (x, y).
    void ExpectText(const QString& text, int x, int y) {
        QImage ref(canvas.TextWidth(text), canvas.TextHeight(text), QImage::Format_RGB32);
        ref.fill(Qt::white);
        {
            Canvas r(&ref);
            r.SetFont(canvas.Font());
            r.TextOut(0, 0, text);
        }
        int differ = 0;
        for (int j = 0; j < ref.height(); ++j) {
            // Pixels beyond the panel are neither drawn nor shown.
            for (int i = 0; i < ref.width() && x + i < kPanelW; ++i) {
                differ += ref.pixel(i, j) != image.pixel(x + i, y + j);
            }
        }
        EXPECT_EQ(differ, 0) << text.toStdString() << " at " << x << "," << y;
    }

    // Black pixels of the column x just above the frequency axis: a tick there.
    bool TickAt(int x) const {
        // From the axis 5 pixels up, the end left out: 4 pixels above the frame line.
        for (int k = 1; k <= 4; ++k) {
            if (At(x, Bottom() - k) != 0) return false;
        }
        return At(x, Bottom() - 5) != 0;
    }

    int FrequencyTickCount() const {
        int n = 0;
        for (int x = s->MarginLeft + 1; x < s->MarginLeft + W(); ++x) n += TickAt(x);
        return n;
    }

    int AmplitudeTickCount() const {
        int n = 0;
        for (int y = s->MarginTop + 1; y < Bottom(); ++y) {
            bool tick = true;
            for (int k = 1; k <= 4; ++k) tick = tick && At(s->MarginLeft + k, y) == 0;
            tick = tick && At(s->MarginLeft + 5, y) != 0;
            n += tick;
        }
        return n;
    }

    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    QImage image;
    Canvas canvas;
    SpectrumPlot plot;
    int th = 0;
    test::MessageRecorder messages;
};

TEST_F(SpectrumPlotTest, EmptyStoreShowsFrameAndTitlesOnly) {
    Redraw();
    EXPECT_EQ(s->PlotFreqMin, 100000.0);
    EXPECT_EQ(s->PlotFreqMax, 0.0);
    EXPECT_EQ(s->PlotAmpMax, 1e-10);
    EXPECT_EQ(s->MarginBottom, 3 * th);
    EXPECT_EQ(s->MarginLeft, 2 * th);
    // The frame runs exactly along both margins.
    const int right = s->MarginLeft + W();
    for (int y = s->MarginTop; y <= Bottom(); ++y) {
        ASSERT_EQ(At(s->MarginLeft, y), 0u) << y;
        ASSERT_EQ(At(right, y), 0u) << y;
    }
    for (int x = s->MarginLeft; x <= right; ++x) {
        ASSERT_EQ(At(x, s->MarginTop), 0u);
        ASSERT_EQ(At(x, Bottom()), 0u);
    }
    EXPECT_EQ(At(right + 1, Bottom()), 0xFFFFFFu);
    EXPECT_EQ(At(s->MarginLeft, Bottom() + 1), 0xFFFFFFu);
    // Nothing inside.
    for (int y = s->MarginTop + 1; y < Bottom(); ++y) {
        for (int x = s->MarginLeft + 1; x < right; ++x) ASSERT_EQ(At(x, y), 0xFFFFFFu);
    }
    EXPECT_EQ(FrequencyTickCount(), 0);
    const QString title = "Frequency [Hz]";
    ExpectText(title, (W() / 2) + s->MarginLeft - canvas.TextWidth(title) / 2,
               kPanelH - static_cast<int>(std::nearbyint(s->MarginBottom / 2.5)));
    // Only the panel was cleared.
    EXPECT_EQ(At(kPanelW, 10), 0x563412u);
    EXPECT_EQ(At(10, kPanelH), 0x563412u);
    EXPECT_EQ(At(kPanelW - 1, kPanelH - 1), 0xFFFFFFu);
}

TEST_F(SpectrumPlotTest, TurnedAmplitudeTitleReadsBottomToTop) {
    Redraw();
    const QString title = "Amplitude";
    const int tw = canvas.TextWidth(title);
    QImage ref(tw, canvas.TextHeight(title), QImage::Format_RGB32);
    ref.fill(Qt::white);
    {
        Canvas r(&ref);
        r.SetFont(canvas.Font());
        r.TextOut(0, 0, title);
    }
    const int x0 = th / 2;
    const int y0 = tw / 2 + (Bottom() - H() / 2);
    int differ = 0, dark = 0;
    for (int i = 0; i < ref.width(); ++i) {
        for (int j = 0; j < ref.height(); ++j) {
            differ += ref.pixel(i, j) != image.pixel(x0 + j, y0 - i);
            dark += At(x0 + j, y0 - i) == 0;
        }
    }
    EXPECT_EQ(differ, 0);
    EXPECT_GT(dark, 20);
    // Nothing dark left of the title or above and below it in its columns.
    for (int y = 0; y < kPanelH; ++y) {
        for (int x = 0; x < x0; ++x) ASSERT_NE(At(x, y), 0u);
    }
}

TEST_F(SpectrumPlotTest, SinglePointSpansATenthOfAHertz) {
    AddPoint(0, 1000.0, 50.0);
    Redraw();
    EXPECT_EQ(s->PlotFreqMin, 1000.0);
    EXPECT_DOUBLE_EQ(s->PlotFreqMax, 1000.1);
    EXPECT_DOUBLE_EQ(TickStep(s->PlotFreqMax - s->PlotFreqMin, 10000.0), 0.02);
    // Ticks 1000.00, 1000.02, ... 1000.08 (1000.10 lies a rounding error above the maximum).
    double t = 1000.0;
    int labels = 0;
    while (t <= s->PlotFreqMax) {
        const QString label = QString::fromStdString(FixedText(t, 2, 8));
        EXPECT_EQ(label.left(2), " 1") << label.toStdString();
        const int xt = static_cast<int>(std::nearbyint((t - s->PlotFreqMin) /
                                                       (s->PlotFreqMax - s->PlotFreqMin) * W())) +
                       s->MarginLeft;
        EXPECT_TRUE(TickAt(xt) || xt == s->MarginLeft || xt == s->MarginLeft + W()) << t;
        // Centred under the tick; the last one moved left to end within the panel.
        const int w = canvas.TextWidth(label);
        ExpectText(label, std::min(xt - w / 2, kPanelW - 2 - w), s->MarginBottom / 6 + Bottom());
        t += 0.02;
        ++labels;
    }
    EXPECT_GE(labels, 5);
}

TEST_F(SpectrumPlotTest, SweepRangeWhilePlaying) {
    for (int f = 110; f <= 3000; f += 10) AddPoint(0, f, 10.0 + (f % 70));
    Redraw(true, "10000");
    EXPECT_EQ(s->PlotFreqMax, 10000.0);
    EXPECT_EQ(s->PlotFreqMin, 110.0);
    // Step 1000; the tick 0 lies below the minimum; 1000 ... 10000, the last on the frame's edge.
    for (int k = 1; k <= 10; ++k) {
        const double t = 1000.0 * k;
        const int xt =
            static_cast<int>(std::nearbyint((t - 110.0) / (10000.0 - 110.0) * W())) + s->MarginLeft;
        if (k < 10) {
            EXPECT_TRUE(TickAt(xt)) << t;
        }
        const QString label = QString::fromStdString(FixedText(t, 0, k < 10 ? 5 : 6));
        EXPECT_EQ(label[0], ' ');
        ExpectText(label, xt - canvas.TextWidth(label) / 2, s->MarginBottom / 6 + Bottom());
        if (k == 10) {
            EXPECT_EQ(xt, s->MarginLeft + W());
        }
    }
    EXPECT_EQ(FrequencyTickCount(), 9);  // the tenth is the frame itself
    // Not playing: the axis ends at the last point.
    Redraw(false, "10000");
    EXPECT_EQ(s->PlotFreqMax, 3000.0);
}

TEST_F(SpectrumPlotTest, StopFieldWhilePlaying) {
    AddPoint(0, 500.0, 1.0);
    AddPoint(0, 900.0, 2.0);
    Redraw(true, "20000");
    EXPECT_EQ(s->PlotFreqMax, 20000.0);
    EXPECT_TRUE(messages.Messages().empty());
    Redraw(true, "1,5");  // unreadable: a message per reading, no extension
    EXPECT_EQ(s->PlotFreqMax, 900.0);
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], "Input number can not be read");
}

struct AmplitudeCase {
    double ampMax;
    const char* sample;  // nullptr: no sample
    int decimals;
    double step;
    int ticks;
};

class AmplitudeAxis : public SpectrumPlotTest, public testing::WithParamInterface<AmplitudeCase> {};

TEST_P(AmplitudeAxis, MarginStepAndLabels) {
    const AmplitudeCase& c = GetParam();
    AddPoint(1, 200.0, c.ampMax / 3);
    AddPoint(1, 800.0, c.ampMax);
    Redraw();
    EXPECT_EQ(s->PlotAmpMax, c.ampMax);
    const int expectedLeft =
        2 * th + (c.sample != nullptr ? canvas.TextWidth(QString::fromLatin1(c.sample)) : 0);
    EXPECT_EQ(s->MarginLeft, expectedLeft);
    EXPECT_DOUBLE_EQ(TickStep(c.ampMax, 100.0), c.step);
    // Ticks on the frame's top and bottom lines cannot be told from the frame.
    int inside = 0;
    double t = 0.0;
    for (int k = 0; k < c.ticks; ++k, t += c.step) {
        const QString label = QString::fromStdString(FixedText(t, c.decimals));
        const int yt = Bottom() - static_cast<int>(std::nearbyint(t / c.ampMax * H()));
        ExpectText(label, s->MarginLeft - canvas.TextWidth(label + "  "), yt - th / 2);
        inside += yt > s->MarginTop && yt < Bottom();
    }
    EXPECT_EQ(AmplitudeTickCount(), inside);
    EXPECT_EQ(inside, c.ticks == 0 ? 0 : c.ticks - (t - c.step >= c.ampMax ? 2 : 1));
}

INSTANTIATE_TEST_SUITE_P(Ranges, AmplitudeAxis,
                         testing::Values(AmplitudeCase{100.0, "000  ", 0, 20.0, 6},
                                         AmplitudeCase{0.004, "0.0000  ", 4, 0.0005, 9},
                                         AmplitudeCase{5000.0, "000  ", 0, 100.0, 11},
                                         AmplitudeCase{0.001, nullptr, 0, 0.0002, 0},
                                         AmplitudeCase{0.5, "0.00  ", 1, 0.1, 6},
                                         AmplitudeCase{7.0, "0.0  ", 0, 1.0, 8}),
                         [](const auto& info) {
                             return test::CaseName(info.index, info.param.ampMax);
                         });

TEST_F(SpectrumPlotTest, ZeroTickSitsOnTheAxis) {
    AddPoint(0, 100.0, 100.0);
    AddPoint(0, 200.0, 0.0);
    Redraw();
    // The first amplitude tick lies on the frequency axis; its label is centred on it.
    ExpectText("0", s->MarginLeft - canvas.TextWidth("0  "), Bottom() - th / 2);
}

TEST_F(SpectrumPlotTest, SlotsInTheirColoursWithTheirRounding) {
    s->SpecColor[0] = 0x0000FF;
    s->SpecColor[2] = 0x00FF00;
    AddPoint(0, 100.0, 0.0);
    AddPoint(0, 1000.0, 80.0);
    AddPoint(2, 550.0, 40.0);
    AddPoint(2, 550.0, 10.0);  // a vertical line down from (550, 40)
    Redraw();
    const double fmin = 100.0, fmax = 1000.0, amax = 80.0;
    auto px = [&](double f) {
        return static_cast<int>(std::nearbyint((f - fmin) * W() / (fmax - fmin))) + s->MarginLeft;
    };
    auto py = [&](double a) {
        return kPanelH - (static_cast<int>(std::nearbyint(a / amax * H())) + s->MarginBottom);
    };
    // Slot 1 from (100, 0) to (1000, 80): its start pixel red, its end pixel left out.
    EXPECT_EQ(At(px(100.0), py(0.0)), 0x0000FFu);
    EXPECT_NE(At(px(1000.0), py(80.0)), 0x0000FFu);
    // The same line drawn on its own gives the same pixels.
    QImage ref(image.size(), QImage::Format_RGB32);
    ref.fill(Qt::white);
    Canvas r(&ref);
    r.PenColor = 0x0000FF;
    r.MoveTo(px(100.0), py(0.0));
    r.LineTo(px(1000.0), py(80.0));
    int red = 0;
    for (int y = s->MarginTop + 1; y <= Bottom(); ++y) {
        for (int x = s->MarginLeft; x < s->MarginLeft + W(); ++x) {
            if (FromQRgb(ref.pixel(x, y)) == 0x0000FFu && x != px(550.0)) {
                ASSERT_EQ(At(x, y), 0x0000FFu) << x << "," << y;
                ++red;
            }
        }
    }
    EXPECT_GT(red, 700);
    // Slot 3 drawn over slot 1, a vertical run from 40 down to just above 10.
    for (int y = py(40.0); y < py(10.0); ++y) ASSERT_EQ(At(px(550.0), y), 0x00FF00u) << y;
    EXPECT_NE(At(px(550.0), py(10.0)), 0x00FF00u);
}

TEST_F(SpectrumPlotTest, ClearedSlotDrawsNothingAndKeepsItsColour) {
    AddPoint(3, 100.0, 1.0);
    AddPoint(3, 200.0, 2.0);
    s->SpecCount[3] = 0;
    s->SpecColor[3] = 0x123456;
    Redraw();
    for (int y = s->MarginTop + 1; y < Bottom(); ++y) {
        for (int x = s->MarginLeft + 1; x < s->MarginLeft + W(); ++x) {
            ASSERT_EQ(At(x, y), 0xFFFFFFu);
        }
    }
    EXPECT_EQ(s->SpecColor[3], 0x123456u);
}

TEST_F(SpectrumPlotTest, AbsurdRangesNeitherStallNorCrash) {
    AddPoint(0, -1e300, -1e300);
    AddPoint(0, 1e300, 1e300);
    AddPoint(1, 5.0, std::nan(""));
    Redraw();
    EXPECT_EQ(s->PlotFreqMax, 1e300);
}

// The redraw, with its fast mapping and polyline, gives the picture of the plain algorithm:
// every point mapped by the formulas as written and joined by one LineTo each.
TEST_F(SpectrumPlotTest, RandomStoresLookAsDrawnSegmentBySegment) {
    std::mt19937 rng(99);
    // The data width for amplitudes up to 100, so that a span of exactly W puts frequencies
    // k + 0.5 exactly on half pixels, where rounding goes to the even neighbour.
    AddPoint(0, 0.0, 100.0);
    Redraw();
    const int halfW = W();
    for (int round = 0; round < 12; ++round) {
        for (int slot = 0; slot < kSlots; ++slot) {
            const int n = static_cast<int>(rng() % (round % 2 == 0 ? 5000 : 20000));
            s->SpecCount[slot] = n;
            for (int i = 1; i <= n; ++i) {
                if (round % 2 == 0) {
                    s->SpecFreq[slot][i] =
                        static_cast<double>(rng() % (2 * halfW + 1)) * 0.5 * 1.37;
                    s->SpecAmp[slot][i] = (rng() % 100001) * 0.001;
                } else {
                    s->SpecFreq[slot][i] = 100.0 + i * 0.5 + (rng() % 100) * 0.01;
                    s->SpecAmp[slot][i] = (rng() % 100000) * 0.001 * (round % 3 == 0 ? -1 : 1);
                }
            }
        }
        if (round % 2 == 0) {  // the span exactly 0 ... W, amplitudes up to 100
            s->SpecCount[0] = std::max(s->SpecCount[0], 2);
            s->SpecFreq[0][1] = 0.0;
            s->SpecFreq[0][2] = halfW * 1.37;
            s->SpecAmp[0][1] = 100.0;
            // Frequencies a few units in the last place beside a half pixel, where a division
            // and a multiplication by the reciprocal round to different pixels.
            const double span = halfW * 1.37, recip = 1.0 / span;
            int found = 0;
            for (int k = 0; k < halfW && s->SpecCount[1] < kSlotCapacity; ++k) {
                double f = (k + 0.5) * span / halfW;
                for (int u = 0; u < 4; ++u) f = std::nextafter(f, -1e9);
                for (int u = 0; u < 8; ++u, f = std::nextafter(f, 1e9)) {
                    const double p = f * halfW;
                    if (std::nearbyint(p / span) != std::nearbyint(p * recip)) {
                        const int n = ++s->SpecCount[1];
                        s->SpecFreq[1][n] = f;
                        s->SpecAmp[1][n] = 50.0 + k % 7;
                        ++found;
                    }
                }
            }
            ASSERT_GT(found, 0);
        }
        canvas.PenWidth = 1 + round % 4;
        plot.RedrawSpectra(*s, canvas, kPanelW, kPanelH, std::nullopt);

        QImage ref(image.size(), QImage::Format_RGB32);
        ref.fill(Qt::white);
        Canvas r(&ref);
        r.SetFont(canvas.Font());
        r.PenWidth = canvas.PenWidth;
        r.SetClip(QRect(0, 0, kPanelW, kPanelH));
        int32_t left = 0, bottom = 0;
        DrawAxes(r, kPanelW, kPanelH, s->PlotFreqMin, s->PlotFreqMax, s->PlotAmpMax,
                 PlotMargins{left, bottom, s->MarginRight, s->MarginTop});
        ASSERT_EQ(left, s->MarginLeft);
        if (round % 2 == 0) {
            ASSERT_EQ(kPanelW - left - s->MarginRight, halfW);
        }
        const int w = kPanelW - left - s->MarginRight, h = kPanelH - bottom - s->MarginTop;
        for (int slot = 0; slot < kSlots; ++slot) {
            const int n = s->SpecCount[slot];
            if (n == 0) continue;
            r.PenColor = s->SpecColor[slot];
            auto x = [&](int i) {
                return RoundPixel((s->SpecFreq[slot][i] - s->PlotFreqMin) * w /
                                  (s->PlotFreqMax - s->PlotFreqMin)) +
                       left;
            };
            auto y = [&](int i) {
                return kPanelH - (RoundPixel(s->SpecAmp[slot][i] / s->PlotAmpMax * h) + bottom);
            };
            r.MoveTo(x(1), y(1));
            for (int i = 1; i <= n; ++i) r.LineTo(x(i), y(i));
        }
        r.Flush();
        int differ = 0;
        for (int yy = 0; yy < kPanelH; ++yy) {
            for (int xx = 0; xx < kPanelW; ++xx) differ += ref.pixel(xx, yy) != image.pixel(xx, yy);
        }
        ASSERT_EQ(differ, 0) << "round " << round;
    }
}

// A sweep drawn step by step gives after every step the picture of the complete redraw: with
// the slot swept beneath, between and above full slots (one of them out of order), at every pen
// width, through a "Clear Spectrum" of the swept slot and the axis's end after the sweep.
TEST_F(SpectrumPlotTest, EachStepOfASweepLooksAsTheCompleteRedraw) {
    std::mt19937 rng(5);
    for (int slot = 0; slot < kSlots; ++slot) {
        for (int i = 1; i <= kSlotCapacity; ++i) {
            const double f = 100.0 + i * 0.495 + (slot == 2 ? (rng() % 400) * 0.1 : 0.0);
            s->SpecFreq[slot][i] = f;
            s->SpecAmp[slot][i] = 10.0 + 30.0 / (1.0 + std::pow((f - 3000.0 * slot) / 40.0, 2)) +
                                  (rng() % 1000) * 0.004;
        }
    }
    QImage full(image.size(), QImage::Format_RGB32);
    full.fill(0xFF123456);
    Canvas fullCanvas(&full);
    fullCanvas.SetFont(canvas.Font());
    SpectrumPlot reference;
    int steps = 0, narrow = 0;
    for (const int swept : {0, 1, 3}) {
        for (int slot = 0; slot < kSlots; ++slot) s->SpecCount[slot] = kSlotCapacity;
        s->SpecCount[swept] = 0;
        canvas.PenWidth = fullCanvas.PenWidth = 1 + swept;
        plot.RedrawSpectra(*s, canvas, kPanelW, kPanelH, std::nullopt);  // before "Measure"
        for (int k = 1; k <= 400; ++k) {
            const double f = 200.0 + 24.0 * k;
            if (k == 150) s->SpecCount[swept] = 0;  // "Clear Spectrum" between two steps
            AddPoint(swept, f,
                     5.0 + 60.0 / (1.0 + std::pow((f - 2500.0 - 2000 * swept) / 60.0, 2)));
            const std::optional<double> end =
                k < 400 ? std::optional<double>(9800.0) : std::nullopt;
            const QRect changed = plot.RedrawStep(*s, canvas, kPanelW, kPanelH, end);
            reference.RedrawSpectra(*s, fullCanvas, kPanelW, kPanelH, end);
            ++steps;
            narrow += changed.width() < kPanelW / 4;
            for (int y = 0; y < kPanelH; ++y) {
                ASSERT_EQ(std::memcmp(image.constScanLine(y), full.constScanLine(y), 4 * kPanelW),
                          0)
                    << "slot " << swept << ", step " << k << ", row " << y;
            }
        }
    }
    // Most steps drew a narrow strip only.
    EXPECT_GT(narrow, steps * 3 / 4);
}

// Data that replace a slot's (a fast measurement, an open, an undo) are drawn by the next
// step's redraw, whether they hold as many points as before or more: the step redraw draws
// only appended points, and the replaced ones are not appended.
TEST_F(SpectrumPlotTest, ASlotReplacedWithAsManyOrMorePointsIsRedrawn) {
    QImage full(image.size(), QImage::Format_RGB32);
    Canvas fullCanvas(&full);
    fullCanvas.SetFont(canvas.Font());
    SpectrumPlot reference;
    auto fill = [&](int slot, int n, double peak, double height) {
        ++s->SpecReplaced;  // as every writer that replaces a slot's points does
        s->SpecCount[slot] = n;
        for (int i = 1; i <= n; ++i) {
            const double f = 1000.0 + i * 2.0;
            s->SpecFreq[slot][i] = f;
            s->SpecAmp[slot][i] = 5.0 + height / (1.0 + std::pow((f - peak) / 30.0, 2));
        }
    };
    // Slot 1 holds the scale; slot 2 is replaced.
    fill(0, 700, 1500.0, 80.0);
    fill(1, 500, 1800.0, 50.0);
    plot.RedrawSpectra(*s, canvas, kPanelW, kPanelH, std::nullopt);
    plot.RedrawStep(*s, canvas, kPanelW, kPanelH, std::nullopt);
    const struct {
        int points;
        double peak;
    } replacements[] = {{500, 1300.0}, {600, 1900.0}, {600, 1950.0}};
    for (const auto& r : replacements) {
        fill(1, r.points, r.peak, 50.0);
        plot.RedrawStep(*s, canvas, kPanelW, kPanelH, std::nullopt);
        reference.RedrawSpectra(*s, fullCanvas, kPanelW, kPanelH, std::nullopt);
        for (int y = 0; y < kPanelH; ++y) {
            ASSERT_EQ(std::memcmp(image.constScanLine(y), full.constScanLine(y), 4 * kPanelW), 0)
                << r.points << " points, peak " << r.peak << ", row " << y;
        }
    }
}

// Mark labels that would overlap: the one on the taller peak is written, whichever comes
// first, and the other left out; labels apart are all written.
TEST_F(SpectrumPlotTest, OfCollidingMarkLabelsTheTallerPeaksIsWritten) {
    AddPoint(0, 992.0, 60.0);  // the scale: the peaks stay below the labels
    for (int k = 0; k <= 1000; ++k) {
        const double f = 1000.0 + 8.0 * k;
        AddPoint(0, f,
                 1.0 + 20.0 / (1.0 + std::pow((f - 5040.0) / 5.0, 2)) +
                     2.0 / (1.0 + std::pow((f - 5000.0) / 5.0, 2)));
    }
    const QString weak = QStringLiteral("WWWWWW"), tall = QStringLiteral("I");
    plot.SetMarks({{5000.0, weak}, {5040.0, tall}, {8000.0, QStringLiteral("apart")}});
    plot.RedrawSpectra(*s, canvas, kPanelW, kPanelH, std::nullopt);
    const PlotGeometry g{kPanelW,         kPanelH,        s->MarginLeft,
                         s->MarginBottom, s->MarginRight, s->MarginTop,
                         s->PlotFreqMin,  s->PlotFreqMax, s->PlotAmpMax};
    ExpectText(tall, g.X(5040.0) - canvas.TextWidth(tall) / 2, s->MarginTop + 2);
    ExpectText(QStringLiteral("apart"), g.X(8000.0) - canvas.TextWidth("apart") / 2,
               s->MarginTop + 2);
    // Nothing of the weak peak's label left of the tall one's.
    const QRect band(
        g.X(5000.0) - canvas.TextWidth(weak) / 2, s->MarginTop + 2,
        g.X(5040.0) - canvas.TextWidth(tall) / 2 - 1 - (g.X(5000.0) - canvas.TextWidth(weak) / 2),
        th);
    int ink = 0;
    for (int y = band.top(); y <= band.bottom(); ++y) {
        for (int x = band.left(); x <= band.right(); ++x) {
            ink += x != g.X(5000.0) && At(x, y) == 0;
        }
    }
    EXPECT_EQ(ink, 0);
}

TEST(TickStep, RunsThroughOneTwoFive) {
    EXPECT_EQ(TickStep(50000.0, 10000.0), 10000.0);
    EXPECT_EQ(TickStep(49999.0, 10000.0), 5000.0);
    EXPECT_EQ(TickStep(9900.0, 10000.0), 1000.0);
    EXPECT_EQ(TickStep(20000.0, 10000.0), 2000.0);
    EXPECT_DOUBLE_EQ(TickStep(0.1, 10000.0), 0.02);
    EXPECT_DOUBLE_EQ(TickStep(1e-9, 10000.0), 0.0001);
    EXPECT_EQ(TickStep(100.0, 100.0), 20.0);
    EXPECT_EQ(TickStep(5000.0, 100.0), 100.0);
}

// The fast polyline must give the same pixels as one LineTo per point.
TEST(CanvasPolyline, SamePixelsAsLineToOnRandomData) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 60; ++round) {
        const int width = 1 + round % 4;
        const int n = 1 + static_cast<int>(rng() % 3000);
        std::vector<int> xs(n), ys(n);
        const int mode = round % 3;
        for (int i = 0; i < n; ++i) {
            if (mode == 0) {  // a dense sorted spectrum with spikes
                xs[i] = 20 + i * 700 / n;
                ys[i] = 600 - static_cast<int>(rng() % 580);
            } else if (mode == 1) {  // unsorted points, some outside the image
                xs[i] = -200 + static_cast<int>(rng() % 1300);
                ys[i] = -200 + static_cast<int>(rng() % 1100);
            } else {  // a smooth curve, few pixels per point
                xs[i] = 10 + i / 4;
                ys[i] = 300 + static_cast<int>(200 * std::sin(i / 50.0));
            }
        }
        QImage a(900, 700, QImage::Format_RGB32), b(900, 700, QImage::Format_RGB32);
        a.fill(Qt::white);
        b.fill(Qt::white);
        Canvas ca(&a), cb(&b);
        ca.SetClip(QRect(0, 0, 850, 650));
        cb.SetClip(QRect(0, 0, 850, 650));
        ca.PenColor = cb.PenColor = 0x0000FF;
        ca.PenWidth = cb.PenWidth = width;
        ca.MoveTo(xs[0], ys[0]);
        for (int i = 0; i < n; ++i) ca.LineTo(xs[i], ys[i]);
        cb.Polyline(xs.data(), ys.data(), n);
        ASSERT_EQ(a, b) << "round " << round << " width " << width << " n " << n;
    }
}

TEST(Canvas, LineAndRectangleLeaveOutTheirEnds) {
    QImage img(20, 20, QImage::Format_RGB32);
    img.fill(Qt::white);
    Canvas c(&img);
    c.PenColor = 0;
    c.MoveTo(2, 2);
    c.LineTo(8, 2);
    EXPECT_EQ(FromQRgb(img.pixel(2, 2)), 0u);
    EXPECT_EQ(FromQRgb(img.pixel(7, 2)), 0u);
    EXPECT_EQ(FromQRgb(img.pixel(8, 2)), 0xFFFFFFu);
    c.MoveTo(5, 5);
    c.LineTo(5, 5);  // no pixel at all
    EXPECT_EQ(FromQRgb(img.pixel(5, 5)), 0xFFFFFFu);
    c.BrushColor = 0x00FF00;
    c.Rectangle(10, 10, 15, 14);
    EXPECT_EQ(FromQRgb(img.pixel(10, 10)), 0u);
    EXPECT_EQ(FromQRgb(img.pixel(14, 13)), 0u);
    EXPECT_EQ(FromQRgb(img.pixel(15, 13)), 0xFFFFFFu);
    EXPECT_EQ(FromQRgb(img.pixel(14, 14)), 0xFFFFFFu);
    EXPECT_EQ(FromQRgb(img.pixel(12, 12)), 0x00FF00u);
}

TEST(Canvas, ColoursAreStoredRedInTheLowByte) {
    EXPECT_EQ(ToQRgb(0x0000C8FF), 0xFFFFC800u);
    EXPECT_EQ(FromQRgb(0xFFFFC800u), 0x0000C8FFu);
}

}  // namespace
}  // namespace sonarix
