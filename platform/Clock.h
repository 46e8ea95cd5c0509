// platform::Sleep, the one wait of the program, which the virtual apparatus can take over.
#pragma once

#include <cstdint>

namespace platform {

// Waits ms milliseconds; with a manual clock in the context (the virtual apparatus's) the clock
// receives the wait instead and advances the simulated time at once. GUI thread only.
void Sleep(int ms);
// The same to the microsecond, for waits that end at a computed moment: in real time it ends
// within microseconds of it (the last 0.3 ms are waited out yielding the processor).
void SleepMicroseconds(int64_t us);

// The time these waits follow, in microseconds: the steady clock, or under a manual clock the
// time handed to manual clocks so far (which moves only when something waits).
int64_t Microseconds();
// True while a manual clock stands in for the waits: time passes only when something waits.
bool ManualClock();

}  // namespace platform
