// The cavity model: sphere modes, angle gains, and the resonator filters against the
// oscillator term they stand for.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "physics/ResonatorModel.h"
#include "physics/SphereTheory.h"

namespace physics {
namespace {

TEST(SphereModes, KnownRootsOfTheBesselDerivative) {
    const auto modes = SphereModes(0.050, 343.0, 10000.0);
    const double scale = 343.0 / (2.0 * std::numbers::pi * 0.050);
    ASSERT_GE(modes.size(), 10u);
    // x'_11 = 2.0816, x'_21 = 3.3421, x'_01 = 4.4934 (tabulated zeros of j_l').
    EXPECT_EQ(modes[0].l, 1);
    EXPECT_NEAR(modes[0].frequency / scale, 2.08158, 1e-4);
    EXPECT_EQ(modes[1].l, 2);
    EXPECT_NEAR(modes[1].frequency / scale, 3.34209, 1e-4);
    EXPECT_EQ(modes[2].l, 0);
    EXPECT_NEAR(modes[2].frequency / scale, 4.49341, 1e-4);
    for (size_t i = 1; i < modes.size(); ++i) {
        EXPECT_LE(modes[i - 1].frequency, modes[i].frequency);
        EXPECT_LT(modes[i].frequency, 10000.0);
    }
}

TEST(AngleGain, LegendrePolynomialOfTheShiftedCosine) {
    // alpha = 0: cos theta = 0; alpha = 180: cos theta = -1.
    EXPECT_NEAR(AngleGain(0, 0.0), 1.0, 1e-12);
    EXPECT_NEAR(AngleGain(1, 0.0), 0.0, 1e-12);
    EXPECT_NEAR(AngleGain(2, 0.0), -0.5, 1e-12);
    EXPECT_NEAR(AngleGain(1, 180.0), -1.0, 1e-12);
    EXPECT_NEAR(AngleGain(2, 180.0), 1.0, 1e-12);
    EXPECT_NEAR(AngleGain(1, 90.0), -0.5, 1e-12);
}

std::complex<double> OscillatorTerm(const CavityMode& m, double f) {
    return std::conj(m.amplitude * 2.0 * m.width * m.frequency /
                     std::complex<double>(m.frequency * m.frequency - f * f, -2.0 * m.width * f));
}

TEST(ResonatorModel, EachResonatorMatchesItsOscillatorTerm) {
    CavityMode m{0, 1, 3000.0, 2.5, 25.0};
    ResonatorModel model({m}, 0.01, 0.0);  // l = 0: gain 1; high-pass far below
    const std::complex<double> atPeak = model.Response(3000.0);
    EXPECT_NEAR(std::abs(atPeak), 2.5, 2.5 * 1e-3);
    // Across the band, as a fit's model needs it: the whole complex value, within a part in
    // 10^4 of the peak.
    for (double f : {500.0, 2000.0, 2950.0, 2975.0, 3025.0, 3050.0, 4000.0, 10000.0}) {
        EXPECT_LT(std::abs(model.Response(f) - OscillatorTerm(m, f)), 1e-4 * 2.5) << f;
    }
}

TEST(ResonatorModel, TimeDomainFollowsTheResponse) {
    CavityMode m{0, 1, 2000.0, 1.0, 20.0};
    ResonatorModel model({m}, 100.0, 0.02);
    for (double f : {2000.0, 2300.0}) {
        model.Reset();
        double peak = 0.0;
        for (int n = 0; n < 44100; ++n) {
            double y = model.Process(std::sin(2.0 * std::numbers::pi * f * n / 44100.0));
            if (n > 22050) peak = std::max(peak, std::abs(y));
        }
        EXPECT_NEAR(peak, std::abs(model.Response(f)), 0.01 * std::abs(model.Response(f)));
    }
}

TEST(ResonatorModel, AngleSilencesOddModesAtZero) {
    auto model = ResonatorModel::DefaultSphere();
    const double f1 = model.Modes()[0].frequency;  // l = 1
    model.SetAngle(180.0);
    const double open = std::abs(model.Response(f1));
    model.SetAngle(0.0);
    const double closed = std::abs(model.Response(f1));
    EXPECT_GT(open, 10.0 * closed);
}

// Without drive the filters ring down; once below 1e-15 they rest at zero and are not run. A
// later drive then gives what a fresh model gives, and the ringing before that is unchanged.
TEST(ResonatorModel, RingsDownToSilenceAndStartsAgainAsNew) {
    ResonatorModel rested = ResonatorModel::DefaultSphere();
    ResonatorModel fresh = ResonatorModel::DefaultSphere();
    for (ResonatorModel* m : {&rested, &fresh}) m->SetAngle(180.0);
    double last = 0.0;
    for (int i = 0; i < 4410; ++i) rested.Process(0.1 * std::sin(0.05 * i));
    for (int i = 0; i < 88200; ++i) last = rested.Process(0.0);  // two seconds of silence
    EXPECT_EQ(last, 0.0);
    for (int i = 0; i < 10000; ++i) {
        const double drive = 0.05 * std::sin(1e-5 * i * i);
        ASSERT_EQ(rested.Process(drive), fresh.Process(drive)) << i;
    }
}

}  // namespace
}  // namespace physics

