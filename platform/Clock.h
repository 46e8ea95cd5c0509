// platform::Sleep, the one wait of the program, which the virtual apparatus can take over.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// Waits ms milliseconds; with a handler installed (the manual clock of the virtual apparatus)
// the handler runs instead and advances the simulated time at once. GUI thread only.
void Sleep(int ms);
// The same to the microsecond, for waits that end at a computed moment: in real time it ends
// within microseconds of it (the last 0.3 ms are waited out yielding the processor).
void SleepMicroseconds(int64_t us);

// The time these waits follow, in microseconds: the steady clock, or with a handler installed
// the time handed to handlers so far (the manual clock's, which moves only when it is told).
int64_t Microseconds();
// True while a handler stands in for the waits (the virtual apparatus's manual clock): time
// passes only when something waits.
bool ManualClock();
// Installs or (with an empty function) removes the handler, which receives microseconds.
// Returns a number that names this installation, for RemoveSleepHandler.
int SetSleepHandler(std::function<void(int64_t us)> handler);
// Removes the handler installed under `id`, unless another has been installed since: a manual
// clock that goes away after its successor came must not take the successor's handler along.
void RemoveSleepHandler(int id);

}  // namespace platform
