// Latency of the sound-card backend: from the moment the reported play position passes a
// sample to the moment that sample can be read from the recording. Run under
// scripts/with-sound-server; prints one line per run and a summary.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

#include "measurement/WavHeader.h"
#include "platform/audio/PulseBackend.h"

namespace {
using Clock = std::chrono::steady_clock;

// Silence, then from sample `onset` on a loud 1 kHz burst.
std::vector<uint8_t> BurstImage(uint32_t n, uint32_t onset) {
    std::vector<uint8_t> img(44 + 2 * size_t{n}, 0);
    sonarix::WavHeader header;
    header.SetSampleCount(n);
    header.WriteTo(img.data());
    for (uint32_t k = onset; k < n; ++k) {
        auto s =
            static_cast<int16_t>(std::lround(8000.0 * std::sin(2 * M_PI * 1000.0 * k / 44100.0)));
        std::memcpy(&img[44 + 2 * size_t{k}], &s, 2);
    }
    return img;
}
}  // namespace

int main() {
    audio::PulseBackend b;
    if (!b.Init(-1, 44100, 0) || !b.RecordInit(-1)) {
        std::fprintf(stderr, "no sound server\n");
        return 1;
    }
    const audio::Handle rec = b.RecordStart(44100, 1, 0, nullptr, nullptr);
    const uint32_t onset = 22050;
    const auto img = BurstImage(44100, onset);
    std::vector<double> ms;
    for (int run = 0; run < 10; ++run) {
        const audio::Handle h = b.StreamCreateFile(true, img.data(), 0, img.size(), 0);
        b.ChannelSetAttributes(h, 44100, 100, -101);
        b.ChannelPlay(h, true);
        Clock::time_point passed{}, heard{};
        std::vector<int16_t> s(1024);
        const auto start = Clock::now();
        while (Clock::now() - start < std::chrono::seconds(3)) {
            const auto now = Clock::now();
            if (passed == Clock::time_point{} && b.ChannelGetPosition(h) >= 2u * onset)
                passed = now;
            b.ChannelGetData(rec, s.data(), 2048);
            // The newest 64 frames hold the burst's start once it has been recorded.
            int loud = 0;
            for (int i = 1024 - 64; i < 1024; ++i) loud += std::abs(int{s[i]}) > 2000;
            if (heard == Clock::time_point{} && loud > 8) heard = now;
            if (passed != Clock::time_point{} && heard != Clock::time_point{}) break;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        b.ChannelStop(h);
        const double d = std::chrono::duration<double, std::milli>(heard - passed).count();
        std::printf("run %d: %.1f ms\n", run + 1, d);
        ms.push_back(d);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const double mean = std::accumulate(ms.begin(), ms.end(), 0.0) / ms.size();
    std::printf("latency position -> recording: mean %.1f ms, min %.1f ms, max %.1f ms\n", mean,
                *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()));
    return 0;
}
