// Synthesis of the sweep and the tone.
#include "measurement/TestSignals.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "measurement/Messages.h"
#include "measurement/ReadNumber.h"

namespace sonarix {
namespace {

// pi/2 in three parts: the first two with 31 and 32 significant bits, so that q * part is
// exact in extended precision for q < 2^32 (Cody and Waite's reduction).
constexpr long double kHalfPi1 = 0x6487ed51p-30L;
constexpr long double kHalfPi2 = 0x85a308d3p-65L;
constexpr long double kHalfPi3 = 0x98cc51701b839a25p-132L;
constexpr long double kTwoOverPiL = 0xa2f9836e4e44152ap-64L;
constexpr long double kLargestFastArgument = 0x1p31L;
// Adding and subtracting these rounds to an integer, ties to even, in the default rounding
// mode (for magnitudes below 2^62 and 2^51): nearbyint without its costly library call.
constexpr long double kRoundLongDouble = 0x1.8p63L;
constexpr double kRoundDouble = 0x1.8p52;

// sin and cos on [-pi/4, pi/4]: the minimax polynomials of fdlibm's kernels.
inline double KernelSin(double x) {
    const double z = x * x;
    const double r = 8.33333333332248946124e-03 +
                     z * (-1.98412698298579493134e-04 +
                          z * (2.75573137070700676789e-06 +
                               z * (-2.50507602534068634195e-08 + z * 1.58969099521155010221e-10)));
    return x + x * z * (-1.66666666666666324348e-01 + z * r);
}

inline double KernelCos(double x) {
    const double z = x * x;
    const double r =
        4.16666666666666019037e-02 +
        z * (-1.38888888888741095749e-03 +
             z * (2.48015872894767294178e-05 +
                  z * (-2.75573143513906633035e-07 +
                       z * (2.08757232129817482790e-09 + z * -1.13596475577881948265e-11))));
    return 1.0 - 0.5 * z + z * z * r;
}

// The sample for the extended-precision argument x, as ExactSample gives it.
inline int16_t FastSample(long double x) {
    if (!(std::fabs(x) < kLargestFastArgument)) return ExactSample(x);
    const long double q = (x * kTwoOverPiL + kRoundLongDouble) - kRoundLongDouble;
    const long double r = ((x - q * kHalfPi1) - q * kHalfPi2) - q * kHalfPi3;
    const double rd = static_cast<double>(r);
    double s;
    switch (static_cast<int64_t>(q) & 3) {
        case 0:
            s = KernelSin(rd);
            break;
        case 1:
            s = KernelCos(rd);
            break;
        case 2:
            s = -KernelSin(rd);
            break;
        default:
            s = -KernelCos(rd);
            break;
    }
    // The error of v is below 1e-11; only values near a half need the exact path.
    const double v = s * kSampleAmplitude;
    const double rounded = (v + kRoundDouble) - kRoundDouble;
    if (std::fabs(std::fabs(v - rounded) - 0.5) < 1e-8) return ExactSample(x);
    return static_cast<int16_t>(rounded);
}

void ChirpRange(int16_t* out, int64_t n, double omega, double dOmega, double t) {
    for (int64_t k = 0; k < n; ++k) {
        omega += dOmega;
        out[k] = FastSample(static_cast<long double>(omega) * static_cast<long double>(t));
        t += kDt;
    }
}

// Round to the nearest integer, ties to even, into int64 (saturating).
int64_t RoundToInt64(long double v) {
    constexpr long double kMax = 0x1p63L;
    if (v >= kMax) return std::numeric_limits<int64_t>::max();
    if (v <= -kMax) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(std::nearbyint(v));
}

bool Refuse(SharedState& s, const char* message) {
    ShowMessage(message);
    s.StopRequested = true;
    return false;
}

void WriteImage(SharedState& s, int64_t n, double omega, double dOmega) {
    s.Header.SetSampleCount(n);
    s.WavImage.Clear();
    s.WavImage.ResizeForOverwrite(WavHeader::kSize + 2 * static_cast<size_t>(n));
    s.Header.WriteTo(s.WavImage.Data());
    SynthesizeChirp(reinterpret_cast<int16_t*>(s.WavImage.Data() + WavHeader::kSize), n, omega,
                    dOmega);
}

}  // namespace

int16_t ExactSample(long double x) {
    return static_cast<int16_t>(std::nearbyint(std::sin(x) * static_cast<long double>(4000.0)));
}

void SynthesizeChirp(int16_t* out, int64_t n, double omega, double dOmega) {
    constexpr int64_t kChunk = int64_t{1} << 20;
    const int64_t chunks = (n + kChunk - 1) / kChunk;
    const unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
    if (chunks < 2 || cores < 2) {
        ChirpRange(out, n, omega, dOmega, 0.0);
        return;
    }
    // omega and t are sequential sums. One thread runs them through and publishes their values
    // at the start of each chunk; workers take chunks as soon as they are published and repeat
    // the same additions from there. The first thread joins the workers when it is done.
    std::vector<double> chunkOmega(static_cast<size_t>(chunks));
    std::vector<double> chunkT(static_cast<size_t>(chunks));
    chunkOmega[0] = omega;
    chunkT[0] = 0.0;
    std::atomic<int64_t> published{1};
    std::atomic<int64_t> next{0};
    auto work = [&] {
        for (;;) {
            const int64_t c = next.fetch_add(1);
            if (c >= chunks) return;
            while (published.load(std::memory_order_acquire) <= c) std::this_thread::yield();
            const int64_t first = c * kChunk;
            ChirpRange(out + first, std::min(kChunk, n - first), chunkOmega[c], dOmega, chunkT[c]);
        }
    };
    std::vector<std::thread> workers;
    for (unsigned i = 1; i < cores; ++i) workers.emplace_back(work);
    double w = omega;
    double t = 0.0;
    for (int64_t c = 1; c < chunks; ++c) {
        for (int64_t k = 0; k < kChunk; ++k) {
            w += dOmega;
            t += kDt;
        }
        chunkOmega[c] = w;
        chunkT[c] = t;
        published.store(c + 1, std::memory_order_release);
    }
    work();
    for (std::thread& th : workers) th.join();
}

bool MakeSweepWav(SharedState& s, std::string_view start, std::string_view stop,
                  std::string_view step, std::string_view time) {
    s.StartFreq = ReadNumber(start);
    s.StopFreq = ReadNumber(stop);
    s.StepFreq = ReadNumber(step);
    s.StepTime = ReadNumber(time);
    if (s.StepFreq == 0.0) return Refuse(s, kStepIsZero);

    // Left to right in extended precision.
    long double v = static_cast<long double>(s.StopFreq) - static_cast<long double>(s.StartFreq);
    v = v * 44100.0L;
    v = v / static_cast<long double>(s.StepFreq);
    v = v * static_cast<long double>(s.StepTime);
    v = v / 1000.0L;
    const int64_t n = RoundToInt64(v);
    s.SampleCount = n;
    if (n > kLongestSignal) return Refuse(s, kSweepTooLong);
    if ((s.StopFreq - s.StartFreq) / s.StepFreq > kMostSweepSteps) return Refuse(s, kTooManyPoints);
    if (!(s.StopFreq > s.StartFreq)) return Refuse(s, kStopNotAboveStart);
    if (n <= 0) return Refuse(s, kNoSamples);

    const long double dOmega =
        (static_cast<long double>(s.StopFreq) - static_cast<long double>(s.StartFreq)) * kPiL /
        static_cast<long double>(n);
    const long double omega = kTwoPiL * static_cast<long double>(s.StartFreq);
    WriteImage(s, n, static_cast<double>(omega), static_cast<double>(dOmega));
    return true;
}

bool MakeToneWav(SharedState& s, double duration) {
    const int64_t n = RoundToInt64(static_cast<long double>(duration) * 44100.0L);
    s.SampleCount = n;
    if (n > kLongestSignal) return Refuse(s, kSweepTooLong);
    if ((s.StopFreq - s.StartFreq) / s.StepFreq > kMostSweepSteps) return Refuse(s, kTooManyPoints);
    if (n < 0) return Refuse(s, kNegativeDuration);
    const long double omega = kTwoPiL * static_cast<long double>(s.CurrentFreq);
    WriteImage(s, n, static_cast<double>(omega), 0.0);
    return true;
}

}  // namespace sonarix
