// The one rate at which the program plays, records and simulates every signal, real or
// virtual: the sound card runs at it, the test signals are synthesised at it, and the virtual
// apparatus steps its resonator at it.
#pragma once

namespace physics {

inline constexpr int kSampleRate = 44100;             // frames a second
inline constexpr double kSampleRateHz = kSampleRate;  // the same, for arithmetic in Hz and s
inline constexpr double kSamplesPerMs = kSampleRateHz / 1000.0;

}  // namespace physics

namespace audio {
using physics::kSampleRate;
using physics::kSampleRateHz;
using physics::kSamplesPerMs;
}  // namespace audio

namespace sonarix {
using physics::kSampleRate;
using physics::kSampleRateHz;
using physics::kSamplesPerMs;
}  // namespace sonarix
