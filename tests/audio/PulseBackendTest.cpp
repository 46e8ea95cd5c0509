// The libpulse backend against a real (private) sound server with a null sink, recording the
// sink's monitor. Run under scripts/with-sound-server.
#include <gtest/gtest.h>
#include <pulse/def.h>
#include <pulse/volume.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/PulseBackend.h"
#include "tests/audio/AudioTestSignals.h"

namespace audio {
namespace {

using Clock = std::chrono::steady_clock;

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class PulseBackendTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under scripts/with-sound-server";
        ASSERT_TRUE(b.Init(-1, 44100, 0));
        ASSERT_TRUE(b.RecordInit(-1));
    }

    Handle Play(const std::vector<uint8_t>& img, int volume) {
        Handle h = b.StreamCreateFile(true, img.data(), 0, img.size(), 0);
        EXPECT_NE(h, 0u);
        EXPECT_TRUE(b.ChannelSetAttributes(h, 44100, volume, -101));
        EXPECT_TRUE(b.ChannelPlay(h, true));
        return h;
    }

    double Fft7(Handle rec, double f, int stride = 1, int offset = 0) {
        std::vector<float> fft(2048, 0.0f);
        b.ChannelGetData(rec, fft.data(), kDataFft1024 | kDataFftIndividual);
        return test::SevenBinLevel(fft.data(), f, stride, offset);
    }

    double MeanAbs(Handle rec) {
        std::vector<int16_t> s(1024);
        b.ChannelGetData(rec, s.data(), 2048);
        double sum = 0;
        for (int16_t v : s) sum += std::abs(static_cast<double>(v));
        return sum / 1024.0;
    }

    PulseBackend b;
};

TEST_F(PulseBackendTest, ToneLevelThroughTheMonitor) {
    Handle rec = b.RecordStart(44100, 1, 0, nullptr, nullptr);
    ASSERT_NE(rec, 0u);
    auto img = test::SineImage(1000.0, 3.0);
    Handle h = Play(img, 100);
    SleepMs(700);
    // Amplitude 4000 of full scale 32768; seven Hann bins carry sqrt(1.5) of it: about 0.150.
    const double expected = test::IdealSevenBinLevel(1000.0, 4000.0 / 32768.0);
    EXPECT_NEAR(Fft7(rec, 1000.0), expected, 0.03 * expected);
    EXPECT_NEAR(MeanAbs(rec), 4000.0 * 2.0 / M_PI, 0.03 * 4000.0 * 2.0 / M_PI);
    // Volume 50 halves it, at once.
    ASSERT_TRUE(b.ChannelSetAttributes(h, 44100, 50, -101));
    SleepMs(400);
    EXPECT_NEAR(Fft7(rec, 1000.0), expected / 2, 0.03 * expected);
    EXPECT_NEAR(MeanAbs(rec), 4000.0 / M_PI, 0.03 * 4000.0 / M_PI);
    b.ChannelStop(h);
}

TEST_F(PulseBackendTest, PositionRunsAt88200BytesPerSecond) {
    auto img = test::SineImage(500.0, 5.0);
    Handle h = Play(img, 30);
    SleepMs(300);
    const uint64_t p0 = b.ChannelGetPosition(h);
    const auto t0 = Clock::now();
    SleepMs(1500);
    const uint64_t p1 = b.ChannelGetPosition(h);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_EQ(p0 % 2, 0u);
    EXPECT_NEAR((p1 - p0) / seconds, 88200.0, 8820.0);
    // Back to an earlier place: the position follows.
    ASSERT_TRUE(b.ChannelSetPosition(h, 20000));
    const uint64_t back = b.ChannelGetPosition(h);
    EXPECT_LT(back, p1);
    EXPECT_GE(back, 20000u);
    SleepMs(500);
    const uint64_t later = b.ChannelGetPosition(h);
    EXPECT_NEAR(static_cast<double>(later - back), 44100.0, 8820.0);
    // Stop: inactive at once.
    EXPECT_EQ(b.ChannelIsActive(h), 1u);
    ASSERT_TRUE(b.ChannelStop(h));
    EXPECT_EQ(b.ChannelIsActive(h), 0u);
}

