// The physical virtual sphere measured as a student would: fast spectra at the hemisphere
// angles, all modes fitted at once. A spacer ring splits l = 1 and l = 2 into 2 and 3 peaks at
// the perturbation theory's frequencies, each following |cos(m alpha)|; without one the
// patterns are |P_l(cos gamma)|; the widths are the loss model's; the modes move with the
// temperature as the speed of sound does.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>
#include <optional>

#include "fitting/AllModesFit.h"
#include "fitting/FindModes.h"
#include "fitting/SpeedOfSound.h"
#include "measurement/Sweep.h"
#include "physics/SphereTheory.h"
#include "platform/Context.h"
#include "tests/measurement/ApparatusSetup.h"
#include "tests/measurement/FakeMeasureWindow.h"

namespace sonarix {
namespace {

using Complex = std::complex<double>;

class VirtualSphereTest : public testing::Test {
protected:
    void Install(const physics::SphereSetup& setup) {
        ASSERT_NO_FATAL_FAILURE(
            test::InstallApparatus(context, *s, apparatus, physics::ResonatorModel::Sphere(setup)));
        s->Latency = LatencyCalibration{true, 441.0, 60.0, 0.0};
    }
    void TearDown() override { context.reset(); }
    // The modes of the apparatus between lo and hi Hz.
    std::vector<physics::CavityMode> ModesIn(double lo, double hi) const {
        std::vector<physics::CavityMode> out;
        for (const physics::CavityMode& m : apparatus->Modes()) {
            if (m.frequency > lo && m.frequency < hi) out.push_back(m);
        }
        return out;
    }
    // A fast spectrum at angle alpha over lo ... hi, every mode of the apparatus in that range
    // (and 150 Hz beyond) fitted at once from guesses 2 Hz and 10 % off.
    AllModesFit MeasureAndFit(double alpha, double lo, double hi,
                              const std::vector<physics::CavityMode>& modes) {
        apparatus->SetHemisphereAngle(alpha);
        window.fields.start = std::to_string(lo - 150.0);
        window.fields.stop = std::to_string(hi + 150.0);
        EXPECT_TRUE(engine.FastMeasure(FastSettings{1.0, 4}));
        std::vector<double> f;
        std::vector<Complex> d;
        for (int k = 1; k <= s->SpecCount[0]; ++k) {
            f.push_back(s->SpecFreq[0][k]);
            d.push_back(
                std::polar(s->SpecAmp[0][k], s->SpecPhase[0][k] * std::numbers::pi / 180.0));
        }
        // A member silent at this angle has no frequency to find: it is left out (amplitude 0).
        std::vector<ModeGuess> guesses;
        std::vector<size_t> sounding;
        for (size_t j = 0; j < modes.size(); ++j) {
            const physics::CavityMode& m = modes[j];
            if (m.m > 0 && std::abs(std::cos(m.m * alpha * std::numbers::pi / 180.0)) < 1e-6)
                continue;
            guesses.push_back({m.frequency + 2.0, 1.1 * m.width});
            sounding.push_back(j);
        }
        AllModesOptions calibrated;
        calibrated.fitDelay = false;
        const AllModesFit some = FitAllModes(f, d, guesses, calibrated);
        AllModesFit all = some;
        all.modes.assign(modes.size(), FittedMode{});
        for (size_t i = 0; i < sounding.size() && i < some.modes.size(); ++i)
            all.modes[sounding[i]] = some.modes[i];
        return all;
    }
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    audio::VirtualApparatus* apparatus = nullptr;
    std::optional<platform::ContextScope> context;
    test::FakeMeasureWindow window;
    SweepEngine engine{*s, window};
};

// About 12 s: 19 sweeps four times the default length (the m = 0 member of l = 2 couples at a
// sixteenth of the others' strength and sits 26 Hz from a strong one), each fitted with ten
// modes.
TEST_F(VirtualSphereTest, ASixMillimetreRingSplitsEachModeIntoItsMembersFollowingCosMAlpha) {
    physics::SphereSetup setup;
    setup.ring = 0.006;
    ASSERT_NO_FATAL_FAILURE(Install(setup));
    // Every mode up to l = 3 and l = 0 (n = 1), fitted together: a weak member beside a strong
    // one needs its neighbours' tails modelled, not left to the background.
    const std::vector<physics::CavityMode> modes = ModesIn(2000.0, 5000.0);
    ASSERT_EQ(modes.size(), 10u);
    const std::vector<physics::SphereRoot> roots = physics::SphereRoots(4.0);
    const physics::Air air = physics::AirAt(20.0);
    std::vector<std::vector<double>> series(modes.size());
    for (int k = 0; k < 19; ++k) {
        const AllModesFit fit = MeasureAndFit(10.0 * k, 2000.0, 5000.0, modes);
        EXPECT_TRUE(fit.converged) << 10 * k;
        for (size_t j = 0; j < modes.size(); ++j) {
            const physics::CavityMode& m = modes[j];
            series[j].push_back(std::abs(fit.modes[j].amplitude));
            if (std::abs(physics::PairWeight(m.l, m.m) * std::cos(m.m * k * M_PI / 18.0)) < 0.05)
                continue;  // (nearly) silent at this angle: its frequency is not measured
            // At the perturbation theory's frequency.
            for (const physics::SphereRoot& r : roots) {
                if (r.l != m.l || r.n != m.n) continue;
                const double f0 = air.c * r.x / (2.0 * M_PI * setup.radius);
                const double want =
                    f0 * (1.0 + physics::RingShift(r.l, m.m, r.x, setup.radius, setup.ring)) -
                    physics::BoundaryLayerHalfWidth(r.l, r.x, f0, setup.radius, air);
                EXPECT_NEAR(fit.modes[j].frequency, want, 0.2)
                    << "l = " << m.l << ", m = " << m.m << " at " << 10 * k << " degrees, +- "
                    << fit.modes[j].frequencyError;
            }
        }
    }
    for (size_t j = 0; j < modes.size(); ++j) {
        if (modes[j].l == 0 || modes[j].l == 3) continue;
        const double largest = *std::max_element(series[j].begin(), series[j].end());
        for (int k = 0; k < 19; ++k) {
            EXPECT_NEAR(series[j][static_cast<size_t>(k)] / largest,
                        std::abs(std::cos(modes[j].m * k * M_PI / 18.0)), 0.03)
                << "l = " << modes[j].l << ", m = " << modes[j].m << " at " << 10 * k;
        }
    }
}

// Without a ring every (l, n) sounds as one peak: the normal view's patterns of l = 1 and l = 2
// (the spectrum's amplitude at the peak, as the wave window takes it) are |P_l(cos gamma)|.
TEST_F(VirtualSphereTest, WithoutARingThePatternsAreTheLegendrePolynomials) {
    ASSERT_NO_FATAL_FAILURE(Install(physics::SphereSetup{}));
    window.fields.start = "1500";
    window.fields.stop = "4000";
    const std::vector<physics::CavityMode> modes = ModesIn(1500.0, 4000.0);
    ASSERT_EQ(modes.size(), 2u);
    std::vector<std::vector<double>> pattern(2);
    for (int k = 0; k < 19; ++k) {
        apparatus->SetHemisphereAngle(10.0 * k);
        ASSERT_TRUE(engine.FastMeasure(FastSettings{}));
        for (size_t j = 0; j < 2; ++j) {
            const int at = static_cast<int>(std::lround(modes[j].frequency - 1500.0));
            pattern[j].push_back(s->SpecAmp[0][at]);
        }
    }
    for (size_t j = 0; j < 2; ++j) {
        const double largest = *std::max_element(pattern[j].begin(), pattern[j].end());
        for (int k = 0; k < 19; ++k) {
            EXPECT_NEAR(pattern[j][static_cast<size_t>(k)] / largest,
                        std::abs(physics::AngleGain(modes[j].l, 10.0 * k)), 0.02)
                << "l = " << modes[j].l << " at " << 10 * k;
        }
    }
}

// The widths the fit finds are the loss model's (boundary layers and openings), and the modes
// move with the temperature as the speed of sound does.
TEST_F(VirtualSphereTest, WidthsFollowTheLossModelAndFrequenciesTheTemperature) {
    std::map<std::pair<int, int>, double> at[2];  // (l, n) -> fitted frequency
    const double celsius[2] = {0.0, 30.0};
    for (int t = 0; t < 2; ++t) {
        physics::SphereSetup setup;
        setup.celsius = celsius[t];
        // The layers' part shows; without openings the radial modes ring for a second, and the
        // fast measurement has to keep listening until they have died away.
        setup.openingHalfWidth = t == 0 ? 0.0 : 3.0;
        ASSERT_NO_FATAL_FAILURE(Install(setup));
        const std::vector<physics::CavityMode> modes = ModesIn(1500.0, 9950.0);
        const AllModesFit fit = MeasureAndFit(180.0, 1650.0, 9950.0, modes);
        ASSERT_TRUE(fit.converged);
        for (size_t j = 0; j < modes.size(); ++j) {
            EXPECT_NEAR(fit.modes[j].width, modes[j].width, 0.01 * modes[j].width)
                << "l = " << modes[j].l << ", n = " << modes[j].n << " at " << celsius[t];
            at[t][{modes[j].l, modes[j].n}] = fit.modes[j].frequency;
        }
    }
    // The layers' shift differs a little between the temperatures (a part in 10^4).
    const double ratio = physics::SpeedOfSound(30.0) / physics::SpeedOfSound(0.0);
    int both = 0;
    for (const auto& [mode, f30] : at[1]) {
        if (!at[0].count(mode)) continue;
        ++both;
        EXPECT_NEAR(f30 / at[0][mode], ratio, 2e-4) << mode.first << ", " << mode.second;
    }
    EXPECT_GE(both, 12);
}

// The classroom exercise on one fast measurement of the sphere at 20 degrees: all modes
// fitted at once, assigned, the speed of sound within 0.1 % of the model's, and within three
// of its stated standard errors.
// One default fast measurement of the whole range, its modes found and fitted at once: the
// speed of sound within 0.02 % of the air's, its stated error covering the truth.
TEST_F(VirtualSphereTest, TheSpeedOfSoundFromOneFastMeasurement) {
    ASSERT_NO_FATAL_FAILURE(Install(physics::SphereSetup{}));
    apparatus->SetHemisphereAngle(180.0);
    window.fields.start = "100";
    window.fields.stop = "10000";
    ASSERT_TRUE(engine.FastMeasure(FastSettings{}));
    ModeProblem problem;
    for (int k = 1; k <= s->SpecCount[0]; ++k) {
        problem.frequencies.push_back(s->SpecFreq[0][k]);
        problem.data.push_back(
            std::polar(s->SpecAmp[0][k], s->SpecPhase[0][k] * std::numbers::pi / 180.0));
    }
    const ModeSearch search = FindModes(problem);
    const std::vector<physics::CavityMode> modes = ModesIn(100.0, 10000.0);
    ASSERT_EQ(search.fit.modes.size(), modes.size());
    std::vector<double> peaks, errors;
    for (const FittedMode& m : search.fit.modes) {
        peaks.push_back(m.frequency);
        errors.push_back(m.frequencyError);
    }
    const SoundSpeed c = SpeedOfSoundFrom(peaks, 0.050, errors);
    ASSERT_TRUE(c.found) << c.why;
    const double truth = physics::SpeedOfSound(20.0);
    EXPECT_NEAR(c.speed, truth, 2e-4 * truth);
    EXPECT_GT(c.speedError, 0.0);
    EXPECT_LT(std::abs(c.speed - truth), 2.0 * c.speedError) << c.speed << " +- " << c.speedError;
    EXPECT_NEAR(c.celsius, 20.0, 2.0 * c.celsiusError);
    for (size_t j = 0; j < modes.size(); ++j) {
        EXPECT_EQ(c.peaks[j].l, modes[j].l);
        EXPECT_EQ(c.peaks[j].n, modes[j].n);
    }
    // Refusals say why.
    EXPECT_FALSE(SpeedOfSoundFrom({2272.0}, 0.05).found);
    const SoundSpeed twice = SpeedOfSoundFrom({2272.0, 2274.0, 3650.0}, 0.05);
    EXPECT_FALSE(twice.found);
    EXPECT_NE(twice.why.find("same mode"), std::string::npos);
}

}  // namespace
}  // namespace sonarix
