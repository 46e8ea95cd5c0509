// platform::Sleep, the one wait of the program, which the virtual apparatus can take over.
#pragma once

#include <functional>

namespace platform {

// Waits ms milliseconds; with a handler installed (the manual clock of the virtual apparatus)
// the handler runs instead and advances the simulated time at once. GUI thread only.
void Sleep(int ms);

// Installs or (with an empty function) removes the handler.
void SetSleepHandler(std::function<void(int ms)> handler);

}  // namespace platform