TEST_F(PulseBackendTest, ToneEndsByItself) {
    auto img = test::SineImage(700.0, 1.0);
    const auto asked = Clock::now();
    Handle h = Play(img, 30);
    // Timed from the moment the tone began to play, as the position first tells it: making
    // and connecting the stream (several times slower in a sanitizer build) does not count.
    std::optional<Clock::time_point> start;
    while (b.ChannelIsActive(h) != 0 && Clock::now() - asked < std::chrono::seconds(5)) {
        const uint64_t pos = b.ChannelGetPosition(h);
        if (!start && pos > 0 && pos != kPositionFailed) {
            start =
                Clock::now() - std::chrono::microseconds(static_cast<int64_t>(pos * 1e6 / 88200));
        }
        SleepMs(5);
    }
    ASSERT_TRUE(start.has_value()) << "the position never moved";
    const double took = std::chrono::duration<double>(Clock::now() - *start).count();
    EXPECT_EQ(b.ChannelIsActive(h), 0u);
    EXPECT_GT(took, 0.95);
    EXPECT_LT(took, 1.2);
    EXPECT_EQ(b.ChannelGetPosition(h), 88200u);
}

TEST_F(PulseBackendTest, StereoRecordingInterleavesBothChannels) {
    Handle rec = b.RecordStart(44100, 2, 0, nullptr, nullptr);
    ASSERT_NE(rec, 0u);
    auto img = test::SineImage(1500.0, 2.0);
    Handle h = Play(img, 100);
    SleepMs(600);
    std::vector<int16_t> s(2048);
    EXPECT_EQ(b.ChannelGetData(rec, s.data(), 4096), 4096u);
    double left = 0, right = 0;
    for (int i = 0; i < 1024; ++i) {
        left += std::abs(static_cast<double>(s[2 * i]));
        right += std::abs(static_cast<double>(s[2 * i + 1]));
    }
    // The mono stream plays on both sides of the null sink.
    EXPECT_NEAR(left / 1024, 4000.0 * 2.0 / M_PI, 100.0);
    EXPECT_NEAR(right / 1024, 4000.0 * 2.0 / M_PI, 100.0);
    const double expected = test::IdealSevenBinLevel(1500.0, 4000.0 / 32768.0);
    EXPECT_NEAR(Fft7(rec, 1500.0, 2, 0), expected, 0.03 * expected);
    EXPECT_NEAR(Fft7(rec, 1500.0, 2, 1), expected, 0.03 * expected);
    b.ChannelStop(h);
}

struct Blocks {
    std::atomic<uint64_t> bytes{0};
};
bool CountBytes(Handle, const void*, uint32_t length, void* user) {
    static_cast<Blocks*>(user)->bytes += length;
    return true;
}

TEST_F(PulseBackendTest, RecordProcGetsEveryBlockAndStopEndsIt) {
    Blocks blocks;
    Handle rec = b.RecordStart(44100, 2, 0, &CountBytes, &blocks);
    ASSERT_NE(rec, 0u);
    SleepMs(1000);
    const uint64_t oneSecond = blocks.bytes.load();
    EXPECT_NEAR(static_cast<double>(oneSecond), 176400.0, 0.15 * 176400.0);
    ASSERT_TRUE(b.ChannelStop(rec));
    const uint64_t stopped = blocks.bytes.load();
    SleepMs(200);
    EXPECT_EQ(blocks.bytes.load(), stopped);
}

// Holds the main loop's thread (the recording callback runs on it with the lock held) once
// for `holdMs`: the server plays out what it has and runs dry, as when the system holds the
// program up.
struct Stall {
    std::atomic<int> holdMs{0};
};
bool HoldOnce(Handle /*handle*/, const void* /*buffer*/, uint32_t /*length*/, void* user) {
    if (const int ms = static_cast<Stall*>(user)->holdMs.exchange(0); ms > 0) SleepMs(ms);
    return true;
}

