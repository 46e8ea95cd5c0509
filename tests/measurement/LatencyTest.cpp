// The latency calibration: the chirp finder on known signals, and the whole calibration on
// the virtual apparatus's manual clock with latencies the test sets.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "measurement/FastSweep.h"
#include "measurement/Latency.h"
#include "measurement/Messages.h"
#include "measurement/ModalArrival.h"
#include "measurement/Playback.h"
#include "measurement/Sweep.h"
#include "measurement/TestSignals.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "tests/TestSupport.h"
#include "tests/measurement/ApparatusSetup.h"
#include "tests/measurement/FakeMeasureWindow.h"

namespace sonarix {
namespace {

std::vector<float> Noise(size_t n, double rms, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> d(0.0f, static_cast<float>(rms));
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
}

TEST(ChirpFinderTest, FindsTheChirpInNoiseAndNothingInNoiseAlone) {
    ChirpFinder finder;
    const std::vector<float> chirp = CalibrationChirp();
    std::vector<float> frames = Noise(32768, 0.01, 1);
    for (size_t n = 0; n < chirp.size(); ++n) frames[5000 + n] += 0.3f * chirp[n];
    ChirpFinder::Match m = finder.Find(frames.data(), frames.size());
    EXPECT_NEAR(m.index, 5000.0, 0.5);
    EXPECT_GT(m.snrDb, 40.0);

    // Inverted and shorter block: the envelope does not care about the sign.
    std::vector<float> inverted(20000, 0.0f);
    for (size_t n = 0; n < chirp.size(); ++n) inverted[1234 + n] = -chirp[n];
    m = finder.Find(inverted.data(), inverted.size());
    EXPECT_NEAR(m.index, 1234.0, 0.2);

    const std::vector<float> noise = Noise(32768, 0.01, 2);
    EXPECT_LT(finder.Find(noise.data(), noise.size()).snrDb, kCalibrationTraceDb);
    const std::vector<float> silence(32768, 0.0f);
    EXPECT_EQ(finder.Find(silence.data(), silence.size()).snrDb, 0.0);
    // Too short to hold the chirp.
    EXPECT_EQ(finder.Find(frames.data(), chirp.size() - 1).snrDb, 0.0);
}

class FakeCalibrationWindow : public CalibrationWindow {
public:
    void ProcessMessages() override { ++messages; }
    int VolumePosition() const override { return volume; }
    int messages = 0;
    int volume = 50;
};

class LatencyTest : public testing::Test {
protected:
    using Clock = audio::VirtualApparatus::Clock;
    void SetUp() override { Install(false); }
    void TearDown() override { context.reset(); }
    void Install(bool stereo, bool left = true) {
        test::InstallApparatus(context, *s, apparatus, physics::ResonatorModel::DefaultSphere(),
                               stereo, left);
    }

