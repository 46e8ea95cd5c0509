// The sweep and the tone on the virtual apparatus's manual clock, driven through a fake window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/Latency.h"
#include "measurement/Playback.h"
#include "measurement/Sweep.h"
#include "measurement/TestSignals.h"
#include "platform/Clock.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "tests/TestSupport.h"
#include "tests/measurement/FakeMeasureWindow.h"
#include "tests/measurement/KnownSignalApparatus.h"

namespace sonarix {
namespace {

class SweepTest : public testing::Test {
protected:
    void SetUp() override { Install(std::make_unique<audio::VirtualApparatus>(Clock::Manual)); }
    void TearDown() override { context.reset(); }
    using Clock = audio::VirtualApparatus::Clock;

    void Install(std::unique_ptr<audio::VirtualApparatus> backend, bool stereo = false) {
        context.reset();
        apparatus = backend.get();
        context.emplace(std::move(backend));
        ASSERT_TRUE(audio::Init(-1, 44100, 0, nullptr, nullptr));
        ASSERT_TRUE(audio::RecordInit(-1));
        s->StereoInput = stereo;
        StartRecording(*s);
        ASSERT_NE(s->RecChannel, 0u);
    }
    int Count(int slot = 0) const { return s->SpecCount[static_cast<size_t>(slot)]; }
    double Freq(int i, int slot = 0) const { return s->SpecFreq[static_cast<size_t>(slot)][i]; }
    double Amp(int i, int slot = 0) const { return s->SpecAmp[static_cast<size_t>(slot)][i]; }
    std::vector<double> Amps() const {
        return {s->SpecAmp[0].begin() + 1, s->SpecAmp[0].begin() + 1 + Count()};
    }
    // The slot holds the amplitudes of `quiet` within `share` of them (plus `share`).
    void ExpectCloseTo(const std::vector<double>& quiet, double share) const {
        ASSERT_EQ(static_cast<size_t>(Count()), quiet.size());
        for (int i = 1; i <= Count(); ++i) {
            const double q = quiet[static_cast<size_t>(i - 1)];
            EXPECT_NEAR(Amp(i), q, share * (q + 1.0)) << Freq(i);
        }
    }

