// platform::Sleep and its handler.
#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace platform {
namespace {
std::function<void(int)>& Handler() {
    static std::function<void(int)> handler;
    return handler;
}
int& Installed() {
    static int id = 0;
    return id;
}
}  // namespace

void Sleep(int ms) {
    if (Handler()) {
        Handler()(ms);
    } else if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

int SetSleepHandler(std::function<void(int ms)> handler) {
    Handler() = std::move(handler);
    return ++Installed();
}

void RemoveSleepHandler(int id) {
    if (id == Installed()) Handler() = {};
}

}  // namespace platform
