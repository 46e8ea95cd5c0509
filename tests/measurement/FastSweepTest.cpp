// The fast measurement on the virtual apparatus's manual clock: the spectrum it stores against
// the apparatus's own transfer function (amplitude in the stepped sweep's units, phase with a
// calibrated latency), the modes' frequencies, the distortion of a clipped output kept out,
// and "Stop".
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <optional>

#include "measurement/FastSweep.h"
#include "measurement/Latency.h"
#include "measurement/ReadLevel.h"
#include "measurement/Sweep.h"
#include "measurement/TestSignals.h"
#include "platform/Context.h"
#include "tests/TestSupport.h"
#include "tests/measurement/ApparatusSetup.h"
#include "tests/measurement/FakeMeasureWindow.h"

namespace sonarix {
namespace {

class FastSweepTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(test::InstallApparatus(context, *s, apparatus));
    }
    void TearDown() override { context.reset(); }
    // What a steady tone at the window's volume reads, times 100, as the stepped sweep stores.
    double Expected(double f) const {
        return 100.0 * std::sqrt(1.5) * std::abs(apparatus->ExpectedResponse(f)) *
               kSampleAmplitude / 32768.0 * window.volume / 100.0;
    }
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    audio::VirtualApparatus* apparatus = nullptr;
    test::FakeMeasureWindow window;
    SweepEngine engine{*s, window};
    test::MessageRecorder messages;
    std::optional<platform::ContextScope> context;
};

TEST_F(FastSweepTest, StoresTheTransferFunctionInTheSweepsUnitsAndWithItsPhase) {
    apparatus->SetNoiseRms(0.0);
    s->Latency = LatencyCalibration{true, 441.0, 60.0, 0.0};
    FastSettings settings;
    ASSERT_TRUE(engine.FastMeasure(settings));
    EXPECT_TRUE(messages.Messages().empty());
    ASSERT_EQ(s->SpecCount[0], 9900);
    EXPECT_EQ(s->SpecFreq[0][1], 101.0);
    EXPECT_EQ(s->SpecFreq[0][9900], 10000.0);
    EXPECT_TRUE(s->SpecPhased[0]);
    EXPECT_TRUE(window.measureShown);
    // Within 1 % and 1 degree wherever the response is within 30 dB of its largest; below
    // that the recording's 16-bit steps (half a step is 70 dB under the peaks here) set the
    // floor, as they do for every way of reading the level.
    double most = 0.0;
    for (int k = 1; k <= 9900; ++k) most = std::max(most, Expected(s->SpecFreq[0][k]));
    double worstAmp = 0.0, worstPhase = 0.0, worstFloor = 0.0;
    for (int k = 1; k <= 9900; ++k) {
        const double f = s->SpecFreq[0][k];
        const double want = Expected(f);
        worstFloor = std::max(worstFloor, std::abs(s->SpecAmp[0][k] - want) / most);
        if (want < 0.03 * most) continue;
        worstAmp = std::max(worstAmp, std::abs(s->SpecAmp[0][k] / want - 1.0));
        const double phase = std::arg(apparatus->ExpectedResponse(f)) * 180.0 / std::numbers::pi;
        worstPhase =
            std::max(worstPhase, std::abs(std::remainder(s->SpecPhase[0][k] - phase, 360.0)));
    }
    EXPECT_LT(worstAmp, 0.01);
    EXPECT_LT(worstPhase, 1.0);
    EXPECT_LT(worstFloor, 1e-3);
}

