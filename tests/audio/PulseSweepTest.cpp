// A whole sweep on the sound card backend against a private sound server whose null sink's
// monitor is the recording: what is recorded is the played chirp itself, so the measured
// response is flat. Run under scripts/with-sound-server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "measurement/FastSweep.h"
#include "measurement/Latency.h"
#include "measurement/Playback.h"
#include "measurement/Sweep.h"
#include "measurement/TestSignals.h"
#include "platform/Clock.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/AudioFactory.h"
#include "tests/TestSupport.h"
#include "tests/audio/LatencyProbe.h"
#include "tests/measurement/FakeMeasureWindow.h"

namespace sonarix {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The latency calibration's window, at volume 50.
class Calibrator : public CalibrationWindow {
public:
    void ProcessMessages() override {}
    int VolumePosition() const override { return 50; }
};

// A calibration on a busy machine may find the delay moving (the server's own threads held up
// too) and refuse, telling the user to try again: it is tried up to three times, as a user
// would. Any other refusal, or a result taken, ends the tries.
CalibrationOutcome Calibrate(SharedState& s, Calibrator& calibrator,
                             test::MessageRecorder& messages) {
    CalibrationOutcome c;
    for (int attempt = 0; attempt < 3; ++attempt) {
        messages.Clear();
        c = CalibrateLatency(s, calibrator);
        if (c.found || c.message != kCalibrationUnsteady) break;
        std::printf(
            "calibration refused as unsteady (spread %.2f ms, sides %.2f ms apart): again\n",
            c.latency.spreadMs, c.sidesApartMs);
        platform::Sleep(200);
    }
    return c;
}

TEST(PulseSweep, ChirpThroughTheNullSinkMeasuresFlatWithoutLag) {
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under scripts/with-sound-server";
    test::MessageRecorder messages;
    const platform::ContextScope context(audio::CreateSoundCardBackend());
    ASSERT_TRUE(audio::Init(-1, 44100, 0, nullptr, nullptr));
    ASSERT_TRUE(audio::RecordInit(-1));
    auto s = std::make_unique<SharedState>();
    StartRecording(*s);
    ASSERT_NE(s->RecChannel, 0u);
    // Uncalibrated, a step is read when the reported position passes it. A server that does
    // not report all of its latency (PipeWire leaves out the block being played, 21 ms) has
    // not yet played the first steps then, nor the recording brought them: those steps read
    // low, up to the latency the calibration finds when the frames are read, the longest age
    // of the frames (twice their mean) and half the frames read. The sweep itself runs
    // uncalibrated.
    platform::Sleep(800);
    Calibrator calibrator;
    const CalibrationOutcome c = Calibrate(*s, calibrator, messages);
    ASSERT_TRUE(c.found) << c.message;
    s->Latency = {};
    const double unreadMs = (c.latency.samples + c.latency.ageSamples + kLevelFrames / 2.0) / 44.1;
    std::printf("the recording holds a step's sound %.1f ms after the position has passed it\n",
                c.latency.samples / 44.1);
    test::FakeMeasureWindow w;
    w.fields = {"1000", "3000", "20", "20"};
    SweepEngine engine(*s, w);
    engine.Measure();
    EXPECT_TRUE(messages.Messages().empty());
    ASSERT_EQ(s->SpecCount[0], 100);
    std::vector<double> amps(s->SpecAmp[0].begin() + 1, s->SpecAmp[0].begin() + 101);
    std::vector<double> sorted = amps;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[50];
    // Amplitude 4000 at volume 50 over the seven bins: 100 x 0.5 x 4000 / 32768 x sqrt(1.5).
    EXPECT_NEAR(median, 7.47, 0.75);
    for (int i = 0; i < 100; ++i) {
        if ((i + 1) * 20.0 < unreadMs) continue;
        EXPECT_NEAR(amps[static_cast<size_t>(i)], median, 0.2 * median) << s->SpecFreq[0][i + 1];
    }
    EXPECT_EQ(engine.LastStats().lagEvents, 0);
    EXPECT_EQ(w.lagShows, 0);
    EXPECT_FALSE(Playing(*s));
    audio::Free();
}

class PulseLatency : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under scripts/with-sound-server";
        context.emplace(audio::CreateSoundCardBackend());
        ASSERT_TRUE(audio::Init(-1, 44100, 0, nullptr, nullptr));
        ASSERT_TRUE(audio::RecordInit(-1));
        StartRecording(*s);
        ASSERT_NE(s->RecChannel, 0u);
        platform::Sleep(800);  // enough recording for the calibration's block
    }
    void TearDown() override {
        audio::Free();
        context.reset();
    }
    std::vector<double> Amps() const {
        return std::vector<double>(s->SpecAmp[0].begin() + 1,
                                   s->SpecAmp[0].begin() + 1 + s->SpecCount[0]);
    }
    static double Median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

    test::MessageRecorder messages;
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    std::optional<platform::ContextScope> context;
    Calibrator calibrator;
};

