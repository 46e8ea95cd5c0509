// platform::Sleep and its handler.
#include "platform/Clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace platform {
namespace {
std::function<void(int64_t)>& Handler() {
    static std::function<void(int64_t)> handler;
    return handler;
}
int& Installed() {
    static int id = 0;
    return id;
}
int64_t& Handed() {
    static int64_t us = 0;
    return us;
}
void Hand(int64_t us) {
    Handed() += std::max<int64_t>(us, 0);
    Handler()(us);
}
}  // namespace

int64_t Microseconds() {
    if (Handler()) return Handed();
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Sleep(int ms) {
    if (Handler()) {
        Hand(int64_t{ms} * 1000);
    } else if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

void SleepMicroseconds(int64_t us) {
    if (Handler()) {
        Hand(us);
        return;
    }
    if (us <= 0) return;
    // The system's sleep ends up to a few hundred microseconds late: it sleeps to shortly
    // before the moment, and the rest is waited out giving the processor away.
    using Clock = std::chrono::steady_clock;
    constexpr int64_t kYieldUs = 300;
    const Clock::time_point until = Clock::now() + std::chrono::microseconds(us);
    if (us > kYieldUs) std::this_thread::sleep_for(std::chrono::microseconds(us - kYieldUs));
    while (Clock::now() < until) std::this_thread::yield();
}

bool ManualClock() { return static_cast<bool>(Handler()); }

int SetSleepHandler(std::function<void(int64_t us)> handler) {
    Handler() = std::move(handler);
    return ++Installed();
}

void RemoveSleepHandler(int id) {
    if (id == Installed()) Handler() = {};
}

}  // namespace platform
