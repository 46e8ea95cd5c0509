// The virtual apparatus through the audio calls, on the manual clock.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "tests/audio/AudioTestSignals.h"

namespace audio {
namespace {

using test::IdealSevenBinLevel;
using test::SevenBinLevel;
using test::SineImage;

class VirtualApparatusTest : public testing::Test {
protected:
    void SetUp() override {
        auto backend = std::make_unique<VirtualApparatus>(VirtualApparatus::Clock::Manual);
        apparatus = backend.get();
        context.emplace(std::move(backend));
        ASSERT_TRUE(Init(-1, 44100, 0, nullptr, nullptr));
        ASSERT_TRUE(RecordInit(-1));
    }
    void TearDown() override { context.reset(); }

    Handle Play(const std::vector<uint8_t>& img, int volume) {
        Handle h = StreamCreateFile(true, img.data(), 0, img.size(), 0);
        EXPECT_NE(h, 0u);
        EXPECT_TRUE(ChannelSetAttributes(h, 44100, volume, -101));
        EXPECT_TRUE(ChannelPlay(h, true));
        return h;
    }

    double ToneLevel(double f, int volume) {
        Handle rec = RecordStart(44100, 1, 0, nullptr, nullptr);
        auto img = SineImage(f, 1.0);
        Handle h = Play(img, volume);
        platform::Sleep(500);
        std::vector<float> fft(2048, 0.0f);
        ChannelGetData(rec, fft.data(), kDataFft1024 | kDataFftIndividual);
        ChannelStop(h);  // before its image goes
        return SevenBinLevel(fft.data(), f);
    }