TEST_F(PulseLatency, CalibrationAgreesWithThePositionRecordingProbe) {
    const audio::test::ProbeResult probe = audio::test::ProbeLatency(s->RecChannel, 20);
    ASSERT_GE(probe.ms.size(), 16u) << probe.disturbed << " runs disturbed";
    const CalibrationOutcome c = Calibrate(*s, calibrator, messages);
    ASSERT_TRUE(c.found) << c.message << " (spread " << c.latency.spreadMs << " ms, sides "
                         << c.sidesApartMs << " ms apart)";
    // The probe times each frame's arrival. The calibration gives it twice: from where the
    // chirp lies in the recording against the playback's samples (what the reads by index
    // take: no timing enters it), and from the reads as they came less how old the recording
    // was when read (timed, so a busy machine spreads it; the calibration accepts it within
    // that spread).
    const double byFrames = c.latency.frameOffset / 44.1;
    const double arrival = (c.latency.samples - c.latency.ageSamples) / 44.1;
    std::printf(
        "null sink: probe %.2f ms (%d runs disturbed), calibration %.2f ms by the frames, %.2f "
        "ms on arrival, %.2f ms when read (%.0f dB, spread %.2f ms, the chirp's place %.3f ms "
        "from the reads', %.2f s)\n",
        probe.mean, probe.disturbed, byFrames, arrival, c.latency.samples / 44.1,
        c.latency.confidenceDb, c.latency.spreadMs, c.sidesApartMs, c.seconds);
    EXPECT_FALSE(c.modal.found);  // a flat path has no resonances to place the arrival
    // Within a millisecond; a sanitizer build, whose callbacks run several times slower,
    // moves the block times the probe relies on by up to about as much again.
    const double within = kSanitized ? 2.0 : 1.0;
    EXPECT_NEAR(byFrames, probe.mean, within);
    EXPECT_NEAR(arrival, probe.mean, std::max(within, c.latency.spreadMs));
    EXPECT_TRUE(messages.Messages().empty());
}

TEST_F(PulseLatency, LockInSweepIsAsFlatAsTheFftSweep) {
    ASSERT_TRUE(Calibrate(*s, calibrator, messages).found);
    test::FakeMeasureWindow w;
    w.fields = {"1000", "3000", "20", "20"};
    SweepEngine engine(*s, w);
    // A playback the server let run dry in the middle (a busy machine, a sanitizer build)
    // plays silence for a moment: such a sweep is measured once more.
    auto measure = [&](const char* what) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const uint64_t gaps = audio::PlaybackGaps();
            engine.Measure();
            if (audio::PlaybackGaps() == gaps) return;
            std::printf("the playback ran dry during the %s sweep: measured again\n", what);
        }
    };
    measure("FFT");
    ASSERT_EQ(s->SpecCount[0], 100);
    const std::vector<double> fft = Amps();
    // Steps of 20 ms, shorter than PipeWire's blocks of 21.3 ms: each point is read from frames
    // of its own, never the same frames as the step before.
    for (size_t i = 1; i < fft.size(); ++i) EXPECT_NE(fft[i], fft[i - 1]) << i;
    w.lockIn = true;
    measure("lock-in");
    ASSERT_EQ(s->SpecCount[0], 100);
    const std::vector<double> lockIn = Amps();
    const double fftMedian = Median(fft), lockInMedian = Median(lockIn);
    std::printf("flat response: FFT median %.3f, lock-in median %.3f (ratio %.4f)\n", fftMedian,
                lockInMedian, lockInMedian / fftMedian);
    EXPECT_NEAR(lockInMedian / fftMedian, 1.0, 0.01);
    // The lock-in's points follow the played chirp: flat within 2 %. Each read is lined up with
    // the sound the frames really hold, however long ago the server's last block of the
    // recording came. The last two steps aside: a read comes when the frames are there, up to
    // half a block of the recording (10 ms on PipeWire) later than on average, and their
    // frames may reach past the end of the sound (the last one's do by half).
    double worst = 0.0;
    for (size_t i = 0; i + 2 < lockIn.size(); ++i) {
        worst = std::max(worst, std::fabs(lockIn[i] / lockInMedian - 1.0));
        EXPECT_NEAR(lockIn[i] / lockInMedian, 1.0, 0.02) << s->SpecFreq[0][i + 1];
    }
    std::printf("largest deviation of a lock-in point from the median: %.2f %%\n", 100 * worst);
    EXPECT_EQ(engine.LastStats().lagEvents, 0);
    EXPECT_TRUE(messages.Messages().empty());
}

