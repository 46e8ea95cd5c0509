// The level reading.
#include "measurement/ReadLevel.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numbers>
#include <optional>

#include "measurement/WavHeader.h"
#include "physics/SampleRate.h"
#include "platform/audio/Audio.h"
#include "platform/audio/RecordBuffer.h"

namespace sonarix {
namespace {
constexpr int kBins = kLevelFrames / 2 + 1;

fftwf_complex* Spectrum(void* p) { return static_cast<fftwf_complex*>(p); }
}  // namespace

LockInWork::LockInWork() {
    // A Tukey window, flat but for cosine tapers over 1/8 of the frames at each end: the
    // tapers keep the negative frequencies out of the positive ones, the flat middle weighs
    // every frame alike, which lets the least noise through.
    constexpr int kTaper = kLevelFrames / 8;
    for (int n = 0; n < kLevelFrames; ++n) {
        const int edge = std::min(n, kLevelFrames - 1 - n);
        m_window[static_cast<size_t>(n)] =
            edge >= kTaper ? 1.0f
                           : static_cast<float>(
                                 0.5 - 0.5 * std::cos(std::numbers::pi * (edge + 0.5) / kTaper));
    }
    std::lock_guard lock(audio::FftPlannerMutex());
    m_in = fftwf_alloc_real(kLevelFrames);
    m_x = fftwf_alloc_complex(kBins);
    m_r = fftwf_alloc_complex(kBins);
    m_plan = fftwf_plan_dft_r2c_1d(kLevelFrames, m_in, Spectrum(m_x), FFTW_ESTIMATE);
}

LockInWork::~LockInWork() {
    std::lock_guard lock(audio::FftPlannerMutex());
    fftwf_destroy_plan(static_cast<fftwf_plan>(m_plan));
    fftwf_free(m_in);
    fftwf_free(m_x);
    fftwf_free(m_r);
}

LockInWork::Result LockInWork::Correlate(const float* x, const float* r, size_t first,
                                         size_t last) {
    const auto plan = static_cast<fftwf_plan>(m_plan);
    for (size_t n = 0; n < kLevelFrames; ++n) m_in[n] = x[n] * m_window[n];
    fftwf_execute_dft_r2c(plan, m_in, Spectrum(m_x));
    double power = 0.0, weight = 0.0;
    for (size_t n = 0; n < kLevelFrames; ++n) {
        m_in[n] = r[n] * m_window[n];
        power += static_cast<double>(m_in[n]) * m_in[n];
        if (n >= first && n <= last) weight += static_cast<double>(m_window[n]) * m_window[n];
    }
    fftwf_execute_dft_r2c(plan, m_in, Spectrum(m_r));
    // Z = <X, R> over the positive frequencies, E = |R|^2: x = H r with H = Z / E. The level is
    // |H| times the reference's amplitude (from its windowed mean square) times sqrt(1.5),
    // which is what the seven Hann-windowed bins of the FFT level give for a pure tone.
    const fftwf_complex* xs = Spectrum(m_x);
    const fftwf_complex* rs = Spectrum(m_r);
    double zr = 0.0, zi = 0.0, e = 0.0;
    for (int k = 0; k < kBins; ++k) {
        const double ar = xs[k][0], ai = xs[k][1], br = rs[k][0], bi = rs[k][1];
        zr += ar * br + ai * bi;
        zi += ai * br - ar * bi;
        e += br * br + bi * bi;
    }
    Result result;
    if (!(e > 0.0) || !(weight > 0.0)) return result;
    const double amplitude = std::sqrt(2.0 * power / weight);
    result.level = std::hypot(zr, zi) / e * amplitude * std::sqrt(1.5);
    result.phaseDegrees = std::atan2(zi, zr) * 180.0 / std::numbers::pi;
    return result;
}

int LevelBin(double f) { return static_cast<int>(std::nearbyint(f / kSampleRateHz * 1024.0)); }

namespace {

// The level from what the last read left in the buffers.
double LevelOfBuffers(const SharedState& s, double f, bool fftFilter, const LevelBuffers& b) {
    double m = 0.0, l = 0.0, r = 0.0;
    if (fftFilter) {
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

uint32_t SampleBytes(const SharedState& s) { return s.StereoInput ? 4096 : 2048; }

}  // namespace

double ReadLevel(const SharedState& s, double f, bool fftFilter, LevelBuffers& b) {
    if (fftFilter) {
        audio::ChannelGetData(s.RecChannel, b.spectrum.data(), kLevelFftFlags);
    } else {
        audio::ChannelGetData(s.RecChannel, b.samples.data(), SampleBytes(s));
    }
    return LevelOfBuffers(s, f, fftFilter, b);
}

std::optional<double> ReadLevelBefore(const SharedState& s, double f, bool fftFilter,
                                      LevelBuffers& b, uint64_t end) {
    const uint32_t got =
        fftFilter
            ? audio::ChannelGetDataBefore(s.RecChannel, end, b.spectrum.data(), kLevelFftFlags)
            : audio::ChannelGetDataBefore(s.RecChannel, end, b.samples.data(), SampleBytes(s));
    if (got == audio::kDataFailed) return std::nullopt;
    return LevelOfBuffers(s, f, fftFilter, b);
}

namespace {
constexpr uint64_t kHeldUpBytes = 44;  // 0.5 ms of the playback

// The lock-in of the `got` bytes that the last sample read left in the buffers (the newest
// last), against the image samples heard in them when `newest` (the image sample heard in the
// newest frame) is given, otherwise, or where they lie outside the image, a pure tone at f.
LockInWork::Result LockIn(const SharedState& s, double f, LevelBuffers& b, uint32_t got,
                          std::optional<int64_t> newest) {
    const uint32_t frameBytes = s.StereoInput ? 4u : 2u;
    if (got == audio::kDataFailed || got < frameBytes) return {};
    if (!b.lockIn) b.lockIn = std::make_unique<LockInWork>();
    // The frames that exist, newest last; at the very start of a recording fewer.
    const size_t have = std::min<size_t>(got / frameBytes, kLevelFrames);
    const size_t missing = kLevelFrames - have;
    std::fill(b.frames.begin(), b.frames.begin() + static_cast<std::ptrdiff_t>(missing), 0.0f);
    const size_t stride = s.StereoInput ? 2 : 1;
    const size_t channel = s.StereoInput && !s.LeftChannel ? 1 : 0;
    for (size_t j = 0; j < have; ++j) {
        b.frames[missing + j] = static_cast<float>(b.samples[stride * j + channel]) / 32768.0f;
    }

    bool fromImage = false;
    size_t from = kLevelFrames, to = 0;  // where the image's samples lie in the reference
    const size_t imageSamples =
        s.WavImage.Size() > WavHeader::kSize ? (s.WavImage.Size() - WavHeader::kSize) / 2 : 0;
    if (newest.has_value() && imageSamples > 0) {
        const int64_t first = *newest - (kLevelFrames - 1);
        const uint8_t* image = s.WavImage.Data() + WavHeader::kSize;
        double energy = 0.0;
        for (int64_t n = 0; n < kLevelFrames; ++n) {
            const int64_t k = first + n;
            float v = 0.0f;
            if (k >= 0 && static_cast<size_t>(k) < imageSamples) {
                const auto u = static_cast<size_t>(n);
                if (u < from) from = u;
                to = u;
                int16_t sample;
                std::memcpy(&sample, image + 2 * static_cast<size_t>(k), 2);
                v = static_cast<float>(sample) / 32768.0f;
            }
            b.reference[static_cast<size_t>(n)] = v;
            energy += static_cast<double>(v) * v;
        }
        // Mostly silence (before the start or after the end of the signal): the tone instead.
        fromImage = energy > 1e-6 * kLevelFrames;
    }
    if (!fromImage) {
        const double w = 2.0 * std::numbers::pi * f / kSampleRateHz;
        for (size_t n = 0; n < kLevelFrames; ++n) {
            b.reference[n] = static_cast<float>(std::cos(w * static_cast<double>(n)));
        }
        from = 0;
        to = kLevelFrames - 1;
    }
    return b.lockIn->Correlate(b.frames.data(), b.reference.data(), from, to);
}

}  // namespace

LockInWork::Result ReadLockInLevel(const SharedState& s, double f, LevelBuffers& b, double played) {
    const uint32_t frameBytes = s.StereoInput ? 4u : 2u;
    const uint32_t got =
        audio::ChannelGetData(s.RecChannel, b.samples.data(), frameBytes * kLevelFrames);
    // The position and how old the frames read are, at one moment: the newest frame was
    // current `age` before `after`. A position that moved on by more than 0.5 ms meanwhile
    // means the thread was held up between the two; they are read again.
    uint64_t after = 0;
    double age = 0.0;
    for (int tries = 0; tries < 3; ++tries) {
        const uint64_t first = audio::ChannelGetPosition(s.PlayStream);
        age = audio::RecordAge() * kSampleRateHz;
        after = audio::ChannelGetPosition(s.PlayStream);
        if (first == audio::kPositionFailed || after == audio::kPositionFailed ||
            after - first <= kHeldUpBytes) {
            break;
        }
    }
    // The image sample heard in the newest frame, where the latency is known: a sound server's
    // block timing, which the calibration's mean took in as part of the latency, is taken out
    // read by read.
    std::optional<int64_t> newest;
    const bool known = played >= 0.0 || after != audio::kPositionFailed;
    if (s.Latency.valid && known) {
        if (played < 0.0) played = static_cast<double>(after) / 2.0;
        newest = std::llround(played - 1.0 - (s.Latency.samples - s.Latency.ageSamples) - age);
    }
    return LockIn(s, f, b, got, newest);
}

std::optional<LockInWork::Result> ReadLockInLevelBefore(const SharedState& s, double f,
                                                        LevelBuffers& b, uint64_t end,
                                                        std::optional<double> frameLessSample) {
    const uint32_t frameBytes = s.StereoInput ? 4u : 2u;
    const uint32_t got =
        audio::ChannelGetDataBefore(s.RecChannel, end, b.samples.data(), frameBytes * kLevelFrames);
    if (got == audio::kDataFailed) return std::nullopt;
    std::optional<int64_t> newest;
    if (frameLessSample.has_value()) {
        newest = std::llround(static_cast<double>(end) - 1.0 - *frameLessSample);
    }
    return LockIn(s, f, b, got, newest);
}

}  // namespace sonarix
