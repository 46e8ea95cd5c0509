// libFuzzer target: the WAV image reader of the audio layer on arbitrary bytes. An image it
// accepts must lie wholly inside the bytes it was given; every sample is read once to show it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/audio/PcmImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An aligned copy of exactly the given size, as the program's own images are.
    std::vector<int16_t> store((size + 1) / 2);
    std::memcpy(store.data(), data, size);
    const auto* bytes = reinterpret_cast<const uint8_t*>(store.data());
    const audio::PcmImage image = audio::ParsePcmImage(bytes, size);
    if (image.samples == nullptr) return 0;
    const auto* first = reinterpret_cast<const uint8_t*>(image.samples);
    if (first < bytes || first + 2 * image.count > bytes + size) std::abort();
    int64_t sum = 0;
    for (uint64_t i = 0; i < image.count; ++i) sum += image.samples[i];
    return sum == INT64_MIN ? 1 : 0;
}
