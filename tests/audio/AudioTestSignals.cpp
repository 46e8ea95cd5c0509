// Test helpers for the audio backends.
#include "tests/audio/AudioTestSignals.h"

#include <cmath>
#include <cstring>
#include <numbers>

#include "measurement/WavHeader.h"

namespace audio::test {

std::vector<uint8_t> SineImage(double f, double seconds, double amplitude) {
    const auto n = static_cast<uint32_t>(seconds * 44100.0);
    std::vector<uint8_t> img(44 + 2 * size_t{n});
    sonarix::WavHeader header;
    header.SetSampleCount(n);
    header.WriteTo(img.data());
    for (uint32_t k = 0; k < n; ++k) {
        auto s = static_cast<int16_t>(
            std::lround(amplitude * std::sin(2 * std::numbers::pi * f * k / 44100.0)));
        std::memcpy(&img[44 + 2 * size_t{k}], &s, 2);
    }
    return img;
}

double SevenBinLevel(const float* fft, double f, int stride, int offset) {
    const int k = static_cast<int>(std::nearbyint(f / 44100.0 * 1024.0));
    double sum = 0.0;
    for (int j = k - 3; j <= k + 3; ++j) {
        if (j < 0 || j > 511) continue;
        const double v = fft[stride * j + offset];
        sum += v * v;
    }
    return std::sqrt(sum);
}

double IdealSevenBinLevel(double f, double a) {
    std::vector<float> mag(512);
    for (int k = 0; k < 512; ++k) {
        double re = 0, im = 0;
        for (int n = 0; n < 1024; ++n) {
            const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * n / 1024.0);
            const double x = a * std::sin(2 * std::numbers::pi * f * n / 44100.0) * w;
            re += x * std::cos(2 * std::numbers::pi * k * n / 1024.0);
            im -= x * std::sin(2 * std::numbers::pi * k * n / 1024.0);
        }
        mag[k] = static_cast<float>(std::hypot(re, im) * 2.0 / 512.0);
    }
    return SevenBinLevel(mag.data(), f);
}

}  // namespace audio::test
