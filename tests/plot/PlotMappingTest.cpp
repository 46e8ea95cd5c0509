// The value-to-pixel mapping of the plots and its inverse.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "plot/PlotMapping.h"

namespace sonarix {
namespace {

PlotGeometry Normal() { return PlotGeometry{792, 658, 48, 36, 20, 10, 110.0, 10000.0, 250.0}; }

TEST(PlotMapping, InverseHitsTheEdgesOfTheDataArea) {
    const PlotGeometry g = Normal();
    EXPECT_EQ(g.FrequencyAt(g.left), g.freqMin);
    EXPECT_EQ(g.FrequencyAt(g.panelWidth - g.right), g.freqMax);
    EXPECT_LT(g.FrequencyAt(0), g.freqMin);  // the left margin is not clamped
    EXPECT_DOUBLE_EQ(g.AmplitudeAt(g.panelHeight - g.bottom), 0.0);
    EXPECT_DOUBLE_EQ(g.AmplitudeAt(g.top), g.ampMax);
}

TEST(PlotMapping, EmptyStoreRangeRunsBackwards) {
    // An empty store leaves the range at 100000 ... 0: the left edge maps to 100000 Hz.
    PlotGeometry g = Normal();
    g.freqMin = 100000.0;
    g.freqMax = 0.0;
    EXPECT_EQ(g.FrequencyAt(g.left), 100000.0);
    EXPECT_EQ(g.FrequencyAt(g.panelWidth - g.right), 0.0);
}

TEST(PlotMapping, InverseOfEveryColumnMapsBackOntoIt) {
    const PlotGeometry g = Normal();
    for (int x = g.left; x <= g.panelWidth - g.right; ++x) EXPECT_EQ(g.X(g.FrequencyAt(x)), x);
    for (int y = g.top; y <= g.panelHeight - g.bottom; ++y) EXPECT_EQ(g.Y(g.AmplitudeAt(y)), y);
}

TEST(PlotMapping, WholeCurvesMapAsSinglePoints) {
    const PlotGeometry g = Normal();
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> f(-5000.0, 20000.0), a(-10.0, 300.0);
    std::vector<double> fs(1001), as(1001);
    for (size_t i = 0; i < fs.size(); ++i) {
        fs[i] = f(rng);
        as[i] = a(rng);
    }
    // Exact halves, where the fast path must defer to the formula as written.
    fs[0] = g.freqMin + 0.5 * (g.freqMax - g.freqMin) / g.DataWidth();
    as[0] = 0.5 * g.ampMax / g.DataHeight();
    std::vector<int> xs(fs.size()), ys(as.size());
    g.MapX(fs.data(), static_cast<int>(fs.size()), xs.data());
    g.MapY(as.data(), static_cast<int>(as.size()), ys.data());
    for (size_t i = 0; i < fs.size(); ++i) {
        EXPECT_EQ(xs[i], g.X(fs[i])) << fs[i];
        EXPECT_EQ(ys[i], g.Y(as[i])) << as[i];
    }
}

}  // namespace
}  // namespace sonarix
