// The latency calibration: the chirp finder on known signals, and the whole calibration on
// the virtual apparatus's manual clock with latencies the test sets.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "measurement/Latency.h"
#include "measurement/Messages.h"
#include "measurement/Playback.h"
#include "measurement/TestSignals.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "tests/TestSupport.h"
#include "tests/measurement/ApparatusSetup.h"

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
    void TearDown() override { audio::UseBackend(nullptr); }
    void Install(bool stereo, bool left = true) {
        test::InstallApparatus(*s, apparatus, audio::ResonatorModel::DefaultSphere(), stereo, left);
    }

    test::MessageRecorder messages;
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    FakeCalibrationWindow w;
    audio::VirtualApparatus* apparatus = nullptr;
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
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], kCalibrationNoTrace);
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
    EXPECT_EQ(messages.Messages().size(), 2u);
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
    audio::UseBackend(nullptr);
    auto backend = std::make_unique<Misreporting>();
    apparatus = backend.get();
    audio::UseBackend(std::move(backend));
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
    EXPECT_EQ(messages.Messages().size(), 1u);
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