TEST_F(PulseLatency, FastMeasureThroughTheNullSinkIsFlat) {
    ASSERT_TRUE(Calibrate(*s, calibrator, messages).found);
    test::FakeMeasureWindow w;
    SweepEngine engine(*s, w);
    // A playback the server let run dry is played once more by the measurement itself; where
    // the second one has a gap too (a sanitizer build, a busy machine), nothing is stored and
    // it says so: then it is measured anew, as a user would.
    bool stored = false;
    for (int attempt = 0; attempt < 3 && !stored; ++attempt) {
        messages.Clear();
        stored = engine.FastMeasure(FastSettings{});
        if (!stored) {
            ASSERT_EQ(messages.Messages().size(), 1u);
            ASSERT_EQ(messages.Messages().back(), kFastPlaybackGap);
            std::printf("the playback ran dry twice during the fast measurement: measured again\n");
        }
    }
    ASSERT_TRUE(stored);
    EXPECT_TRUE(messages.Messages().empty());
    ASSERT_EQ(s->SpecCount[0], 9900);
    EXPECT_TRUE(s->SpecPhased[0]);
    // What a steady tone at volume 50 reads through the null sink: 100 x 0.5 x 4000 / 32768 x
    // sqrt(1.5).
    const double tone = 100.0 * 0.5 * kSampleAmplitude / 32768.0 * std::sqrt(1.5);
    double lowDb = 0.0, highDb = 0.0, lowAt = 0.0;
    for (int k = 1; k <= 9900; ++k) {
        const double db = 20.0 * std::log10(s->SpecAmp[0][k] / tone);
        if (db < lowDb) lowAt = s->SpecFreq[0][k];
        lowDb = std::min(lowDb, db);
        highDb = std::max(highDb, db);
    }
    // The delay the phases still show (least squares of the unwrapped phase), and how far the
    // phases stray from that pure delay.
    std::vector<double> unwrapped(9901);
    unwrapped[1] = s->SpecPhase[0][1];
    for (int k = 2; k <= 9900; ++k) {
        unwrapped[k] =
            unwrapped[k - 1] + std::remainder(s->SpecPhase[0][k] - s->SpecPhase[0][k - 1], 360.0);
    }
    double sf = 0.0, sp = 0.0, sfp = 0.0, sff = 0.0;
    for (int k = 1; k <= 9900; ++k) {
        const double f = s->SpecFreq[0][k];
        sf += f;
        sp += unwrapped[k];
        sfp += f * unwrapped[k];
        sff += f * f;
    }
    const double slope = (9900.0 * sfp - sf * sp) / (9900.0 * sff - sf * sf);
    const double offset = (sp - slope * sf) / 9900.0;
    const double delay = -slope / 360.0 * 44100.0;
    double stray = 0.0;
    for (int k = 1; k <= 9900; ++k) {
        stray = std::max(stray, std::abs(unwrapped[k] - offset - slope * s->SpecFreq[0][k]));
    }
    std::printf(
        "fast measurement through the null sink: %.3f (at %.0f Hz) ... %.3f dB, a delay of %.3f "
        "samples left after the calibrated latency, the phase within %.3f degrees of it (at 0 "
        "Hz %.3f degrees), the timing %.1f samples off the signal's arrival%s\n",
        lowDb, lowAt, highDb, delay, stray, offset, engine.LastFastStats().timingDisagreement,
        engine.LastFastStats().alignedBySignal ? " (the signal's taken)" : "");
    EXPECT_GT(lowDb, -0.2);
    EXPECT_LT(highDb, 0.2);
    // The phase is a pure delay. What the calibration and this measurement make of the
    // server's timing differs from one playback to the next by up to a hundred samples; beyond
    // a quarter millisecond the arrival is taken from the signal itself.
    EXPECT_LT(std::abs(delay), 11.5);
    EXPECT_LT(stray, 1.0);
    EXPECT_LT(std::abs(std::remainder(offset, 360.0)), 1.0);
}

}  // namespace
}  // namespace sonarix
