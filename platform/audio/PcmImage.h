// Reading the 44-byte WAV header of a test-signal image in memory.
#pragma once

#include <cstdint>

namespace audio {

// The samples of a 16-bit mono 44100 Hz PCM image; samples == nullptr if the image is not one.
struct PcmImage {
    const int16_t* samples = nullptr;
    uint64_t count = 0;
};

// Checks the RIFF/WAVE header of the length bytes at data and finds its sample data. The
// samples are read in place: the caller keeps the memory alive while they are played.
PcmImage ParsePcmImage(const void* data, uint64_t length);

}  // namespace audio
