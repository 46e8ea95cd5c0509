// The playback clock from a sound server's reports, and the clock the waits follow.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "platform/Clock.h"
#include "platform/audio/StreamClock.h"

namespace audio {
namespace {

// A server like PipeWire: it takes the stream's samples a block at a time, 941 samples every
// 21.33 ms, and at the start two blocks at once to fill its own buffer. Its reports count the
// blocks taken and come 0 ... 0.3 ms after the moment they describe; they are asked for every
// 5 ... 15 ms. The played position is a block behind what was taken.
TEST(StreamClock, FollowsABlockServerToAFewSamples) {
    constexpr double kBlock = 941.0, kCycleUs = 1e6 * 941.0 / 44100.0;
    auto taken = [&](double us) { return (std::floor(us / kCycleUs) + 2.0) * kBlock; };
    auto played = [&](double us) { return us * 44.1e-3 + kBlock; };  // the truth, to a constant
    StreamClock clock(44100.0);
    EXPECT_FALSE(clock.Known());
    uint32_t spread = 7;
    double worst = 0.0, sum = 0.0;
    int n = 0;
    for (double us = 0.0; us < 2e6;) {
        spread = spread * 1103515245u + 12345u;
        const double asked = us;
        const double late = 300.0 * ((spread >> 16) % 100) / 100.0;
        clock.Report(static_cast<int64_t>(asked + late), taken(asked));
        us += 5000.0 + 10000.0 * ((spread >> 8) % 100) / 100.0;
        // Once the start is 100 ms back, the clock is the truth less a constant (the block
        // the reports cannot see): on average within a twentieth of a block, at worst (the
        // rare 400 ms in which no report came soon after a block) within 0.15 of one. An
        // average of the reports would be half a block off.
        if (asked > 500000.0) {
            const auto now = static_cast<int64_t>(us);
            const double error = clock.At(now) - (played(static_cast<double>(now)) + kBlock);
            worst = std::max(worst, std::abs(error));
            sum += std::abs(error);
            ++n;
        }
    }
    EXPECT_TRUE(clock.Known());
    EXPECT_LT(sum / n, 0.05 * kBlock) << "samples";
    EXPECT_LT(worst, 0.15 * kBlock) << "samples";
    // The start's double block would have put it a block ahead for 400 ms.
    clock.Reset();
    clock.Report(0, 2 * kBlock);
    clock.Report(50000, 2 * kBlock);
    clock.Report(150000, kBlock + 150000 * 44.1e-3);
    EXPECT_NEAR(clock.At(150000), kBlock + 150000 * 44.1e-3, 1.0);
}

TEST(WaitClock, FollowsAManualClockWhereOneIsInstalled) {
    const int64_t before = platform::Microseconds();
    const int id = platform::SetSleepHandler([](int64_t) {});
    const int64_t start = platform::Microseconds();
    platform::Sleep(5);
    platform::SleepMicroseconds(250);
    platform::SleepMicroseconds(-40);  // a wait already over moves nothing
    EXPECT_EQ(platform::Microseconds() - start, 5250);
    platform::RemoveSleepHandler(id);
    EXPECT_GE(platform::Microseconds(), before);
}

}  // namespace
}  // namespace audio
