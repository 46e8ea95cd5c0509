// The virtual apparatus with a known signal in place of the microphone: the recording reads
// return the frames a test fed in, so every level is known.
#pragma once

#include <vector>

#include "platform/audio/RecordBuffer.h"
#include "platform/audio/VirtualApparatus.h"

namespace sonarix::test {

class KnownSignalApparatus : public audio::VirtualApparatus {
public:
    KnownSignalApparatus() : VirtualApparatus(Clock::Manual) {}

    // Interleaved frames of `channels` channels; the latest 1024 are what the reads see.
    void Feed(int channels, const std::vector<int16_t>& frames) {
        m_known.Reset(channels);
        m_known.Write(frames.data(),
                      static_cast<uint32_t>(frames.size()) / static_cast<uint32_t>(channels));
    }
    uint32_t ChannelGetData(audio::Handle h, void* buffer, uint32_t length) override {
        // Only while the recording runs, as the apparatus itself.
        if (VirtualApparatus::ChannelGetData(h, m_scratch.data(), 0) == audio::kDataFailed) {
            return audio::kDataFailed;
        }
        return m_known.GetData(buffer, length);
    }
    // A read by index sees the same frames, whatever the index, once the recording holds it.
    uint32_t ChannelGetDataBefore(audio::Handle h, uint64_t end, void* buffer,
                                  uint32_t length) override {
        if (VirtualApparatus::ChannelGetDataBefore(h, end, m_scratch.data(), 0) ==
            audio::kDataFailed) {
            return audio::kDataFailed;
        }
        return m_known.GetData(buffer, length);
    }

    // A square wave of period 16 frames and the given height, 1024 frames long.
    static std::vector<int16_t> Square(int16_t height) {
        std::vector<int16_t> v(1024);
        for (size_t j = 0; j < v.size(); ++j) v[j] = (j / 8) % 2 == 0 ? height : -height;
        return v;
    }
    // Left and right interleaved.
    static std::vector<int16_t> Interleave(const std::vector<int16_t>& l,
                                           const std::vector<int16_t>& r) {
        std::vector<int16_t> v(2 * l.size());
        for (size_t j = 0; j < l.size(); ++j) {
            v[2 * j] = l[j];
            v[2 * j + 1] = r[j];
        }
        return v;
    }

private:
    audio::RecordBuffer m_known;
    std::vector<int16_t> m_scratch = std::vector<int16_t>(4);
};

}  // namespace sonarix::test
