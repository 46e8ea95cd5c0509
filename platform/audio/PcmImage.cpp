// Reading the WAV header of a test-signal image.
#include "platform/audio/PcmImage.h"

#include <cstring>

#include "physics/SampleRate.h"

namespace audio {
namespace {
uint32_t U32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
}  // namespace

PcmImage ParsePcmImage(const void* data, uint64_t length) {
    PcmImage image;
    const auto* p = static_cast<const uint8_t*>(data);
    if (p == nullptr || length < 44) return image;
    if (std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 8, "WAVE", 4) != 0 ||
        std::memcmp(p + 12, "fmt ", 4) != 0 || std::memcmp(p + 36, "data", 4) != 0) {
        return image;
    }
    if (U16(p + 20) != 1 || U16(p + 22) != 1 || U32(p + 24) != kSampleRate || U16(p + 34) != 16) {
        return image;
    }
    // 16-bit samples must be aligned for in-place reading.
    if (reinterpret_cast<uintptr_t>(p + 44) % alignof(int16_t) != 0) return image;
    uint64_t bytes = U32(p + 40);
    if (bytes > length - 44) bytes = length - 44;  // a short image plays what it holds
    image.samples = reinterpret_cast<const int16_t*>(p + 44);
    image.count = bytes / 2;
    return image;
}

}  // namespace audio