namespace physics {
namespace {

// The ring's splitting against what can be had without the perturbation's details: averaged
// over the 2l + 1 members every mode moves as a sphere of the same volume would (radius
// a + ring / 4), and the breathing modes (l = 0) move exactly so.
TEST(SphereTheory, TheRingsMeanShiftIsThatOfTheSphereOfEqualVolume) {
    const double a = 0.05, ring = 0.006;
    for (const SphereRoot& r : SphereRoots(20.0)) {
        if (r.l > 8) continue;
        double sum = 0.0;
        for (int m = 0; m <= r.l; ++m)
            sum += (m == 0 ? 1.0 : 2.0) * RingShift(r.l, m, r.x, a, ring);
        EXPECT_NEAR(sum / (2 * r.l + 1), -ring / (4.0 * a), 1e-9) << r.l << ", " << r.n;
    }
    // The l = 1 triplet: the member along the axis (m = 0) feels the ring most.
    const SphereRoot first = SphereRoots(3.0).front();
    ASSERT_EQ(first.l, 1);
    EXPECT_LT(RingShift(1, 0, first.x, a, ring), RingShift(1, 1, first.x, a, ring));
}

TEST(SphereTheory, TheMembersCouplingsAddUpToTheLegendrePolynomial) {
    for (int l = 0; l <= 8; ++l) {
        for (double alpha = 0.0; alpha <= 180.0; alpha += 15.0) {
            double sum = 0.0;
            for (int m = 0; m <= l; ++m)
                sum += PairWeight(l, m) * std::cos(m * alpha * M_PI / 180.0);
            EXPECT_NEAR(sum, AngleGain(l, alpha), 1e-12) << l << " at " << alpha;
        }
    }
}

TEST(SphereTheory, AirAndItsLosses) {
    EXPECT_NEAR(SpeedOfSound(20.0), 343.21, 0.01);
    EXPECT_NEAR(SpeedOfSound(0.0), 331.3, 1e-12);
    const Air air = AirAt(20.0);
    EXPECT_NEAR(air.density, 1.204, 0.002);
    EXPECT_NEAR(air.viscosity, 1.81e-5, 0.02e-5);
    EXPECT_NEAR(air.thermalDiffusivity, 2.12e-5, 0.05e-5);
    // Radial modes lose by heat conduction alone: Q = a / ((gamma - 1) d_t) grows as sqrt(f).
    const std::vector<SphereRoot> roots = SphereRoots(20.0);
    for (const SphereRoot& r : roots) {
        const double f = air.c * r.x / (2.0 * M_PI * 0.05);
        const double g = BoundaryLayerHalfWidth(r.l, r.x, f, 0.05, air);
        if (r.l == 0) {
            const double dt = std::sqrt(air.thermalDiffusivity / (M_PI * f));
            EXPECT_NEAR(f / (2.0 * g), 0.05 / (0.4 * dt), 1e-6 * f / g);
        }
        EXPECT_GT(f / (2.0 * g), 500.0);  // a smooth sphere of 5 cm: Q in the thousands
    }
}

}  // namespace
}  // namespace physics