TEST_F(FastSweepTest, TheHarmonicsOfADistortingOutputStayOutOfTheSpectrum) {
    apparatus->SetNoiseRms(0.0);
    s->Latency = LatencyCalibration{true, 441.0, 60.0, 0.0};
    window.volume = 100;
    window.fields.stop = "6000";  // the third harmonic of the whole sweep stays below 22050 Hz
    ASSERT_TRUE(engine.FastMeasure(FastSettings{}));
    const int n = s->SpecCount[0];
    std::vector<double> clean(s->SpecAmp[0].begin() + 1, s->SpecAmp[0].begin() + 1 + n);
    const double most = *std::max_element(clean.begin(), clean.end());
    // An amplifier whose second and third harmonics are each a tenth of the sweep's amplitude
    // (k2 A^2 / 2 and k3 A^3 / 4): the fundamental grows by 3/4 k3 A^2 = 30 % at every
    // frequency. Where the linear response is small and a harmonic's large (below a mode's half
    // and third), a leak would change that ratio.
    const double a = kSampleAmplitude / 32768.0;
    apparatus->SetOutputDistortion(0.2 / a, 0.4 / (a * a));
    ASSERT_TRUE(engine.FastMeasure(FastSettings{}));
    double worst = 0.0;
    for (int k = 400; k <= n; ++k) {
        const double c = clean[static_cast<size_t>(k - 1)];
        if (c < 0.02 * most) continue;
        worst = std::max(worst, std::abs(s->SpecAmp[0][k] / c / 1.3 - 1.0));
    }
    EXPECT_LT(worst, 0.01);
}

// A calibration the timing of this playback no longer matches (a sound server's reports move
// from one playback to the next): beyond a quarter millisecond the arrival is taken from the
// signal, and the phase of a plain delay path stays flat.
TEST_F(FastSweepTest, AnArrivalFarFromTheTimingIsTakenFromTheSignal) {
    ASSERT_NO_FATAL_FAILURE(
        test::InstallApparatus(context, *s, apparatus, physics::ResonatorModel({}, 20.0, 1.0)));
    apparatus->SetNoiseRms(0.0);
    for (double off : {0.0, 5.0, 30.0, -60.0}) {
        s->Latency = LatencyCalibration{true, 441.0 + off, 60.0, 0.0};
        ASSERT_TRUE(engine.FastMeasure(FastSettings{}));
        EXPECT_EQ(engine.LastFastStats().alignedBySignal, std::abs(off) > 11.0) << off;
        double worst = 0.0;
        for (int k = 1000; k <= 7000; ++k) {
            const double phase = std::arg(apparatus->ExpectedResponse(s->SpecFreq[0][k]));
            const double residual = off != 0.0 && std::abs(off) <= 11.0 ? off : 0.0;
            worst = std::max(worst, std::abs(std::remainder(
                                        s->SpecPhase[0][k] - (phase * 180.0 / std::numbers::pi) -
                                            360.0 * s->SpecFreq[0][k] * residual / 44100.0,
                                        360.0)));
        }
        EXPECT_LT(worst, 2.0) << off;  // 0.02 samples at 7 kHz
    }
}

// On a sphere of overlapping modes without a direct path the signal's arrival is unclear (an
// all-pass phase spreads it, moving its peak by up to 20 samples at some angles): an exact
// timing is kept at every angle, and the phase is the resonator's.
TEST_F(FastSweepTest, AnUnclearArrivalNeverReplacesTheTiming) {
    physics::SphereSetup ring;
    ring.ring = 0.006;
    ASSERT_NO_FATAL_FAILURE(
        test::InstallApparatus(context, *s, apparatus, physics::ResonatorModel::Sphere(ring)));
    s->Latency = LatencyCalibration{true, 441.0, 60.0, 0.0};
    window.fields.start = "1900";
    window.fields.stop = "3900";
    for (double alpha : {60.0, 100.0, 140.0}) {
        apparatus->SetHemisphereAngle(alpha);
        ASSERT_TRUE(engine.FastMeasure(FastSettings{}));
        EXPECT_FALSE(engine.LastFastStats().alignedBySignal) << alpha;
        EXPECT_LT(engine.LastFastStats().signalClarity, kSignalClarity) << alpha;
        const double f = 2243.0;
        const int k = static_cast<int>(std::lround(f - 1900.0));
        ASSERT_NEAR(s->SpecFreq[0][k], f, 1e-9);
        EXPECT_NEAR(std::remainder(s->SpecPhase[0][k] - std::arg(apparatus->ExpectedResponse(f)) *
                                                            180.0 / std::numbers::pi,
                                   360.0),
                    0.0, 3.0)
            << alpha;
    }
}