// A gap the server played within the image is counted, however close to the image's end it
// came, and no gap is counted where none was heard. Close to the end, the rest of the image
// is written on the server's request before its report that it ran dry comes in: what has
// been written then does not tell the gap from the end. The program is held at ten places
// moving towards the end; at least one gap comes within the last 60 ms of the image.
TEST_F(PulseBackendTest, AGapHeardIsCountedAlsoJustBeforeTheEnd) {
    Stall stall;
    Handle rec = b.RecordStart(44100, 1, 0, &HoldOnce, &stall);
    ASSERT_NE(rec, 0u);
    const auto img = test::SineImage(1000.0, 1.0);
    const int64_t count = 44100;
    bool nearEnd = false;
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int64_t holdBefore = 5200 - 400 * attempt;  // samples before the image's end
        const uint64_t first = b.RecordFrames();
        const uint64_t gaps = b.PlaybackGaps();
        Handle h = Play(img, 100);
        const auto asked = Clock::now();
        bool held = false;
        while (b.ChannelIsActive(h) != 0 && Clock::now() - asked < std::chrono::seconds(5)) {
            const uint64_t pos = b.ChannelGetPosition(h) / 2;
            if (!held && pos != kPositionFailed / 2 &&
                static_cast<int64_t>(pos) >= count - holdBefore) {
                stall.holdMs = 300;
                held = true;
            }
            SleepMs(1);
        }
        // The recording, once the whole sound and 200 ms of silence after it have come (the
        // hold kept the recording back as well).
        auto loud = [](int16_t v) { return std::abs(v) > 50; };
        std::vector<int16_t> heard;
        uint64_t lost = 0;
        for (const auto ended = Clock::now(); Clock::now() - ended < std::chrono::seconds(3);
             SleepMs(50)) {
            heard.resize(static_cast<size_t>(b.RecordFrames() - first));
            heard.resize(
                b.RecordCopy(first, heard.data(), static_cast<uint32_t>(heard.size()), 0, lost));
            const auto from = std::find_if(heard.begin(), heard.end(), loud);
            const auto to = std::find_if(heard.rbegin(), heard.rend(), loud).base();
            if (from < to && to - from >= count && heard.end() - to > 8820) break;
        }
        b.ChannelStop(h);
        ASSERT_EQ(lost, 0u);
        // The sound from its first sample to its last, and the longest silence within it.
        const auto begin = std::find_if(heard.begin(), heard.end(), loud);
        ASSERT_NE(begin, heard.end()) << "nothing was heard";
        const auto end = std::find_if(heard.rbegin(), heard.rend(), loud).base();
        int64_t silence = 0, longest = 0, longestEnds = 0;
        for (auto it = begin; it != end; ++it) {
            silence = loud(*it) ? 0 : silence + 1;
            if (silence > longest) {
                longest = silence;
                longestEnds = it - begin;
            }
        }
        // A 1 kHz sine at 4000 is within 50 for one sample at a time. A sound shorter than the
        // image lacks its end: silence where the image's last samples should have played.
        const bool inside = longest > 3;
        const bool gapHeard = inside || end - begin < count - 2;
        const int64_t gapAt = inside ? longestEnds + 1 - longest : end - begin;  // played before
        std::printf("held %lld samples before the end: %s%s, %lld samples heard\n",
                    static_cast<long long>(holdBefore), gapHeard ? "a gap after sample " : "no gap",
                    gapHeard ? std::to_string(gapAt).c_str() : "",
                    static_cast<long long>(end - begin - (inside ? longest : 0)));
        // A server that ran dry may run dry again as the program catches up (each time a gap).
        EXPECT_EQ(b.PlaybackGaps() > gaps, gapHeard) << "held " << holdBefore;
        if (gapHeard && gapAt > count - 2646) nearEnd = true;
    }
    EXPECT_TRUE(nearEnd) << "no gap came within the last 60 ms of the image";
    b.ChannelStop(rec);
}

TEST_F(PulseBackendTest, TheDefaultSourceIsOneInputWithItsVolumeAsLevel) {
    const char* name = b.RecordGetInputName(0);
    ASSERT_NE(name, nullptr);
    EXPECT_NE(std::string(name).find("Monitor"), std::string::npos) << name;
    EXPECT_EQ(b.RecordGetInputName(1), nullptr);
    EXPECT_TRUE(b.RecordSetInput(0, kInputLevel | 40));
    EXPECT_EQ(b.RecordGetInput(0), 40u);  // kind 0 and on: a source without ports
    EXPECT_TRUE(b.RecordSetInput(0, kInputLevel | 100));
    EXPECT_EQ(b.RecordGetInput(0), 100u);
    EXPECT_TRUE(b.RecordSetInput(0, kInputOff));
    EXPECT_TRUE(b.RecordSetInput(0, kInputOn));
    EXPECT_FALSE(b.RecordSetInput(1, kInputOn));
    EXPECT_EQ(b.RecordGetInput(1), kInputFailed);
}

