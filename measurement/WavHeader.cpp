// The WAV header.
#include "measurement/WavHeader.h"

#include <cstring>

namespace sonarix {
namespace {
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
}  // namespace

void WavHeader::SetSampleCount(int64_t n) {
    DataLength = static_cast<uint32_t>(2 * n);
    RiffLength = static_cast<uint32_t>(2 * n + 36);
}

void WavHeader::WriteTo(uint8_t* out) const {
    std::memcpy(out, "RIFF", 4);
    Put32(out + 4, RiffLength);
    std::memcpy(out + 8, "WAVE", 4);
    std::memcpy(out + 12, "fmt ", 4);
    Put32(out + 16, FormatLength);
    Put16(out + 20, Format);
    Put16(out + 22, Channels);
    Put32(out + 24, SampleRate);
    Put32(out + 28, ByteRate);
    Put16(out + 32, BlockAlign);
    Put16(out + 34, BitsPerSample);
    std::memcpy(out + 36, "data", 4);
    Put32(out + 40, DataLength);
}

}  // namespace sonarix