// On the physical sphere with an exact timing: where the resonances place the arrival (the
// whole band at 180 degrees) or where too few of them stand out to (two modes in the range
// at 0 degrees), the phases at the modes are the resonator's; the excess phase alone, late by
// the cavity's propagation, never replaces the timing.
TEST_F(FastSweepTest, ACavitysPropagationNeverMovesTheAlignment) {
    ASSERT_NO_FATAL_FAILURE(test::InstallApparatus(
        context, *s, apparatus, physics::ResonatorModel::Sphere(physics::SphereSetup{})));
    s->Latency = LatencyCalibration{true, 441.0, 60.0, 0.0};
    struct Case {
        double alpha;
        const char *start, *stop;
    };
    for (const Case c : {Case{180.0, "400", "7800"}, Case{0.0, "3000", "5500"}}) {
        apparatus->SetHemisphereAngle(c.alpha);
        window.fields.start = c.start;
        window.fields.stop = c.stop;
        ASSERT_TRUE(engine.FastMeasure(FastSettings{}));
        for (const physics::CavityMode& mode : apparatus->Modes()) {
            const double f = std::round(mode.frequency);
            if (f < std::stod(c.start) + 100 || f > std::stod(c.stop) - 100) continue;
            const std::complex<double> want = apparatus->ExpectedResponse(f);
            const auto k = static_cast<int>(f - std::stod(c.start));
            ASSERT_NEAR(s->SpecFreq[0][k], f, 1e-9);
            if (std::abs(physics::AngleGain(mode, c.alpha)) < 0.1) continue;  // silent here
            EXPECT_NEAR(std::remainder(
                            s->SpecPhase[0][k] - std::arg(want) * 180.0 / std::numbers::pi, 360.0),
                        0.0, 3.0)
                << c.alpha << " degrees, " << f << " Hz";
        }
    }
}

// A playback that ran dry in the middle is measured once more; a second gap is said and
// nothing is stored.
TEST_F(FastSweepTest, APlaybackGapIsMeasuredAgainThenSaid) {
    apparatus->SetNoiseRms(0.0);
    s->Latency = LatencyCalibration{true, 441.0, 60.0, 0.0};
    ASSERT_TRUE(engine.FastMeasure(FastSettings{}));
    const std::vector<double> clean(s->SpecAmp[0].begin() + 1, s->SpecAmp[0].begin() + 9901);
    apparatus->StallPlaybacks(1, 2000);
    ASSERT_TRUE(engine.FastMeasure(FastSettings{}));
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_EQ(apparatus->PlaybackGaps(), 1u);
    for (int k = 1; k <= 9900; k += 7) EXPECT_NEAR(s->SpecAmp[0][k], clean[k - 1], 1e-9) << k;
    s->SpecCount[0] = 5;
    apparatus->StallPlaybacks(2, 2000);
    EXPECT_FALSE(engine.FastMeasure(FastSettings{}));
    EXPECT_EQ(messages.Messages(), std::vector<std::string>{kFastPlaybackGap});
    EXPECT_EQ(s->SpecCount[0], 5);
}

TEST_F(FastSweepTest, StopLeavesTheSlotAsItWasAndRefusalsNameTheField) {
    s->SpecCount[0] = 3;
    s->SpecAmp[0][2] = 7.0;
    int rounds = 0;
    window.onMessages = [&] {
        if (++rounds == 40) engine.Stop();
    };
    EXPECT_FALSE(engine.FastMeasure(FastSettings{}));
    EXPECT_EQ(s->SpecCount[0], 3);
    EXPECT_EQ(s->SpecAmp[0][2], 7.0);
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_TRUE(window.measureShown);
    window.onMessages = {};

    window.fields.stop = "30000";
    EXPECT_FALSE(engine.FastMeasure(FastSettings{}));
    window.fields.stop = "10000";
    EXPECT_FALSE(engine.FastMeasure(FastSettings{0.25, 1}));  // 39600 points
    window.volume = 0;
    EXPECT_FALSE(engine.FastMeasure(FastSettings{}));
    EXPECT_EQ(messages.Messages(),
              (std::vector<std::string>{kStopAboveHalfRate, kFastTooManyPoints, kFastNoVolume}));
}

}  // namespace
}  // namespace sonarix
