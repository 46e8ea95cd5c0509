// platform::Sleep and its handler.
#include "platform/Clock.h"

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
}  // namespace

void Sleep(int ms) { SleepMicroseconds(int64_t{ms} * 1000); }

void SleepMicroseconds(int64_t us) {
    if (Handler()) {
        Handler()(us);
    } else if (us > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(us));
    }
}

int SetSleepHandler(std::function<void(int64_t us)> handler) {
    Handler() = std::move(handler);
    return ++Installed();
}

void RemoveSleepHandler(int id) {
    if (id == Installed()) Handler() = {};
}

}  // namespace platform