    test::MessageRecorder messages;
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    FakeCalibrationWindow w;
    audio::VirtualApparatus* apparatus = nullptr;
    std::optional<platform::ContextScope> context;
};

TEST_F(LatencyTest, FindsTheApparatusLatencyThroughTheResonator) {
    for (const double ms : {10.0, 37.0, 0.0, 120.0}) {
        const int samples = static_cast<int>(std::lround(ms * 44.1));
        apparatus->SetLatency(samples);
        const CalibrationOutcome out = CalibrateLatency(*s, w);
        ASSERT_TRUE(out.found) << ms << " ms: " << out.message;
        // The rising edge alone read 0.42 ms long through the cavity; the excess phase leaves
        // what the cavity's zeros outside the minimum phase add.
        EXPECT_NEAR(out.latency.samples / 44.1, ms, 0.2) << ms;
        // Seen from the chirp's place in the recording, as the reads by index take it.
        EXPECT_NEAR(out.latency.frameOffset / 44.1, ms, 0.2) << ms;
        EXPECT_LT(std::abs(out.sidesApartMs), 0.01) << ms;
        EXPECT_TRUE(s->Latency.valid);
        EXPECT_DOUBLE_EQ(s->Latency.samples, out.latency.samples);
        EXPECT_EQ(out.readings, kCalibrationReadings);
        EXPECT_GT(out.latency.confidenceDb, 30.0);
        EXPECT_LT(out.latency.spreadMs, 0.1);
        EXPECT_FALSE(Playing(*s));
        std::printf("latency %.1f ms: found %.3f ms, %.0f dB\n", ms, out.latency.samples / 44.1,
                    out.latency.confidenceDb);
    }
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_GT(w.messages, 100);  // the window stays responsive while the chirp plays
}

// The physical sphere, at three temperatures and with the spacer rings, at a few hemisphere
// angles: the arrival within 0.02 ms of the apparatus's latency (the excess phase alone read
// 0.35 ... 0.42 ms long, the cavity's propagation), so that a fast measurement so calibrated
// has the resonator's own phases at its resonances.
TEST_F(LatencyTest, ThePhysicalSphereDoesNotMoveTheArrival) {
    test::FakeMeasureWindow measure;
    SweepEngine engine(*s, measure);
    measure.fields = {"400", "7800", "20", "20"};
    double worstMs = 0.0, worstDegrees = 0.0;
    for (const double celsius : {0.0, 20.0, 40.0}) {
        for (const double ring : {0.0, 0.003, 0.006, 0.009}) {
            physics::SphereSetup setup;
            setup.celsius = celsius;
            setup.ring = ring;
            apparatus->SetSphere(setup);
            const double alpha = ring == 0.0 ? 0.0 : 40.0 + 2000.0 * ring;
            apparatus->SetHemisphereAngle(alpha);
            apparatus->SetLatency(441 + static_cast<int>(celsius));
            const CalibrationOutcome out = CalibrateLatency(*s, w);
            ASSERT_TRUE(out.found) << out.message;
            const double ms = (out.latency.samples - apparatus->Latency()) / 44.1;
            worstMs = std::max(worstMs, std::abs(ms));
            EXPECT_TRUE(out.modal.found) << celsius << " C, ring " << ring;
            EXPECT_NEAR(ms, 0.0, 0.02)
                << celsius << " C, ring " << ring << ", " << out.modal.resonances << " resonances";
            // The calibrated phases at the resonances, where a fit reads them.
            ASSERT_TRUE(engine.FastMeasure(FastSettings{}));
            double loudest = 0.0;
            for (int k = 1; k <= s->SpecCount[0]; ++k) {
                loudest =
                    std::max(loudest, std::abs(apparatus->ExpectedResponse(s->SpecFreq[0][k])));
            }
            for (const physics::CavityMode& mode : physics::SphereModes(setup)) {
                if (mode.frequency < 400.0 || mode.frequency > 7800.0) continue;
                const auto k = static_cast<int>(std::lround(mode.frequency - 400.0)) + 1;
                const double f = s->SpecFreq[0][k];
                const std::complex<double> want = apparatus->ExpectedResponse(f);
                if (std::abs(want) < 0.05 * loudest) continue;
                const double error = std::remainder(
                    s->SpecPhase[0][k] - std::arg(want) * 180.0 / std::numbers::pi, 360.0);
                worstDegrees = std::max(worstDegrees, std::abs(error));
                EXPECT_NEAR(error, 0.0, 3.0)
                    << celsius << " C, ring " << ring << ", " << f << " Hz";
            }
        }
    }
    std::printf(
        "physical sphere: arrival within %.4f ms, phases at the resonances within %.2f "
        "degrees\n",
        worstMs, worstDegrees);
}

// Real residues give their delay; residues a quarter turn off (a path that differentiates a
// modal sum), fewer than three resonances, or residues at random leave the arrival to the
// excess phase (random ones agree by chance in a few per cent of the draws: four of five
// within 6 degrees somewhere in 42 samples).
TEST(ModalArrivalTest, OnlyResiduesThatOneDelayMakesRealDecide) {
    const double bin = 44100.0 / 65536.0;
    const std::vector<double> centres = {2300.0, 3650.0, 4900.0, 6150.0, 7300.0};
    auto path = [&](const std::vector<double>& turns, size_t count, double delay) {
        std::vector<std::complex<double>> h(11600);
        for (size_t k = 595; k < h.size(); ++k) {
            const double f = static_cast<double>(k) * bin;
            for (size_t j = 0; j < count; ++j) {
                h[k] +=
                    std::polar(1.0, turns[j]) * 10.0 / std::complex<double>(centres[j] - f, 10.0);
            }
            h[k] *= std::polar(1.0, -2.0 * std::numbers::pi * f * delay / 44100.0);
        }
        return h;
    };
    const double pi = std::numbers::pi;
    const std::vector<double> real = {0.0, pi, 0.0, 0.0, pi};
    for (const double delay : {-6.0, 0.0, -35.0}) {
        for (const size_t count : {5u, 3u}) {
            const ModalArrival a = FindModalArrival(path(real, count, delay), bin, 595, 11591);
            EXPECT_TRUE(a.found) << delay << ", " << count;
            EXPECT_NEAR(a.shiftSamples, delay, 0.01) << delay << ", " << count;
            EXPECT_EQ(a.resonances, static_cast<int>(count));
        }
        EXPECT_FALSE(FindModalArrival(path(real, 2, delay), bin, 595, 11591).found) << delay;
        EXPECT_FALSE(
            FindModalArrival(path(std::vector<double>(5, pi / 2), 5, delay), bin, 595, 11591).found)
            << delay;
    }
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> turn(-pi, pi);
    int found = 0;
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<double> any(5);
        for (double& v : any) v = turn(rng);
        found += FindModalArrival(path(any, 5, -6.0), bin, 595, 11591).found ? 1 : 0;
    }
    EXPECT_LE(found, 30);
    std::printf("random residues: a delay found in %d of 300\n", found);
}

TEST_F(LatencyTest, FindsItOnALoopbackChannelToo) {
    Install(true, false);  // the right channel is the drive looped back
    apparatus->SetLatency(1000);
    const CalibrationOutcome out = CalibrateLatency(*s, w);
    ASSERT_TRUE(out.found) << out.message;
    EXPECT_NEAR(out.latency.samples, 1000.0, 1.0);
}

TEST_F(LatencyTest, NoTraceKeepsThePreviousCalibration) {
    const LatencyCalibration previous{true, 123.0, 40.0, 0.01};
    s->Latency = previous;
    ASSERT_TRUE(audio::RecordSetInput(0, audio::kInputOff));  // microphone off
    CalibrationOutcome out = CalibrateLatency(*s, w);
    EXPECT_FALSE(out.found);
    EXPECT_EQ(out.message, kCalibrationNoTrace);
    EXPECT_TRUE(messages.Messages().empty()) << "the engine says it to its window, which shows it";
    EXPECT_DOUBLE_EQ(s->Latency.samples, 123.0);
    EXPECT_FALSE(Playing(*s));

    // Microphone on, volume 0: silence and noise only.
    ASSERT_TRUE(audio::RecordSetInput(0, audio::kInputOn));
    w.volume = 0;
    out = CalibrateLatency(*s, w);
    EXPECT_EQ(out.message, kCalibrationNoTrace);
    EXPECT_DOUBLE_EQ(s->Latency.samples, 123.0);
    EXPECT_TRUE(s->Latency.valid);
}

TEST_F(LatencyTest, RefusesWhileSomethingPlaysOrNothingRecords) {
    s->CurrentFreq = 1000.0;
    ASSERT_TRUE(MakeToneWav(*s, 10.0));
    StartPlayback(*s, 50);
    const uint32_t tone = s->PlayStream;
    CalibrationOutcome out = CalibrateLatency(*s, w);
    EXPECT_EQ(out.message, kCalibrationBusy);
    EXPECT_EQ(s->PlayStream, tone);  // the tone plays on, untouched
    EXPECT_TRUE(Playing(*s));
    audio::ChannelStop(s->PlayStream);

    s->RecChannel = 0;
    out = CalibrateLatency(*s, w);
    EXPECT_EQ(out.message, kCalibrationNoRecording);
    EXPECT_FALSE(s->Latency.valid);
    EXPECT_TRUE(messages.Messages().empty());
}

// A recording whose clock says it has reached 300 frames further than it has: the delay seen
// from the chirp's place then disagrees with the one seen from the reads by 6.8 ms, and the
// calibration is refused, the previous one kept.
TEST_F(LatencyTest, SidesThatDisagreeAreRefused) {
    class Misreporting : public audio::VirtualApparatus {
    public:
        Misreporting() : VirtualApparatus(Clock::Manual) {}
        double RecordNow() override { return VirtualApparatus::RecordNow() + 300.0; }
    };
    context.reset();
    auto backend = std::make_unique<Misreporting>();
    apparatus = backend.get();
    context.emplace(std::move(backend));
    ASSERT_TRUE(audio::Init(-1, 44100, 0, nullptr, nullptr));
    ASSERT_TRUE(audio::RecordInit(-1));
    StartRecording(*s);
    apparatus->AdvanceMs(1000);
    const LatencyCalibration previous{true, 123.0, 40.0, 0.01, 0.0, 123.0};
    s->Latency = previous;
    const CalibrationOutcome out = CalibrateLatency(*s, w);
    EXPECT_FALSE(out.found);
    EXPECT_NEAR(out.sidesApartMs, -300.0 / 44.1, 0.2);
    EXPECT_EQ(out.message, kCalibrationUnsteady);
    EXPECT_TRUE(messages.Messages().empty());  // the outcome says it, for the window to show
    EXPECT_DOUBLE_EQ(s->Latency.samples, 123.0);
    EXPECT_DOUBLE_EQ(s->Latency.frameOffset, 123.0);
}

TEST_F(LatencyTest, AnOutputThatStopsEndsTheCalibration) {
    s->Latency = LatencyCalibration{true, 50.0, 40.0, 0.0};
    w.volume = 50;
    int rounds = 0;
    class Stopper : public FakeCalibrationWindow {
    public:
        explicit Stopper(SharedState& s, int& rounds) : m_s(s), m_rounds(rounds) {}
        void ProcessMessages() override {
            if (++m_rounds == 50) audio::ChannelStop(m_s.PlayStream);
        }

    private:
        SharedState& m_s;
        int& m_rounds;
    } stopper(*s, rounds);
    const CalibrationOutcome out = CalibrateLatency(*s, stopper);
    EXPECT_EQ(out.message, kCalibrationInterrupted);
    EXPECT_DOUBLE_EQ(s->Latency.samples, 50.0);
}

}  // namespace
}  // namespace sonarix
