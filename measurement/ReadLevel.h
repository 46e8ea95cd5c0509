// ReadLevel: the level of the microphone signal at one frequency, from seven FFT bins or from
// the mean absolute sample, for the chosen channel. Used by the sweep and the angle measurement.
#pragma once

#include <array>
#include <cstdint>

#include "measurement/Unit1.h"

namespace sonarix {

// The working buffers of one measurement: 2048 samples and 2048 spectrum values, zero-filled
// when made. A read that delivers less leaves the rest as it was.
struct LevelBuffers {
    std::array<int16_t, 2048> samples{};
    std::array<float, 2048> spectrum{};
};

// The FFT read's flag word: a 1024-point FFT, each channel on its own.
inline constexpr uint32_t kLevelFftFlags = 0x80000011;
// Bins k - 3 ... k + 3 around the nearest bin k.
inline constexpr int kLevelHalfBand = 3;

// The bin nearest to f: Round(f / 44100 * 1024), halves to even.
int LevelBin(double f);

// With fftFilter: the square root of the sum of the squared magnitudes of bins k - 3 ... k + 3
// (bins outside 0 ... 511 contribute nothing), summed in extended precision. Without: the sum
// of the absolute values of the latest 1024 frames / 2^24. In stereo the left channel if
// LeftChannel, else the right. Reads RecChannel into `buffers`. GUI thread.
double ReadLevel(const SharedState& s, double f, bool fftFilter, LevelBuffers& buffers);

}  // namespace sonarix
