// The sweep with a calibrated latency and with the lock-in level, on the virtual apparatus's
// manual clock: where the resonances come out, the noise floor of both level methods, the
// phases, and the lock-in read against the played image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>
#include <optional>
#include <vector>

#include "measurement/Latency.h"
#include "measurement/Playback.h"
#include "measurement/ReadLevel.h"
#include "measurement/Sweep.h"
#include "measurement/TestSignals.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "tests/TestSupport.h"
#include "tests/measurement/ApparatusSetup.h"
#include "tests/measurement/FakeMeasureWindow.h"

namespace sonarix {
namespace {

class Calibrator : public CalibrationWindow {
public:
    void ProcessMessages() override {}
    int VolumePosition() const override { return 50; }
};

class CompensatedSweepTest : public testing::Test {
protected:
    using Clock = audio::VirtualApparatus::Clock;
    void TearDown() override { context.reset(); }
    void Install(physics::ResonatorModel model = physics::ResonatorModel::DefaultSphere(),
                 bool stereo = false, bool left = true) {
        test::InstallApparatus(context, *s, apparatus, std::move(model), stereo, left);
    }
    void Calibrate() {
        Calibrator c;
        ASSERT_TRUE(CalibrateLatency(*s, c).found);
    }
    int Count() const { return s->SpecCount[0]; }
    double Freq(int i) const { return s->SpecFreq[0][i]; }
    double Amp(int i) const { return s->SpecAmp[0][i]; }

    // The peaks of the model's steady response between lo and hi, each at least 40 Hz from the
    // next, with the offset of the measured maximum near each in steps of `step` Hz. `widths`
    // receives the width of the mode behind each peak.
    std::vector<double> PeakOffsets(double lo, double hi, double step,
                                    std::vector<double>* widths = nullptr) {
        auto steady = [&](double f) { return std::abs(apparatus->ExpectedResponse(f)); };
        std::vector<double> peaks;
        for (const physics::CavityMode& m : apparatus->Modes()) {
            double best = m.frequency;
            for (double f = m.frequency - 40.0; f <= m.frequency + 40.0; f += 0.25) {
                if (steady(f) > steady(best)) best = f;
            }
            if (best < lo + 100.0 || best > hi - 100.0) continue;
            if (!peaks.empty() && best - peaks.back() < 40.0) continue;
            peaks.push_back(best);
            if (widths != nullptr) widths->push_back(m.width);
        }
        std::vector<double> offsets;
        for (double p : peaks) {
            int best = 0;
            for (int i = 1; i <= Count(); ++i) {
                if (std::abs(Freq(i) - p) > 4.0 * step) continue;
                if (best == 0 || Amp(i) > Amp(best)) best = i;
            }
            offsets.push_back((Freq(best) - p) / step);
        }
        return offsets;
    }

