// The 44-byte header of a 16-bit mono 44100 Hz WAV image.
#pragma once

#include <cstdint>

#include "physics/SampleRate.h"

namespace sonarix {

struct WavHeader {
    uint32_t RiffLength = 36;  // 2 N + 36
    uint32_t FormatLength = 16;
    uint16_t Format = 1;  // PCM
    uint16_t Channels = 1;
    uint32_t SampleRate = kSampleRate;
    uint32_t ByteRate = 88200;
    uint16_t BlockAlign = 2;
    uint16_t BitsPerSample = 16;
    uint32_t DataLength = 0;  // 2 N

    static constexpr int kSize = 44;

    // Sets the length fields for n samples.
    void SetSampleCount(int64_t n);
    // Writes the 44 bytes, little-endian.
    void WriteTo(uint8_t* out) const;
};

}  // namespace sonarix
