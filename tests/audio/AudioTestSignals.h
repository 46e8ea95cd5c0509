// Test helpers for the audio backends: a WAV image of a sine, and the 7-bin FFT level.
#pragma once

#include <cstdint>
#include <vector>

namespace audio::test {

// A 16-bit mono 44100 Hz WAV image of a sine, built independently of the program's synthesis.
std::vector<uint8_t> SineImage(double f, double seconds, double amplitude = 4000.0);

// sqrt of the sum of squares of the bins k - 3 ... k + 3 around f (k the nearest bin).
double SevenBinLevel(const float* fft, double f, int stride = 1, int offset = 0);

// The same for an ideal sine of amplitude a (full scale 1.0), with a direct Hann-windowed DFT.
double IdealSevenBinLevel(double f, double a);

}  // namespace audio::test
