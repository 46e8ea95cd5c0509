// The playback clock from a sound server's reports, and the clock the waits follow.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/Messages.h"
#include "platform/Clock.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/StreamClock.h"
#include "platform/audio/VirtualApparatus.h"

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
    int64_t received = 0;
    {
        const platform::ContextScope manual(
            [&](platform::Context& c) { c.clock = [&](int64_t us) { received += us; }; });
        EXPECT_TRUE(platform::ManualClock());
        const int64_t start = platform::Microseconds();
        platform::Sleep(5);
        platform::SleepMicroseconds(250);
        platform::SleepMicroseconds(-40);  // a wait already over moves nothing
        EXPECT_EQ(platform::Microseconds() - start, 5250);
        EXPECT_EQ(received, 5250 - 40);
    }
    EXPECT_FALSE(platform::ManualClock());  // the scope's end puts real time back
    EXPECT_GE(platform::Microseconds(), before);
}

// A scope changes what it names and keeps the rest; the apparatus brings its manual clock and
// takes it along when its scope ends, even when that scope ends before one begun after it.
TEST(ContextScope, NestsInheritsAndEndsInAnyOrder) {
    std::vector<std::string> told;
    const platform::ContextScope recorder([&](platform::Context& c) {
        c.tell = [&](const std::string& text) { told.push_back(text); };
    });
    EXPECT_FALSE(Init(-1, 44100, 0, nullptr, nullptr)) << "no backend yet";
    auto apparatus = std::make_optional<platform::ContextScope>(
        std::make_unique<VirtualApparatus>(VirtualApparatus::Clock::Manual));
    auto* a = static_cast<VirtualApparatus*>(CurrentBackend());
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(platform::ManualClock());
    const uint64_t t0 = a->SampleTime();
    platform::Sleep(100);
    EXPECT_EQ(a->SampleTime() - t0, 4410u) << "the wait went to the apparatus";
    sonarix::ShowMessage("kept");  // the recorder begun before the apparatus still hears
    std::optional<platform::ContextScope> fault(
        std::in_place, [](platform::Context& c) { c.writeFault = [](size_t) { return 28; }; });
    EXPECT_EQ(CurrentBackend(), a) << "the inner scope keeps the backend";
    apparatus.reset();  // out of order: the fault's scope still holds the apparatus
    EXPECT_EQ(CurrentBackend(), a);
    platform::Sleep(10);
    EXPECT_EQ(a->SampleTime() - t0, 4851u);
    EXPECT_TRUE(platform::CurrentContext().writeFault);
    fault.reset();
    EXPECT_EQ(CurrentBackend(), nullptr);
    EXPECT_FALSE(platform::ManualClock());
    EXPECT_FALSE(platform::CurrentContext().writeFault);
    EXPECT_TRUE(platform::CurrentContext().tell);
    EXPECT_EQ(told, std::vector<std::string>{"kept"});
}

}  // namespace
}  // namespace audio
