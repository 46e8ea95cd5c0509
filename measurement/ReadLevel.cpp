// The level reading.
#include "measurement/ReadLevel.h"

#include <cmath>
#include <cstdlib>

#include "platform/audio/Audio.h"

namespace sonarix {

int LevelBin(double f) { return static_cast<int>(std::nearbyint(f / 44100.0 * 1024.0)); }

double ReadLevel(const SharedState& s, double f, bool fftFilter, LevelBuffers& b) {
    double m = 0.0, l = 0.0, r = 0.0;
    if (fftFilter) {
        audio::ChannelGetData(s.RecChannel, b.spectrum.data(), kLevelFftFlags);
        const int k = LevelBin(f);
        long double sm = 0.0L, sl = 0.0L, sr = 0.0L;
        for (int j = k - kLevelHalfBand; j <= k + kLevelHalfBand; ++j) {
            if (j < 0 || j > 511) continue;
            const auto u = static_cast<size_t>(j);
            if (s.StereoInput) {
                const long double left = b.spectrum[2 * u], right = b.spectrum[2 * u + 1];
                sl += left * left;
                sr += right * right;
            } else {
                const long double v = b.spectrum[u];
                sm += v * v;
            }
        }
        m = static_cast<double>(std::sqrt(sm));
        l = static_cast<double>(std::sqrt(sl));
        r = static_cast<double>(std::sqrt(sr));
    } else {
        audio::ChannelGetData(s.RecChannel, b.samples.data(), s.StereoInput ? 4096 : 2048);
        for (size_t j = 0; j < 1024; ++j) {
            if (s.StereoInput) {
                l += static_cast<double>(std::abs(b.samples[2 * j]));
                r += static_cast<double>(std::abs(b.samples[2 * j + 1]));
            } else {
                m += static_cast<double>(std::abs(b.samples[j]));
            }
        }
        m /= 16777216.0;
        l /= 16777216.0;
        r /= 16777216.0;
    }
    if (s.StereoInput) return s.LeftChannel ? l : r;
    return m;
}

}  // namespace sonarix
