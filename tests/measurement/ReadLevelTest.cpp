// ReadLevel on known signals: both methods, both channels, and the bins at the edges.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <optional>
#include <vector>

#include "measurement/Playback.h"
#include "measurement/ReadLevel.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "tests/measurement/KnownSignalApparatus.h"

namespace sonarix {
namespace {

using Known = test::KnownSignalApparatus;

// A sine of the given amplitude (of full scale) on bin `bin` exactly, 1024 frames.
std::vector<int16_t> Tone(double bin, double amplitude) {
    std::vector<int16_t> v(1024);
    for (size_t j = 0; j < v.size(); ++j) {
        v[j] = static_cast<int16_t>(
            std::lround(amplitude * 32767.0 *
                        std::sin(2.0 * std::numbers::pi * bin * static_cast<double>(j) / 1024.0)));
    }
    return v;
}

class ReadLevelTest : public testing::Test {
protected:
    void Start(int channels, const std::vector<int16_t>& frames) {
        auto b = std::make_unique<Known>();
        known = b.get();
        context.emplace(std::move(b));
        ASSERT_TRUE(audio::Init(-1, 44100, 0, nullptr, nullptr));
        ASSERT_TRUE(audio::RecordInit(-1));
        s->StereoInput = channels == 2;
        StartRecording(*s);
        known->Feed(channels, frames);
    }
    void TearDown() override { context.reset(); }
    double BinFrequency(int k) const { return k * 44100.0 / 1024.0; }

    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    std::optional<platform::ContextScope> context;
    LevelBuffers buffers;
    Known* known = nullptr;
};

TEST_F(ReadLevelTest, NearestBinRoundsHalvesToEven) {
    EXPECT_EQ(LevelBin(110.0), 3);
    EXPECT_EQ(LevelBin(100.0), 2);
    EXPECT_EQ(LevelBin(10000.0), 232);
    EXPECT_EQ(LevelBin(2.5 * 44100.0 / 1024.0), 2);  // a half: to the even bin
    EXPECT_EQ(LevelBin(3.5 * 44100.0 / 1024.0), 4);
}

TEST_F(ReadLevelTest, FullScaleSquareWaveGivesTwoWithoutTheFilter) {
    Start(1, Known::Square(32767));
    EXPECT_DOUBLE_EQ(ReadLevel(*s, 1000.0, false, buffers), 32767.0 / 16384.0);
}

TEST_F(ReadLevelTest, ToneOnABinCentreGivesItsSevenBinMagnitude) {
    Start(1, Tone(100.0, 0.25));
    // The Hann window spreads the tone over its bin (0.25) and the two beside it (0.125 each).
    EXPECT_NEAR(ReadLevel(*s, BinFrequency(100), true, buffers), 0.25 * std::sqrt(1.5), 1e-4);
    // Three bins away the band holds the tone's bin and a neighbour, four away one neighbour,
    // five away nothing.
    EXPECT_NEAR(ReadLevel(*s, BinFrequency(103), true, buffers), 0.125 * std::sqrt(5.0), 1e-4);
    EXPECT_NEAR(ReadLevel(*s, BinFrequency(104), true, buffers), 0.125, 1e-4);
    EXPECT_NEAR(ReadLevel(*s, BinFrequency(105), true, buffers), 0.0, 1e-4);
    // The time-domain level of a sine: 2 / pi of its amplitude, / 16384.
    EXPECT_NEAR(ReadLevel(*s, 0.0, false, buffers),
                0.25 * 32767.0 * 2.0 / std::numbers::pi / 16384.0, 1e-3);
}

TEST_F(ReadLevelTest, BinsBelowZeroAndAbove511AddNothing) {
    // A tone on bin 0's neighbour: at 100 Hz (k = 2) the band runs from bin -1, which is not
    // there; the sum over bins 0 ... 5 is the whole level.
    Start(1, Tone(1.0, 0.5));
    ReadLevel(*s, 100.0, true, buffers);
    long double sum = 0.0L;
    for (int j = 0; j <= 5; ++j)
        sum += static_cast<long double>(buffers.spectrum[j]) * buffers.spectrum[j];
    EXPECT_EQ(ReadLevel(*s, 100.0, true, buffers), static_cast<double>(std::sqrt(sum)));
    EXPECT_GT(sum, 0.2L);
    // The top of the spectrum: bin 510's band ends at 511.
    known->Feed(1, Tone(510.0, 0.5));
    ReadLevel(*s, BinFrequency(510), true, buffers);
    sum = 0.0L;
    for (int j = 507; j <= 511; ++j)
        sum += static_cast<long double>(buffers.spectrum[j]) * buffers.spectrum[j];
    EXPECT_EQ(ReadLevel(*s, BinFrequency(510), true, buffers), static_cast<double>(std::sqrt(sum)));
    // Far beyond: nothing to read, nothing added.
    EXPECT_EQ(ReadLevel(*s, 30000.0, true, buffers), 0.0);
}

TEST_F(ReadLevelTest, StereoTakesTheChosenChannel) {
    Start(2, Known::Interleave(Tone(50.0, 0.5), Tone(50.0, 0.1)));
    s->LeftChannel = true;
    EXPECT_NEAR(ReadLevel(*s, BinFrequency(50), true, buffers), 0.5 * std::sqrt(1.5), 1e-3);
    s->LeftChannel = false;
    EXPECT_NEAR(ReadLevel(*s, BinFrequency(50), true, buffers), 0.1 * std::sqrt(1.5), 1e-3);
    known->Feed(2, Known::Interleave(Known::Square(16384), Known::Square(4096)));
    EXPECT_DOUBLE_EQ(ReadLevel(*s, 0.0, false, buffers), 0.25);
    s->LeftChannel = true;
    EXPECT_DOUBLE_EQ(ReadLevel(*s, 0.0, false, buffers), 1.0);
}

TEST_F(ReadLevelTest, WithoutRecordingTheBuffersKeepTheirZeros) {
    Start(1, Known::Square(32767));
    s->RecChannel = 0;
    EXPECT_EQ(ReadLevel(*s, 1000.0, true, buffers), 0.0);
    EXPECT_EQ(ReadLevel(*s, 1000.0, false, buffers), 0.0);
}

}  // namespace
}  // namespace sonarix

