// Playing the test signals and the recording restart, on the virtual apparatus.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "measurement/Playback.h"
#include "measurement/TestSignals.h"
#include "platform/Clock.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "tests/TestSupport.h"

namespace sonarix {
namespace {

class PlaybackTest : public testing::Test {
protected:
    void SetUp() override {
        auto backend =
            std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual);
        apparatus = backend.get();
        context.emplace(std::move(backend));
        ASSERT_TRUE(audio::Init(-1, 44100, 0, nullptr, nullptr));
        ASSERT_TRUE(audio::RecordInit(-1));
        StartRecording(*s);
        ASSERT_NE(s->RecChannel, 0u);
    }
    void TearDown() override { context.reset(); }

    double LevelAt(double f) {
        std::vector<float> fft(2048, 0.0f);
        audio::ChannelGetData(s->RecChannel, fft.data(), 0x80000011);
        const int k = static_cast<int>(std::nearbyint(f / 44100.0 * 1024.0));
        double sum = 0.0;
        for (int j = k - 3; j <= k + 3; ++j) sum += double{fft[j]} * fft[j];
        return std::sqrt(sum);
    }

    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    test::MessageRecorder messages;
    audio::VirtualApparatus* apparatus = nullptr;
    std::optional<platform::ContextScope> context;
};

TEST_F(PlaybackTest, ToneFromTheImageReachesTheRecording) {
    s->CurrentFreq = 1000.0;
    ASSERT_TRUE(MakeToneWav(*s, 1.0));
    EXPECT_EQ(s->OutVolume, 0);
    StartPlayback(*s, 100);
    EXPECT_EQ(s->OutVolume, 100);
    EXPECT_TRUE(Playing(*s));
    platform::Sleep(300);
    // Amplitude 4000 through the model's response at 1 kHz; 7 Hann bins carry sqrt(1.5).
    const double expected =
        4000.0 / 32768.0 * std::abs(apparatus->ExpectedResponse(1000.0)) * std::sqrt(1.5);
    EXPECT_NEAR(LevelAt(1000.0), expected, 0.05 * expected);
    platform::Sleep(800);
    EXPECT_FALSE(Playing(*s));  // the 1 s tone ended by itself
}

TEST_F(PlaybackTest, SweepPositionFollowsTheChirp) {
    ASSERT_TRUE(MakeSweepWav(*s, "100", "10000", "10", "50"));
    StartPlayback(*s, 50);
    apparatus->Advance(44100);
    EXPECT_EQ(audio::ChannelGetPosition(s->PlayStream), 88200u);
    EXPECT_TRUE(Playing(*s));
    // Halfway through, the chirp sounds at about 5050 Hz.
    apparatus->Advance(static_cast<uint64_t>(s->SampleCount / 2 - 44100));
    const double mid = LevelAt(5050.0);
    EXPECT_GT(mid, 5.0 * LevelAt(2000.0));
}

TEST_F(PlaybackTest, ChangeVolumeActsOnTheRunningPlayback) {
    s->CurrentFreq = 2500.0;
    ASSERT_TRUE(MakeToneWav(*s, 2.0));
    StartPlayback(*s, 80);
    platform::Sleep(300);
    const double loud = LevelAt(2500.0);
    ChangeVolume(*s, 20);
    EXPECT_EQ(s->OutVolume, 20);
    platform::Sleep(300);
    EXPECT_NEAR(LevelAt(2500.0), loud / 4, loud * 0.02);
}

TEST_F(PlaybackTest, ChangeVolumeWithoutStreamOnlyStoresTheVolume) {
    ChangeVolume(*s, 70);
    EXPECT_EQ(s->OutVolume, 70);
    EXPECT_FALSE(Playing(*s));
}

TEST_F(PlaybackTest, RecordProcAcceptsEverything) {
    EXPECT_TRUE(RecordProc(1, nullptr, 0, nullptr));
    int16_t block[4] = {1, 2, 3, 4};
    EXPECT_TRUE(RecordProc(0, block, sizeof block, block));
}

TEST_F(PlaybackTest, RestartInStereoOnTheRightChannel) {
    const uint32_t before = s->RecChannel;
    StopRecording(*s);
    std::string message;
    ASSERT_TRUE(RestartRecording(*s, true, false, message));
    EXPECT_TRUE(s->StereoInput);
    EXPECT_FALSE(s->LeftChannel);
    EXPECT_NE(s->RecChannel, before);
    EXPECT_EQ(message, "");
    apparatus->Advance(2048);
    std::vector<int16_t> samples(2048);
    EXPECT_EQ(audio::ChannelGetData(s->RecChannel, samples.data(), 4096), 4096u);
}

// A backend whose recording device can be refused at will.
class RefusingRecorder : public audio::VirtualApparatus {
public:
    RefusingRecorder() : VirtualApparatus(Clock::Manual) {}
    bool refuseInit = false;
    bool refuseStart = false;
    bool freed = false;
    bool RecordInit(int device) override {
        return !refuseInit && VirtualApparatus::RecordInit(device);
    }
    audio::Handle RecordStart(uint32_t f, uint32_t c, uint32_t fl, audio::RecordProc p,
                              void* u) override {
        return refuseStart ? 0 : VirtualApparatus::RecordStart(f, c, fl, p, u);
    }
    void Free() override {
        freed = true;
        VirtualApparatus::Free();
    }
};

TEST(RestartRecording, FailuresAreReported) {
    auto backend = std::make_unique<RefusingRecorder>();
    RefusingRecorder* b = backend.get();
    platform::ContextScope context(std::move(backend));
    audio::Init(-1, 44100, 0, nullptr, nullptr);
    auto s = std::make_unique<SharedState>();
    test::MessageRecorder messages;

    b->refuseStart = true;
    ASSERT_TRUE(audio::RecordInit(-1));
    std::string message;
    EXPECT_TRUE(RestartRecording(*s, false, true, message));
    EXPECT_EQ(s->RecChannel, 0u);
    EXPECT_EQ(message, "Cannot start recording!");
    EXPECT_TRUE(messages.Messages().empty()) << "for the caller to show";
    // Without a recording, reads deliver nothing.
    std::vector<int16_t> samples(1024, 5);
    audio::ChannelGetData(s->RecChannel, samples.data(), 2048);
    EXPECT_EQ(samples[0], 5);

    b->refuseInit = true;
    EXPECT_FALSE(RestartRecording(*s, true, true, message));
    EXPECT_EQ(message, "Cannot start default recording device");
    EXPECT_TRUE(b->freed);
}

}  // namespace
}  // namespace sonarix