TEST(PulseInputKinds, PortTypesMapOntoTheInputKinds) {
    EXPECT_EQ(InputKindOfPortType(PA_DEVICE_PORT_TYPE_MIC), 0x03000000u);
    EXPECT_EQ(InputKindOfPortType(PA_DEVICE_PORT_TYPE_LINE), 0x02000000u);
    EXPECT_EQ(InputKindOfPortType(PA_DEVICE_PORT_TYPE_SPDIF), 0x01000000u);
    EXPECT_EQ(InputKindOfPortType(PA_DEVICE_PORT_TYPE_HDMI), 0x01000000u);
    EXPECT_EQ(InputKindOfPortType(PA_DEVICE_PORT_TYPE_ANALOG), 0x0A000000u);
    EXPECT_EQ(InputKindOfPortType(PA_DEVICE_PORT_TYPE_AUX), 0x09000000u);
    EXPECT_EQ(InputKindOfPortType(PA_DEVICE_PORT_TYPE_PHONE), 0x06000000u);
    EXPECT_EQ(InputKindOfPortType(PA_DEVICE_PORT_TYPE_HANDSET), 0x06000000u);
    EXPECT_EQ(InputKindOfPortType(PA_DEVICE_PORT_TYPE_HEADSET), 0u);
    EXPECT_EQ(InputKindOfPortType(PA_DEVICE_PORT_TYPE_UNKNOWN), 0u);
}

TEST(PulseInputKinds, StateWordsOfASourceWithPorts) {
    PulseBackend::SourceSnapshot listed;
    auto port = [&](int i, const char* name, uint32_t type) {
        std::strcpy(listed.ports[i].name.data(), name);
        listed.ports[i].type = type;
    };
    listed.portCount = 3;
    port(0, "analog-input-mic", PA_DEVICE_PORT_TYPE_MIC);
    port(1, "analog-input-linein", PA_DEVICE_PORT_TYPE_LINE);
    port(2, "hdmi-in", PA_DEVICE_PORT_TYPE_HDMI);
    PulseBackend::SourceSnapshot now = listed;
    std::strcpy(now.activePort.data(), "analog-input-linein");
    now.volume = PA_VOLUME_NORM * 3 / 10;
    EXPECT_EQ(InputStateWord(listed, now, 0), 0x03000000u | kInputOff | 30u);
    EXPECT_EQ(InputStateWord(listed, now, 1), 0x02000000u | 30u);
    EXPECT_EQ(InputStateWord(listed, now, 2), 0x01000000u | kInputOff | 30u);
    EXPECT_EQ(InputStateWord(listed, now, 3), kInputFailed);
    EXPECT_EQ(InputStateWord(listed, now, -1), kInputFailed);
    now.volume = PA_VOLUME_NORM * 3 / 2;  // amplified beyond 100 %: capped
    EXPECT_EQ(InputStateWord(listed, now, 1), 0x02000000u | 100u);
    listed.portCount = 0;
    EXPECT_EQ(InputStateWord(listed, now, 0), 100u);
    EXPECT_EQ(InputStateWord(listed, now, 1), kInputFailed);
}

TEST(PulseWithoutServer, OutputInitialisationFails) {
    const char* old = std::getenv("PULSE_SERVER");
    const std::string saved = old ? old : "";
    setenv("PULSE_SERVER", "unix:/nonexistent/sonarix/native", 1);
    PulseBackend b;
    EXPECT_FALSE(b.Init(-1, 44100, 0));
    EXPECT_EQ(b.StreamCreateFile(true, nullptr, 0, 0, 0), 0u);
    EXPECT_FALSE(b.RecordInit(-1));
    EXPECT_EQ(b.ChannelIsActive(1), 0u);
    if (old) setenv("PULSE_SERVER", saved.c_str(), 1);
}

}  // namespace
}  // namespace audio