    test::MessageRecorder messages;
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    test::FakeMeasureWindow w;
    SweepEngine engine{*s, w};
    audio::VirtualApparatus* apparatus = nullptr;
    std::optional<platform::ContextScope> context;
};

TEST_F(SweepTest, DefaultSweepMeasuresTheResonancesOfTheSphere) {
    engine.Measure();
    EXPECT_TRUE(messages.Messages().empty());
    ASSERT_EQ(Count(), 990);
    for (int i = 1; i <= 990; ++i) ASSERT_EQ(Freq(i), 100.0 + 10.0 * i);
    EXPECT_EQ(s->CurrentFreq, 10010.0);
    EXPECT_EQ(s->CurrentSlot, 0);
    EXPECT_FALSE(Playing(*s));
    EXPECT_TRUE(w.measureShown);
    EXPECT_EQ(w.measureHides, 1);
    EXPECT_FALSE(w.saturation);
    EXPECT_EQ(w.lagShows, 0);
    EXPECT_EQ(w.redraws, 991);  // one per step and one at the end
    EXPECT_EQ(w.messages, 990);
    EXPECT_EQ(engine.LastStats().lagEvents, 0);
    // The sweep took as long as the chirp: 2182950 samples.
    EXPECT_NEAR(static_cast<double>(apparatus->SampleTime()), 2182950.0, 4410.0);

    // Every resonance shows as a maximum of the measured spectrum next to the peak of the
    // model's steady response. The level is the sound of the last 23 ms and arrives 10 ms late,
    // and nothing compensates that, so the maximum lies up to a little over one step above.
    auto steady = [&](double f) { return std::abs(apparatus->ExpectedResponse(f)); };
    auto steadyPeak = [&](double mode) {
        double best = mode;
        for (double f = mode - 40.0; f <= mode + 40.0; f += 0.25) {
            if (steady(f) > steady(best)) best = f;
        }
        return best;
    };
    auto index = [](double f) { return static_cast<int>(std::lround((f - 100.0) / 10.0)); };
    auto measuredPeak = [&](double f) {
        int best = index(f);
        for (int i = std::max(1, index(f) - 2); i <= std::min(990, index(f) + 3); ++i) {
            if (Amp(i) > Amp(best)) best = i;
        }
        return best;
    };
    std::vector<double> peaks;
    for (const physics::CavityMode& m : apparatus->Modes()) {
        const double p = steadyPeak(m.frequency);
        if (p > 130.0 && p < 9980.0 && (peaks.empty() || p - peaks.back() > 1.0)) {
            peaks.push_back(p);
        }
    }
    ASSERT_GE(peaks.size(), 10u);
    int valleys = 0;
    for (size_t m = 0; m < peaks.size(); ++m) {
        const int peak = measuredPeak(peaks[m]);
        EXPECT_GE(Freq(peak) - peaks[m], -2.0) << peaks[m];
        EXPECT_LE(Freq(peak) - peaks[m], 12.5) << peaks[m];
        EXPECT_GE(Amp(peak), Amp(peak - 1)) << peaks[m];
        EXPECT_GE(Amp(peak), Amp(peak + 1)) << peaks[m];
        // Where the model has a deep valley between two resonances, so has the measurement.
        if (m + 1 < peaks.size()) {
            const double mid = (peaks[m] + peaks[m + 1]) / 2.0;
            if (steady(peaks[m]) < 20.0 * steady(mid)) continue;
            ++valleys;
            EXPECT_GE(Amp(peak), 10.0 * Amp(index(mid))) << peaks[m];
        }
    }
    EXPECT_GE(valleys, 3);
}

TEST_F(SweepTest, StopEndsTheSweepAfterTheCurrentStep) {
    w.onMessages = [&] {
        if (w.messages == 100) engine.Stop();
    };
    bool playingAfterStop = true;
    w.onRedraw = [&] {
        if (w.redraws == 100) playingAfterStop = Playing(*s);  // the step's own redraw
    };
    engine.Measure();
    EXPECT_EQ(Count(), 100);  // the step in progress is stored
    EXPECT_EQ(Freq(100), 1100.0);
    EXPECT_TRUE(playingAfterStop);  // until the step is done
    EXPECT_FALSE(Playing(*s));      // then silent at once
    EXPECT_EQ(audio::ChannelIsActive(s->PlayStream), 0u);
    EXPECT_TRUE(w.measureShown);
}

TEST_F(SweepTest, ClearingTheSlotBeingMeasuredKeepsOnlyThePointsMeasuredSince) {
    std::vector<int> countsAtRedraw;
    w.onMessages = [&] {
        if (w.messages != 50) return;
        ClearSpectrum(*s, 0);
        EXPECT_EQ(Count(), 0);  // empty until the next point
    };
    w.onRedraw = [&] { countsAtRedraw.push_back(Count()); };
    engine.Measure();
    ASSERT_GE(countsAtRedraw.size(), 51u);
    EXPECT_EQ(countsAtRedraw[48], 49);
    EXPECT_EQ(countsAtRedraw[49], 1);  // the slot starts again with the next point
    EXPECT_EQ(Count(), 941);
    EXPECT_EQ(Freq(1), 600.0);
    EXPECT_EQ(Freq(941), 10000.0);
    for (int i = 2; i <= 941; ++i) ASSERT_EQ(Freq(i), Freq(i - 1) + 10.0) << i;
}

// Each level is read by its frames' index: a window that keeps the sweep waiting (a redraw of
// 35 ms at 20 ms steps; 400 ms of messages at the start; 3 s once, at the very end) changes no
// point, with each level method. The apparatus is the same each time, so its recording is
// too.
struct LateCase {
    const char* name;
    bool fft, lockIn, calibrated;
};
class LateWindowTest : public SweepTest, public testing::WithParamInterface<LateCase> {
protected:
    // The sweep on a fresh apparatus, with `slow` run at every step's redraw.
    std::vector<double> Sweep(const std::function<void()>& slow, bool phases = false) {
        Install(std::make_unique<audio::VirtualApparatus>(Clock::Manual));
        if (GetParam().calibrated) {
            class Calibrator : public CalibrationWindow {
                void ProcessMessages() override {}
                int VolumePosition() const override { return 50; }
            } c;
            EXPECT_TRUE(CalibrateLatency(*s, c).found);
        }
        w.fields = {"2000", "3000", "5", "20"};
        w.fft = GetParam().fft;
        w.lockIn = GetParam().lockIn;
        w.onRedraw = slow;
        w.redraws = 0;
        engine.Measure();
        w.onRedraw = nullptr;
        std::vector<double> v;
        for (int i = 1; i <= Count(); ++i) v.push_back(phases ? s->SpecPhase[0][i] : Amp(i));
        return v;
    }
};

TEST_P(LateWindowTest, ChangesNoPoint) {
    const std::vector<double> amps = Sweep(nullptr), phases = Sweep(nullptr, true);
    ASSERT_EQ(amps.size(), 200u);
    EXPECT_TRUE(messages.Messages().empty());
    const std::function<void()> slow[] = {
        [&] { apparatus->AdvanceMs(35); },
        [&] {
            if (w.redraws == 1) apparatus->AdvanceMs(400);
        },
        [&] {
            if (w.redraws == 190) apparatus->AdvanceMs(3000);
        },
    };
    for (const auto& late : slow) {
        EXPECT_EQ(Sweep(late), amps);
        EXPECT_EQ(Sweep(late, true), phases);
        EXPECT_EQ(engine.LastStats().lagEvents, 0);
        EXPECT_EQ(w.lagShows, 0);
        EXPECT_TRUE(messages.Messages().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, LateWindowTest,
                         testing::Values(LateCase{"Fft", true, false, false},
                                         LateCase{"Mean", false, false, false},
                                         LateCase{"LockIn", true, true, false},
                                         LateCase{"CalibratedLockIn", true, true, true}),
                         [](const testing::TestParamInfo<LateCase>& c) { return c.param.name; });

// Held up for longer than the recording keeps (15 s while the chirp plays on): the step's sound
// is played again, from 100 ms before it, with the lag indicator up until it has been read; the
// points stay those of an undisturbed sweep within the noise. Once the chirp has ended there is
// nothing to play again: the sweep ends with a message naming the step.
TEST_F(SweepTest, FramesNoLongerHeldArePlayedAgainOrNamed) {
    w.fields = {"1000", "2000", "10", "200"};  // 20 s of chirp
    engine.Measure();
    ASSERT_EQ(Count(), 100);
    const std::vector<double> quiet = Amps();

    int64_t rewoundTo = -1;
    bool lagWhileRead = false;
    w.onLag = [&] { rewoundTo = static_cast<int64_t>(audio::ChannelGetPosition(s->PlayStream)); };
    w.onRedraw = [&] {
        lagWhileRead = lagWhileRead || w.lag;
        if (w.redraws == 5) apparatus->AdvanceMs(15000);
    };
    w.redraws = 0;
    engine.Measure();
    EXPECT_EQ(engine.LastStats().lagEvents, 1);
    EXPECT_FALSE(lagWhileRead);
    // Step 6 (1060 Hz) lies 6 x 200 ms into the chirp.
    EXPECT_EQ(rewoundTo, 2 * (6 * 8820 - 4410));
    EXPECT_TRUE(messages.Messages().empty());
    ExpectCloseTo(quiet, 0.02);

    w.onRedraw = [&] {
        if (w.redraws == 95) apparatus->AdvanceMs(15000);
    };
    w.redraws = 0;
    engine.Measure();
    EXPECT_EQ(Count(), 95);
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_NE(messages.Messages()[0].find("at 1960 Hz could not be read"), std::string::npos)
        << messages.Messages()[0];
    EXPECT_TRUE(w.measureShown);
    EXPECT_FALSE(w.lag);
}

// A gap in the playback (the server ran dry for 2000 frames 20000 samples in): no point holds
// the silence; the steps from where it was seen are played again.
TEST_F(SweepTest, APlaybackGapIsPlayedAgainNotStored) {
    w.fields = {"1000", "2000", "10", "20"};
    engine.Measure();
    const std::vector<double> quiet = Amps();
    apparatus->StallPlaybacks(1, 2000);
    engine.Measure();
    EXPECT_EQ(audio::PlaybackGaps(), 1u);
    EXPECT_EQ(engine.LastStats().lagEvents, 1);
    EXPECT_TRUE(messages.Messages().empty());
    ExpectCloseTo(quiet, 0.05);
}

TEST_F(SweepTest, RefusedParametersPlayNothingAndLeaveMeasureAlone) {
    struct Case {
        MeasureWindow::SweepFields fields;
        const char* message;
    };
    const Case cases[] = {
        {{"100", "100", "10", "50"}, kStopNotAboveStart},
        {{"100", "10000", "0", "50"}, kStepIsZero},
        {{"100", "10000", "10", "0"}, kTimeNotPositive},
        {{"100", "10000", "0.1", "5"}, kTooManyPoints},
        {{"100", "10000", "1", "400"}, kSweepTooLong},
        {{"100", "1e400", "x", "50"}, nullptr},
    };
    for (const Case& c : cases) {
        messages.Clear();
        w.notices.clear();
        w.fields = c.fields;
        engine.Measure();
        // Told to the window with the reason, which shows them.
        if (c.message == nullptr) {
            // Two unreadable fields, then the refusal of what they read as.
            ASSERT_EQ(w.notices.size(), 3u);
            EXPECT_EQ(w.notices[0].reason, Notice::Reason::Unreadable);
            EXPECT_EQ(w.notices[0].text, "Stop Frequency [Hz] is too large: \"1e400\"");
            EXPECT_EQ(w.notices[1].reason, Notice::Reason::Unreadable);
            EXPECT_EQ(w.notices[2].reason, Notice::Reason::Refused);
            EXPECT_EQ(messages.Messages().size(), 3u);
            continue;
        }
        ASSERT_EQ(w.notices.size(), 1u) << c.message;
        EXPECT_EQ(w.notices[0], (Notice{Notice::Reason::Refused, c.message}));
        ASSERT_EQ(messages.Messages().size(), 1u) << c.message;
        EXPECT_EQ(messages.Messages()[0], c.message);
        EXPECT_EQ(w.measureHides, 0);
        EXPECT_EQ(s->PlayStream, 0u);
        EXPECT_EQ(s->WavImage.Size(), 0u);
        EXPECT_EQ(Count(), 0);
    }
}

TEST_F(SweepTest, ATonePlayingStillIsWaitedForBeforeTheImageIsRewritten) {
    s->CurrentFreq = 440.0;
    ASSERT_TRUE(MakeToneWav(*s, 1.0));
    StartPlayback(*s, 50);
    const uint32_t tone = s->PlayStream;
    apparatus->AdvanceMs(300);
    w.fields = {"1000", "1500", "10", "20"};
    engine.Measure();
    // The tone played to its end rather than under a rewritten image.
    EXPECT_EQ(audio::ChannelGetPosition(tone), 2u * 44100u);
    EXPECT_NE(s->PlayStream, tone);
    EXPECT_EQ(Count(), 50);
}

TEST_F(SweepTest, LevelsAboveOneShowSaturationUntilTheEnd) {
    auto known = std::make_unique<test::KnownSignalApparatus>();
    known->Feed(1, test::KnownSignalApparatus::Square(32767));
    Install(std::move(known));
    w.fft = false;
    w.fields = {"1000", "1200", "10", "20"};
    engine.Measure();
    ASSERT_EQ(Count(), 20);
    EXPECT_NEAR(Amp(1), 100.0 * 32767.0 / 16384.0, 1e-9);
    EXPECT_TRUE(w.saturationSeen);
    EXPECT_FALSE(w.saturation);  // hidden at the end
}

TEST_F(SweepTest, StereoWithRightChosenStoresTheRightChannel) {
    using Known = test::KnownSignalApparatus;
    auto known = std::make_unique<Known>();
    known->Feed(2, Known::Interleave(Known::Square(32767), Known::Square(8192)));
    Install(std::move(known), true);
    w.fft = false;
    w.fields = {"1000", "1200", "10", "20"};
    s->LeftChannel = false;
    engine.Measure();
    ASSERT_EQ(Count(), 20);
    for (int i = 1; i <= 20; ++i) EXPECT_NEAR(Amp(i), 100.0 * 8192.0 / 16384.0, 1e-9);
    EXPECT_FALSE(w.saturationSeen);
    s->LeftChannel = true;
    engine.Measure();
    EXPECT_NEAR(Amp(1), 100.0 * 32767.0 / 16384.0, 1e-9);
}

TEST_F(SweepTest, StereoOnTheApparatusRightIsTheLoopedBackDrive) {
    Install(std::make_unique<audio::VirtualApparatus>(Clock::Manual), true);
    s->LeftChannel = false;
    w.fields = {"1000", "3000", "20", "20"};
    engine.Measure();
    ASSERT_EQ(Count(), 100);
    // Half the drive of amplitude 4000 at volume 50, over seven bins of the Hann window.
    const double expected = 100.0 * 0.5 * 0.5 * 4000.0 / 32768.0 * std::sqrt(1.5);
    for (int i = 5; i <= 100; ++i) EXPECT_NEAR(Amp(i), expected, 0.05 * expected) << Freq(i);
}

TEST_F(SweepTest, ToneAtTheClickedFrequency) {
    bool disabledDuringTone = true, secondIgnored = false;
    int64_t samples = 0;
    w.onMessages = [&] {
        disabledDuringTone = disabledDuringTone && !w.measureEnabled;
        samples = s->SampleCount;
        if (w.messages == 3) secondIgnored = !engine.PlayTone(500.0);
    };
    EXPECT_TRUE(engine.PlayTone(440.0));
    EXPECT_EQ(s->CurrentFreq, 440.0);
    EXPECT_TRUE(secondIgnored);
    EXPECT_TRUE(disabledDuringTone);
    EXPECT_TRUE(w.measureEnabled);
    EXPECT_EQ(samples, 441000);
    EXPECT_EQ(s->WavImage.Size(), 44u + 2u * 441000u);
    EXPECT_EQ(w.messages, 200);  // 10 s in 50 ms rounds
    EXPECT_FALSE(Playing(*s));
    // The image holds a 440 Hz sine of amplitude 4000.
    const auto* pcm = reinterpret_cast<const int16_t*>(s->WavImage.Data() + 44);
    int crossings = 0;
    for (int i = 1; i < 44100; ++i) crossings += (pcm[i - 1] < 0) != (pcm[i] < 0);
    EXPECT_NEAR(crossings, 880, 2);
    EXPECT_EQ(*std::max_element(pcm, pcm + 44100), 4000);
}

TEST_F(SweepTest, AClickDuringASweepIsIgnored) {
    bool ignored = false;
    w.fields = {"1000", "1200", "10", "20"};
    w.onMessages = [&] {
        if (w.messages == 5) ignored = !engine.PlayTone(300.0);
    };
    engine.Measure();
    EXPECT_TRUE(ignored);
    EXPECT_EQ(s->CurrentFreq, 1210.0);
}

// The last steps of a calibrated sweep are read after the image has played out: nothing plays
// then, but the sweep still runs, and a click on the plot must not start a tone inside it.
TEST_F(SweepTest, NoToneStartsInTheCalibratedTailOfASweep) {
    apparatus->SetLatency(4000);
    s->Latency = LatencyCalibration{true, 4000.0, 60.0, 0.0};
    w.fields = {"1000", "1200", "10", "5"};
    bool inTail = false, ignored = false;
    w.onMessages = [&] {
        if (inTail || Playing(*s)) return;
        inTail = true;
        ignored = !engine.PlayTone(300.0);
    };
    engine.Measure();
    EXPECT_TRUE(inTail);
    EXPECT_TRUE(ignored);
    EXPECT_EQ(Count(), 20);
    EXPECT_EQ(s->Running, Operation::None);
    EXPECT_TRUE(engine.PlayTone(300.0));  // afterwards it plays
}

// Neither operation starts inside the other: "Measure" during a tone, a tone during a sweep.
TEST_F(SweepTest, ASweepDoesNotStartInsideATone) {
    bool measured = false;
    w.onMessages = [&] {
        if (w.messages != 3) return;
        EXPECT_EQ(s->Running, Operation::Tone);
        engine.Measure();
        measured = true;
    };
    EXPECT_TRUE(engine.PlayTone(440.0));
    EXPECT_TRUE(measured);
    EXPECT_EQ(w.measureHides, 0);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(s->Running, Operation::None);
}

// A playback that stops moving ends the sweep with its message; the lag indicator that the
// step before lit goes out with it.
TEST_F(SweepTest, AStalledPlaybackEndsTheSweepWithTheLagIndicatorOut) {
    w.fields = {"1000", "2000", "10", "20"};
    std::optional<platform::ContextScope> frozen;
    w.onMessages = [&] {
        if (w.messages != 5) return;
        apparatus->AdvanceMs(500);  // the window was slow: the playback ran past the target
        // and now it stands still
        frozen.emplace([](platform::Context& c) { c.clock = [](int64_t) {}; });
    };
    engine.Measure();
    frozen.reset();
    EXPECT_EQ(w.lagShows, 0);  // being late costs nothing
    EXPECT_FALSE(w.lag);
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], kPlaybackStalled);
    EXPECT_EQ(w.notices, (std::vector<Notice>{{Notice::Reason::OutputEnded, kPlaybackStalled}}));
    EXPECT_TRUE(w.measureShown);
}

// A sweep that falls so far behind in its last steps that the chirp runs out before them still
// reads them all from the recording, without a message.
TEST_F(SweepTest, FallingBehindAtTheVeryEndKeepsEveryPointWithoutAMessage) {
    w.fields = {"1000", "2000", "10", "20"};
    w.onMessages = [&] {
        if (w.messages == 99) apparatus->AdvanceMs(300);  // a slow window near the end
    };
    engine.Measure();
    EXPECT_TRUE(messages.Messages().empty()) << messages.Messages()[0];
    ASSERT_EQ(Count(), 100);
    EXPECT_EQ(Freq(100), 2000.0);
    EXPECT_GT(Amp(100), 0.0);
    EXPECT_TRUE(w.measureShown);
    EXPECT_FALSE(w.lag);
}

TEST_F(SweepTest, RefusedToneEnablesMeasureAgain) {
    s->StartFreq = 0.0;
    s->StopFreq = 10000.0;
    s->StepFreq = 0.1;  // too many points for the stored parameters
    EXPECT_TRUE(engine.PlayTone(440.0));
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], kTooManyPoints);
    EXPECT_TRUE(w.measureEnabled);
    EXPECT_EQ(s->CurrentFreq, 440.0);
    EXPECT_EQ(s->PlayStream, 0u);
}

}  // namespace
}  // namespace sonarix
