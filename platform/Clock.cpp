// platform::Sleep and the clock it follows.
#include "platform/Clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/Context.h"

namespace platform {
namespace {
// The time handed to manual clocks, summed over all of them: it only grows, so differences
// stay right when one clock gives way to another.
int64_t g_handed = 0;

bool Hand(int64_t us) {
    const std::function<void(int64_t)>& clock = CurrentContext().clock;
    if (!clock) return false;
    g_handed += std::max<int64_t>(us, 0);
    clock(us);
    return true;
}
}  // namespace

int64_t Microseconds() {
    if (ManualClock()) return g_handed;
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Sleep(int ms) {
    if (!Hand(int64_t{ms} * 1000) && ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

void SleepMicroseconds(int64_t us) {
    if (Hand(us) || us <= 0) return;
    // The system's sleep ends up to a few hundred microseconds late: it sleeps to shortly
    // before the moment, and the rest is waited out giving the processor away.
    using Clock = std::chrono::steady_clock;
    constexpr int64_t kYieldUs = 300;
    const Clock::time_point until = Clock::now() + std::chrono::microseconds(us);
    if (us > kYieldUs) std::this_thread::sleep_for(std::chrono::microseconds(us - kYieldUs));
    while (Clock::now() < until) std::this_thread::yield();
}

bool ManualClock() { return static_cast<bool>(CurrentContext().clock); }

}  // namespace platform