    VirtualApparatus* apparatus = nullptr;
    std::optional<platform::ContextScope> context;
};

TEST_F(VirtualApparatusTest, ToneLevelIsWhatTheModelPredicts) {
    for (double f : {3000.0, 1000.0, apparatus->Modes()[0].frequency}) {
        const double level = ToneLevel(f, 100);
        const double amplitude = 4000.0 / 32768.0 * std::abs(apparatus->ExpectedResponse(f));
        EXPECT_NEAR(level, IdealSevenBinLevel(f, amplitude), 0.03 * level + 1e-4) << f;
    }
}

TEST_F(VirtualApparatusTest, ResonanceStandsHighAboveTheValleys) {
    const double resonance = apparatus->Modes()[0].frequency;
    const double atResonance = ToneLevel(resonance, 50);
    const double between = ToneLevel(1500.0, 50);
    EXPECT_GT(atResonance, 10.0 * between);
    EXPECT_GT(atResonance, 0.05);
    EXPECT_LT(atResonance, 1.0);  // no saturation at the default volume
}

TEST_F(VirtualApparatusTest, VolumeScalesTheRecordingAtOnce) {
    Handle rec = RecordStart(44100, 1, 0, nullptr, nullptr);
    auto img = SineImage(2500.0, 2.0);
    Handle h = Play(img, 100);
    platform::Sleep(300);
    std::vector<float> fft(2048);
    ChannelGetData(rec, fft.data(), kDataFft1024);
    const double full = SevenBinLevel(fft.data(), 2500.0);
    ASSERT_TRUE(ChannelSetAttributes(h, 44100, 50, -101));
    platform::Sleep(300);
    ChannelGetData(rec, fft.data(), kDataFft1024);
    EXPECT_NEAR(SevenBinLevel(fft.data(), 2500.0), full / 2, full * 0.02);
}

TEST_F(VirtualApparatusTest, PositionActivityStopAndEnd) {
    auto img = SineImage(1000.0, 0.1);  // 4410 samples
    Handle h = Play(img, 50);
    EXPECT_EQ(ChannelGetPosition(h), 0u);
    apparatus->Advance(1000);
    EXPECT_EQ(ChannelGetPosition(h), 2000u);
    EXPECT_EQ(ChannelIsActive(h), 1u);
    EXPECT_TRUE(ChannelSetPosition(h, 800));
    EXPECT_EQ(ChannelGetPosition(h), 800u);
    apparatus->Advance(3000);
    EXPECT_EQ(ChannelGetPosition(h), 6800u);
    apparatus->Advance(4410);
    EXPECT_EQ(ChannelIsActive(h), 0u);  // played to its end
    EXPECT_EQ(ChannelGetPosition(h), 8820u);

    Handle h2 = Play(img, 50);
    apparatus->Advance(100);
    EXPECT_TRUE(ChannelStop(h2));
    EXPECT_EQ(ChannelIsActive(h2), 0u);
    apparatus->Advance(100);
    EXPECT_EQ(ChannelGetPosition(h2), 200u);
    EXPECT_TRUE(ChannelPlay(h2, true));
    EXPECT_EQ(ChannelGetPosition(h2), 0u);
}

TEST_F(VirtualApparatusTest, SleepAdvancesTheManualClockExactly) {
    const uint64_t t0 = apparatus->SampleTime();
    for (int i = 0; i < 10; ++i) platform::Sleep(2);
    EXPECT_EQ(apparatus->SampleTime() - t0, 882u);  // 20 ms, fractions carried over
    platform::Sleep(1000);
    EXPECT_EQ(apparatus->SampleTime() - t0, 882u + 44100u);
}

TEST_F(VirtualApparatusTest, StereoPutsLeftAtEvenAndRightAtOddPositions) {
    Handle rec = RecordStart(44100, 2, 0, nullptr, nullptr);
    auto img = SineImage(1500.0, 1.0);  // between resonances: the microphone hears little
    Play(img, 100);
    platform::Sleep(200);
    std::vector<int16_t> samples(2048);
    EXPECT_EQ(ChannelGetData(rec, samples.data(), 4096), 4096u);
    int leftPeak = 0, rightPeak = 0;
    for (int i = 0; i < 1024; ++i) {
        leftPeak = std::max(leftPeak, std::abs(int{samples[2 * i]}));
        rightPeak = std::max(rightPeak, std::abs(int{samples[2 * i + 1]}));
    }
    EXPECT_NEAR(rightPeak, 2000, 40);  // the looped-back drive at half level
    EXPECT_LT(leftPeak, rightPeak / 2);
    std::vector<float> fft(2048);
    ChannelGetData(rec, fft.data(), kDataFft1024 | kDataFftIndividual);
    EXPECT_NEAR(SevenBinLevel(fft.data(), 1500.0, 2, 1),
                IdealSevenBinLevel(1500.0, 2000.0 / 32768.0),
                0.02 * IdealSevenBinLevel(1500.0, 2000.0 / 32768.0));
    EXPECT_LT(SevenBinLevel(fft.data(), 1500.0, 2, 0), SevenBinLevel(fft.data(), 1500.0, 2, 1) / 2);
}

TEST_F(VirtualApparatusTest, LatencyDelaysTheSound) {
    Handle rec = RecordStart(44100, 2, 0, nullptr, nullptr);
    std::vector<int16_t> samples(2048);
    apparatus->Advance(2000);
    auto img = SineImage(1500.0, 1.0, 8000.0);
    Play(img, 100);
    apparatus->Advance(1000);
    ChannelGetData(rec, samples.data(), 4096);
    // The right channel stays quiet for the first 441 samples after the start.
    int firstLoud = -1;
    for (int i = 0; i < 1024; ++i) {
        if (std::abs(int{samples[2 * i + 1]}) > 200) {
            firstLoud = i;
            break;
        }
    }
    EXPECT_NEAR(firstLoud, 1024 - 1000 + VirtualApparatus::kLatencySamples, 3);
}

struct CallbackCount {
    int calls = 0;
    uint64_t bytes = 0;
};

bool CountingProc(Handle, const void*, uint32_t length, void* user) {
    auto* c = static_cast<CallbackCount*>(user);
    ++c->calls;
    c->bytes += length;
    return true;
}

TEST_F(VirtualApparatusTest, RecordProcReceivesEveryBlock) {
    CallbackCount count;
    Handle rec = RecordStart(44100, 2, 0, &CountingProc, &count);
    ASSERT_NE(rec, 0u);
    apparatus->Advance(44100);
    EXPECT_EQ(count.bytes, 44100u * 4);
    EXPECT_GE(count.calls, 100);
    EXPECT_TRUE(ChannelStop(rec));
    apparatus->Advance(4410);
    EXPECT_EQ(count.bytes, 44100u * 4);
    std::vector<int16_t> samples(1024);
    EXPECT_EQ(ChannelGetData(rec, samples.data(), 2048), kDataFailed);
}

// Block-wise delivery: the recording arrives in blocks of 922 ... 1126 frames, the callback with
// each; switched off, what was held back follows at once and no frame is lost.
TEST_F(VirtualApparatusTest, BlockDeliveryHandsTheRecordingOverInWanderingBlocks) {
    CallbackCount count;
    Handle rec = RecordStart(44100, 1, 0, &CountingProc, &count);
    ASSERT_NE(rec, 0u);
    apparatus->Advance(441);
    const uint64_t frames0 = RecordFrames(), time0 = apparatus->SampleTime();
    apparatus->SetBlockDelivery(true);
    uint64_t last = RecordFrames();
    std::set<uint64_t> sizes;
    for (int i = 0; i < 200; ++i) {
        apparatus->Advance(441);
        const uint64_t now = RecordFrames();
        if (now != last) {
            EXPECT_GE(now - last, 922u);
            EXPECT_LE(now - last, 1126u);
            sizes.insert(now - last);
        }
        last = now;
    }
    EXPECT_GE(sizes.size(), 5u);  // they wander
    EXPECT_EQ(count.bytes, 2 * (RecordFrames()));
    apparatus->SetBlockDelivery(false);
    EXPECT_EQ(RecordFrames() - frames0, apparatus->SampleTime() - time0);
    ChannelStop(rec);
}

TEST_F(VirtualApparatusTest, OneMicrophoneInputWithLevelAndSwitch) {
    EXPECT_STREQ(RecordGetInputName(0), "Virtual microphone");
    EXPECT_EQ(RecordGetInputName(1), nullptr);
    EXPECT_EQ(RecordGetInput(0), kInputTypeMic | 50u);
    EXPECT_EQ(RecordGetInput(1), kInputFailed);
    EXPECT_TRUE(RecordSetInput(0, kInputOff));
    EXPECT_EQ(RecordGetInput(0), kInputTypeMic | kInputOff | 50u);
    EXPECT_FALSE(RecordSetInput(1, kInputOff));
    EXPECT_TRUE(RecordSetInput(0, kInputOn));
    EXPECT_TRUE(RecordSetInput(0, kInputLevel | 30));
    EXPECT_EQ(RecordGetInput(0), kInputTypeMic | 30u);
    // The level is the microphone gain.
    const double f = apparatus->Modes()[0].frequency;
    const double at30 = ToneLevel(f, 50);
    RecordSetInput(0, kInputLevel | 60);
    EXPECT_NEAR(ToneLevel(f, 50), 2 * at30, 0.02 * at30);
    // Switched off, the recording is silent.
    RecordSetInput(0, kInputOff);
    EXPECT_LT(ToneLevel(f, 50), 1e-6);
}

TEST_F(VirtualApparatusTest, RefusesWhatIsNotAPlayableImage) {
    std::vector<uint8_t> junk(100, 0);
    EXPECT_EQ(StreamCreateFile(true, junk.data(), 0, junk.size(), 0), 0u);
    EXPECT_EQ(StreamCreateFile(true, nullptr, 0, 0, 0), 0u);
    auto img = SineImage(1000.0, 0.01);
    img[22] = 2;  // stereo
    EXPECT_EQ(StreamCreateFile(true, img.data(), 0, img.size(), 0), 0u);
    EXPECT_EQ(ChannelIsActive(12345), 0u);
    EXPECT_FALSE(ChannelPlay(12345, true));
    EXPECT_EQ(ChannelGetPosition(12345), kPositionFailed);
}

TEST_F(VirtualApparatusTest, RecordingRestartsInStereo) {
    Handle mono = RecordStart(44100, 1, 0, nullptr, nullptr);
    EXPECT_TRUE(ChannelStop(mono));
    EXPECT_TRUE(RecordFree());
    EXPECT_EQ(RecordStart(44100, 2, 0, nullptr, nullptr), 0u);  // device released
    ASSERT_TRUE(RecordInit(-1));
    Handle stereo = RecordStart(44100, 2, 0, nullptr, nullptr);
    ASSERT_NE(stereo, 0u);
    EXPECT_NE(stereo, mono);
    apparatus->Advance(2048);
    std::vector<int16_t> samples(2048);
    EXPECT_EQ(ChannelGetData(stereo, samples.data(), 4096), 4096u);
    EXPECT_EQ(ChannelGetData(mono, samples.data(), 4096), kDataFailed);
}

TEST(VirtualApparatusRealTime, TimeRunsWithTheClock) {
    VirtualApparatus a(VirtualApparatus::Clock::RealTime);
    const uint64_t t0 = a.SampleTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint64_t elapsed = a.SampleTime() - t0;
    EXPECT_GT(elapsed, 4410u);   // at least 100 ms
    EXPECT_LT(elapsed, 44100u);  // less than 1 s
}

// However seldom its clock thread wakes, a position asked for is the present's: no earlier than
// the time before the question, no later than the time after it (load cannot change that).
TEST(VirtualApparatusRealTime, APositionIsThePresentToTheSample) {
    using Clock = std::chrono::steady_clock;
    const std::vector<uint8_t> image = test::SineImage(1000.0, 10.0);  // outlives the apparatus
    const auto created = Clock::now();
    VirtualApparatus a(VirtualApparatus::Clock::RealTime);
    ASSERT_TRUE(a.Init(-1, 44100, 0));
    const Handle h = a.StreamCreateFile(true, image.data(), 0, image.size(), 0);
    const auto samplesSince = [&](Clock::time_point t) {
        return std::chrono::duration<double>(t - created).count() * 44100.0;
    };
    const double startBefore = samplesSince(Clock::now());
    ASSERT_TRUE(a.ChannelPlay(h, true));
    const double startAfter = samplesSince(Clock::now());
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        const double before = samplesSince(Clock::now());
        const double played = static_cast<double>(a.ChannelGetPosition(h)) / 2.0;
        const double after = samplesSince(Clock::now());
        EXPECT_GE(played, before - startAfter - 2.0) << i;
        EXPECT_LE(played, after - startBefore + 2.0) << i;
    }
}

}  // namespace
}  // namespace audio