namespace sonarix {
namespace {

TEST_F(ReadLevelTest, LockInGivesTheFftLevelOfAPureTone) {
    Start(1, Tone(20.0, 0.3));
    for (const double bin : {20.0, 50.5, 100.25, 232.7, 400.1}) {
        known->Feed(1, Tone(bin, 0.3));
        const double f = bin * 44100.0 / 1024.0;
        const double fft = ReadLevel(*s, f, true, buffers);
        const double lockIn = ReadLockInLevel(*s, f, buffers).level;
        EXPECT_NEAR(lockIn / fft, 1.0, 0.01) << bin;
        EXPECT_NEAR(lockIn, 0.3 * std::sqrt(1.5), 0.003) << bin;
    }
    // Ten bins from the tone the lock-in sees less than 2 % of it; the FFT's band still
    // catches it two bins away.
    known->Feed(1, Tone(100.0, 0.3));
    EXPECT_LT(ReadLockInLevel(*s, 110.0 * 44100.0 / 1024.0, buffers).level, 0.02 * 0.3);
    EXPECT_GT(ReadLevel(*s, 102.0 * 44100.0 / 1024.0, true, buffers), 0.01);
}

TEST_F(ReadLevelTest, LockInTakesTheChosenChannelAndNeedsARecording) {
    Start(2, Known::Interleave(Tone(50.0, 0.5), Tone(50.0, 0.1)));
    s->LeftChannel = false;
    EXPECT_NEAR(ReadLockInLevel(*s, BinFrequency(50), buffers).level, 0.1 * std::sqrt(1.5), 1e-3);
    s->LeftChannel = true;
    EXPECT_NEAR(ReadLockInLevel(*s, BinFrequency(50), buffers).level, 0.5 * std::sqrt(1.5), 1e-3);
    s->RecChannel = 0;
    EXPECT_EQ(ReadLockInLevel(*s, BinFrequency(50), buffers).level, 0.0);
}

}  // namespace
}  // namespace sonarix
