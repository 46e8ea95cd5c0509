// The position-recording probe.
#include "tests/audio/LatencyProbe.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <numeric>
#include <thread>

#include "measurement/WavHeader.h"
#include "platform/audio/Audio.h"

namespace audio::test {
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

ProbeResult ProbeLatency(uint32_t rec, int runs) {
    const uint32_t onset = 22050;
    const auto img = BurstImage(44100, onset);
    ProbeResult r;
    for (int run = 0; run < 3 * runs && static_cast<int>(r.ms.size()) < runs; ++run) {
        const Handle h = StreamCreateFile(true, img.data(), 0, img.size(), 0);
        ChannelSetAttributes(h, 44100, 100, -101);
        ChannelPlay(h, true);
        Clock::time_point passed{}, heard{};
        bool clean = true;
        std::vector<int16_t> s(1024);
        const auto start = Clock::now();
        while (Clock::now() - start < std::chrono::seconds(3)) {
            const auto now = Clock::now();
            const uint64_t pos = ChannelGetPosition(h);
            if (passed == Clock::time_point{} && pos != kPositionFailed && pos >= 2u * onset) {
                passed = now;
                // Seen late: the poll was held up, or the reported position jumped ahead.
                if (pos - 2u * onset > 2u * 22u) clean = false;  // more than 0.5 ms past
            }
            ChannelGetData(rec, s.data(), 2048);
            const double age = RecordAge();
            // The newest frames hold the burst's start once it has been recorded (its first
            // loud sample comes within 0.05 ms of it); before it there is only silence. The
            // start was the newest frame as many frames before the newest as follow it, and
            // the newest was that `age` ago: the moment the start came, to the sample, however
            // the recording is handed over in blocks.
            int first = -1;
            for (int i = 0; i < 1024 && first < 0; ++i) {
                if (std::abs(int{s[i]}) > 2000) first = i;
            }
            if (heard == Clock::time_point{} && first >= 0) {
                heard = Clock::now() - std::chrono::nanoseconds(
                                           std::llround(1e9 * (age + (1023 - first) / 44100.0)));
                if (first == 0) clean = false;  // the start may lie before the frames read
            }
            if (passed != Clock::time_point{} && heard != Clock::time_point{}) break;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        ChannelStop(h);
        if (passed != Clock::time_point{} && heard != Clock::time_point{}) {
            if (clean) {
                r.ms.push_back(std::chrono::duration<double, std::milli>(heard - passed).count());
            } else {
                ++r.disturbed;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (r.ms.empty()) return r;
    r.mean = std::accumulate(r.ms.begin(), r.ms.end(), 0.0) / static_cast<double>(r.ms.size());
    r.min = *std::min_element(r.ms.begin(), r.ms.end());
    r.max = *std::max_element(r.ms.begin(), r.ms.end());
    return r;
}

}  // namespace audio::test