    test::MessageRecorder messages;
    std::optional<platform::ContextScope> context;
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    test::FakeMeasureWindow w;
    SweepEngine engine{*s, w};
    audio::VirtualApparatus* apparatus = nullptr;
};

TEST_F(CompensatedSweepTest, ACalibratedLatencyPutsTheResonancesWhereTheModelHasThem) {
    Install();
    apparatus->SetLatency(1323);  // 30 ms
    w.fields = {"2000", "7000", "10", "20"};
    engine.Measure();
    ASSERT_EQ(Count(), 500);
    const std::vector<double> late = PeakOffsets(2000.0, 7000.0, 10.0);
    ASSERT_GE(late.size(), 5u);
    double lateMean = 0.0;
    for (double o : late) {
        // The level read at a step is the sound of 30 ms and more before: the chirp was lower
        // then, so each maximum is reported well above its resonance.
        EXPECT_GT(o, 1.0);
        lateMean += o / static_cast<double>(late.size());
    }

    Calibrate();
    EXPECT_NEAR(s->Latency.samples / 44.1, 30.0, 0.5);
    engine.Measure();
    ASSERT_EQ(Count(), 500);  // the last steps are measured after the image has ended
    EXPECT_GT(Amp(500), 0.0);
    std::vector<double> widths;
    const std::vector<double> onTime = PeakOffsets(2000.0, 7000.0, 10.0, &widths);
    ASSERT_EQ(onTime.size(), late.size());
    double onTimeMean = 0.0;
    for (size_t m = 0; m < onTime.size(); ++m) {
        const double o = onTime[m];
        // What remains is the cavity's own ring-up: a mode of width W answers 1 / (2 pi W)
        // late, which at 10 Hz per 20 ms is this many steps; the swept peak's slow tail and
        // the grid of steps move its largest point up to as much again and half a step.
        const double ringUp = 1.0 / (2.0 * std::numbers::pi * widths[m] * 0.020);
        EXPECT_GE(o, -0.5) << m;
        EXPECT_LE(o, 0.5 + 2.0 * ringUp) << m;
        // The calibration moved the reads by the latency and half the frames read, 41.6 ms.
        EXPECT_NEAR(late[m] - o, 41.6 / 20.0, 0.6) << m;
        std::printf(
            "  resonance %zu: uncalibrated %+.2f, calibrated %+.2f steps (ring-up "
            "%.2f)\n",
            m + 1, late[m], o, ringUp);
        onTimeMean += o / static_cast<double>(onTime.size());
    }
    std::printf(
        "maxima against the model, in steps: uncalibrated %+.2f, calibrated %+.2f "
        "(%zu resonances)\n",
        lateMean, onTimeMean, late.size());
    EXPECT_EQ(engine.LastStats().lagEvents, 0);
    EXPECT_TRUE(messages.Messages().empty());
}

// Where each read falls, in the apparatus's time: uncalibrated just after the playback passed
// the step's sample (and its header bytes); calibrated, the 1024 frames read are centred on
// the moment the step's frequency was played, within 0.3 ms, the last steps after the image's
// end included.
// Where each read's frames lay against the frame where the step's own sample arrived (the
// apparatus's truth): calibrated, centred on it; uncalibrated, ending where the playback had
// passed the target (23 samples past the step, or the image's end; and the latency later in
// the recording).
TEST_F(CompensatedSweepTest, ReadsFallWhereTheStepsSoundWasPlayedAtEveryStepTime) {
    Install();
    apparatus->SetLatency(1323);
    const double latency = apparatus->Latency();
    for (const bool calibrated : {false, true}) {
        if (calibrated) Calibrate();
        for (const char* ms : {"2", "5", "20"}) {
            w.fields = {"1000", "1500", "10", ms};
            engine.Measure();
            const std::vector<SweepStats::Read>& reads = engine.LastStats().reads;
            ASSERT_EQ(reads.size(), 50u) << ms;
            EXPECT_EQ(engine.LastStats().lagEvents, 0) << ms;
            for (size_t n = 0; n < reads.size(); ++n) {
                const auto arrival = apparatus->FrameOfSample(
                    s->PlayStream, static_cast<uint64_t>(std::llround(reads[n].sample)));
                ASSERT_TRUE(arrival.has_value());
                const double offset = *arrival - std::llround(reads[n].sample);
                if (calibrated) {
                    EXPECT_NEAR((reads[n].endFrame - 512.5 - offset - reads[n].sample) / 44.1, 0.0,
                                0.3)
                        << ms << " ms, step " << n;
                } else {
                    // The last target lies past the image's end, where the playback stops.
                    const double passed =
                        std::min(reads[n].sample + 23.0, static_cast<double>(s->SampleCount));
                    EXPECT_NEAR(reads[n].endFrame - (offset - latency), passed, 1.5)
                        << ms << " ms, step " << n;
                }
            }
        }
    }
}

TEST_F(CompensatedSweepTest, TheLockInFloorLiesFarBelowTheFilters) {
    // A cavity whose only resonance lies far above the sweep and no direct path: below 2 kHz
    // the microphone hears noise and a trace of the resonance's tail.
    Install(physics::ResonatorModel({{1, 1, 9000.0, 0.02, 30.0}}, 100.0, 0.0));
    apparatus->SetNoiseRms(0.01);
    w.fields = {"200", "2000", "10", "20"};
    auto floorDb = [&] {
        double sum = 0.0;
        for (int i = 1; i <= Count(); ++i) sum += Amp(i) * Amp(i);
        return 20.0 * std::log10(std::sqrt(sum / Count()) / 100.0);
    };
    engine.Measure();
    const double fft = floorDb();
    w.lockIn = true;
    engine.Measure();
    const double lockIn = floorDb();
    // Without a calibration the lock-in's reference is the tone at the step frequency; with
    // one (too little signal here to calibrate, so it is set) the played image.
    s->Latency = LatencyCalibration{true, 441.0, 60.0, 0.0};
    engine.Measure();
    const double locked = floorDb();
    std::printf(
        "noise floor: FFT filter %.1f dB, lock-in %.1f dB, calibrated lock-in %.1f dB "
        "(full scale 0 dB)\n",
        fft, lockIn, locked);
    EXPECT_LT(lockIn, fft - 6.0);
    EXPECT_LT(locked, fft - 6.0);
}

TEST_F(CompensatedSweepTest, LockInAgainstTheImageGivesLevelAndPhaseOfTheLoopback) {
    Install(physics::ResonatorModel::DefaultSphere(), true, false);  // right: the drive, halved
    apparatus->SetLatency(700);
    s->Latency = LatencyCalibration{true, 700.0, 60.0, 0.0, 0.0, 700.0};
    w.fields = {"1000", "3000", "20", "20"};
    w.lockIn = true;
    engine.Measure();
    ASSERT_EQ(Count(), 100);
    // 0.5 x 4000 / 32768 at volume 50, in the scale of the FFT level.
    const double expected = 100.0 * 0.5 * 0.5 * 4000.0 / 32768.0 * std::sqrt(1.5);
    for (int i = 2; i <= Count(); ++i) {
        EXPECT_NEAR(Amp(i) / expected, 1.0, 0.01) << Freq(i);
        // The last two steps too, read after the image has ended.
        EXPECT_NEAR(s->SpecPhase[0][i], 0.0, 3.0) << Freq(i);
    }
    // Off by 5 samples: the same level, the phase turned by the frequency's 5 samples.
    s->Latency.samples = 705.0;
    s->Latency.frameOffset = 705.0;
    engine.Measure();
    // (The last step's frames then reach 5 samples past the end of the sound.)
    for (int i = 2; i < Count(); ++i) {
        EXPECT_NEAR(Amp(i) / expected, 1.0, 0.01) << Freq(i);
        const double turn = std::remainder(360.0 * Freq(i) * 5.0 / 44100.0, 360.0);
        EXPECT_NEAR(std::remainder(s->SpecPhase[0][i] - turn, 360.0), 0.0, 12.0) << Freq(i);
    }
    ClearSpectrum(*s, 0);
    EXPECT_EQ(s->SpecPhase[0][50], 0.0);
}

}  // namespace
}  // namespace sonarix
