// libFuzzer target: the recording buffer's two read layouts (samples and FFT magnitudes) on
// arbitrary recordings and requests. Each read gets a buffer of exactly the size the contract
// promises to fill, so AddressSanitizer sees any write beyond it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/audio/AudioTypes.h"
#include "platform/audio/RecordBuffer.h"

namespace {
uint32_t Take32(const uint8_t*& p, size_t& left) {
    uint32_t v = 0;
    const size_t n = left < 4 ? left : 4;
    std::memcpy(&v, p, n);
    p += n;
    left -= n;
    return v;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto buffer = std::make_unique<audio::RecordBuffer>();
    if (size < 1) return 0;
    const int channels = (data[0] & 1) + 1;
    const uint32_t block = (data[0] >> 1) + 1u;  // frames per Write
    const uint8_t* p = data + 1;
    size_t left = size - 1;
    uint32_t requests[4];
    for (uint32_t& r : requests) r = Take32(p, left);
    buffer->Reset(channels);
    // The rest is the recording, written in blocks; repeated so that it wraps the ring.
    std::vector<int16_t> frames(left / 2);
    std::memcpy(frames.data(), p, frames.size() * 2);
    const uint32_t count = static_cast<uint32_t>(frames.size()) / static_cast<uint32_t>(channels);
    const int rounds = (data[0] & 0x80) ? 3 : 1;
    for (int round = 0; round < rounds; ++round) {
        for (uint32_t at = 0; at < count; at += block) {
            const uint32_t n = count - at < block ? count - at : block;
            buffer->Write(frames.data() + static_cast<size_t>(at) * channels, n);
        }
    }
    const uint32_t frameBytes = 2u * static_cast<uint32_t>(channels);
    for (uint32_t request : requests) {
        if (request & audio::kDataFft) {
            const bool individual = (request & audio::kDataFftIndividual) != 0 && channels == 2;
            const size_t floats = individual ? 1024 : 512;
            std::vector<float> out(floats);
            const uint32_t got = buffer->GetData(out.data(), request);
            if ((request & 0x7) != (audio::kDataFft1024 & 0x7)) {
                if (got != audio::kDataFailed) std::abort();
                continue;
            }
            if (got != floats * sizeof(float)) std::abort();
            for (float v : out) {
                if (!(v >= 0.0f) || !std::isfinite(v)) std::abort();
            }
        } else {
            const uint32_t length = request % (4 * audio::RecordBuffer::kLongestRead + 8);
            std::vector<uint8_t> out(length);
            const uint32_t got = buffer->GetData(out.data(), length);
            if (got > length || got % frameBytes != 0) std::abort();
            if (got / frameBytes > audio::RecordBuffer::kLongestRead) std::abort();
        }
        // The same read by index, before an end from 0 to past the newest frame: all of the
        // frames asked for, or nothing when the ring does not hold them all.
        const uint64_t written = buffer->Written();
        const uint64_t end = (request >> 3) % (written + 4096);
        const uint32_t length = request % (4 * audio::RecordBuffer::kLongestRead + 8);
        const bool fft = (request & audio::kDataFft) != 0;
        const uint32_t want =
            fft ? 0 : std::min(length / frameBytes, audio::RecordBuffer::kLongestRead);
        std::vector<uint8_t> out(fft ? 1024 * sizeof(float) : length);
        const uint32_t got = buffer->GetDataBefore(end, out.data(), fft ? request : length);
        const uint64_t reach = fft ? 1024 : want;
        const bool held =
            end <= written && end - std::min<uint64_t>(end, reach) >= buffer->Oldest();
        if (fft) {
            const bool fft1024 = (request & 0x7) == (audio::kDataFft1024 & 0x7);
            if ((got != audio::kDataFailed) != (fft1024 && held)) std::abort();
        } else if (held ? got != want * frameBytes : got != audio::kDataFailed) {
            std::abort();
        }
    }
    return 0;
}
