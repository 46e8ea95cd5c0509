// Synthesis of the sweep and the tone.
#include "measurement/TestSignals.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "measurement/Messages.h"
#include "measurement/ReadNumber.h"
#include "physics/SampleRate.h"

namespace sonarix {
namespace {

// pi/2 in four parts, the first three with 22 significant bits, so that q * part is exact in
// double precision for |q| < 2^31 (Cody and Waite's reduction).
constexpr double kHalfPi1 = 0x1.921fb00000000p+0;
constexpr double kHalfPi2 = 0x1.5110b00000000p-22;
constexpr double kHalfPi3 = 0x1.1846980000000p-44;
constexpr double kHalfPi4 = 0x1.3198a2e037073p-69;
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
constexpr long double kLargestFastArgument = 0x1p31L;
// Adding and subtracting this rounds to an integer, ties to even, in the default rounding mode
// (for magnitudes below 2^51): nearbyint without its costly library call.
constexpr double kRoundDouble = 0x1.8p52;
// Within this distance of a rounding boundary the fast result is not trusted; its error is
// below 1e-11 (reduction and kernels within a few units in the last place, times 4000).
constexpr double kBoundaryGuard = 1e-8;

// The minimax polynomials of fdlibm's sine and cosine kernels on [-pi/4, pi/4].
constexpr double kS1 = -1.66666666666666324348e-01, kS2 = 8.33333333332248946124e-03,
                 kS3 = -1.98412698298579493134e-04, kS4 = 2.75573137070700676789e-06,
                 kS5 = -2.50507602534068634195e-08, kS6 = 1.58969099521155010221e-10;
constexpr double kC1 = 4.16666666666666019037e-02, kC2 = -1.38888888888741095749e-03,
                 kC3 = 2.48015872894767294178e-05, kC4 = -2.75573143513906633035e-07,
                 kC5 = 2.08757232129817482790e-09, kC6 = -1.13596475577881948265e-11;

constexpr int kBlock = 256;

// Working data of one block: the extended-precision arguments, split exactly into a double
// hi + lo, and the results.
struct Block {
    alignas(16) double hi[kBlock];
    alignas(16) double lo[kBlock];
    alignas(16) double value[kBlock];  // 4000 sin(x), rounded
    long double x[kBlock];
    bool exact[kBlock];  // next to a rounding boundary: take ExactSample
};

// Scalar sine of one argument, for the tail of a block and for targets without SSE2.
inline void FastOne(Block& b, int k) {
    const double h = b.hi[k];
    const double q = (h * kTwoOverPi + kRoundDouble) - kRoundDouble;
    double r = ((h - q * kHalfPi1) - q * kHalfPi2) - q * kHalfPi3;
    r = (r + b.lo[k]) - q * kHalfPi4;
    const double z = r * r;
    const double sn = r + r * z * (kS1 + z * (kS2 + z * (kS3 + z * (kS4 + z * (kS5 + z * kS6)))));
    const double cs =
        1.0 - 0.5 * z + z * z * (kC1 + z * (kC2 + z * (kC3 + z * (kC4 + z * (kC5 + z * kC6)))));
    const auto quadrant = static_cast<int32_t>(q);
    double s = (quadrant & 1) ? cs : sn;
    if (quadrant & 2) s = -s;
    const double v = s * kSampleAmplitude;
    const double rounded = (v + kRoundDouble) - kRoundDouble;
    b.value[k] = rounded;
    b.exact[k] = std::fabs(std::fabs(v - rounded) - 0.5) < kBoundaryGuard;
}

#if defined(__SSE2__)
// The same on two arguments at a time; every operation is the scalar one, lane by lane.
inline void FastPair(Block& b, int k) {
    const __m128d h = _mm_load_pd(b.hi + k);
    const __m128d round = _mm_set1_pd(kRoundDouble);
    const __m128d q = _mm_sub_pd(_mm_add_pd(_mm_mul_pd(h, _mm_set1_pd(kTwoOverPi)), round), round);
    __m128d r = _mm_sub_pd(h, _mm_mul_pd(q, _mm_set1_pd(kHalfPi1)));
    r = _mm_sub_pd(r, _mm_mul_pd(q, _mm_set1_pd(kHalfPi2)));
    r = _mm_sub_pd(r, _mm_mul_pd(q, _mm_set1_pd(kHalfPi3)));
    r = _mm_sub_pd(_mm_add_pd(r, _mm_load_pd(b.lo + k)), _mm_mul_pd(q, _mm_set1_pd(kHalfPi4)));
    const __m128d z = _mm_mul_pd(r, r);
    auto poly = [&z](double c0, double c1, double c2, double c3, double c4, double c5) {
        __m128d p = _mm_set1_pd(c5);
        for (double c : {c4, c3, c2, c1}) p = _mm_add_pd(_mm_set1_pd(c), _mm_mul_pd(z, p));
        return _mm_add_pd(_mm_set1_pd(c0), _mm_mul_pd(z, p));
    };
    // sn = r + r z (S1 + z (S2 + ...)); cs = 1 - 0.5 z + z z (C1 + z (C2 + ...)).
    const __m128d sn =
        _mm_add_pd(r, _mm_mul_pd(_mm_mul_pd(r, z), poly(kS1, kS2, kS3, kS4, kS5, kS6)));
    const __m128d cs = _mm_add_pd(_mm_sub_pd(_mm_set1_pd(1.0), _mm_mul_pd(_mm_set1_pd(0.5), z)),
                                  _mm_mul_pd(_mm_mul_pd(z, z), poly(kC1, kC2, kC3, kC4, kC5, kC6)));
    // Quadrant bits widened to 64-bit lane masks.
    const __m128i quadrant = _mm_shuffle_epi32(_mm_cvtpd_epi32(q), _MM_SHUFFLE(1, 1, 0, 0));
    const __m128i one = _mm_set1_epi32(1), two = _mm_set1_epi32(2);
    const __m128d odd = _mm_castsi128_pd(_mm_cmpeq_epi32(_mm_and_si128(quadrant, one), one));
    const __m128d negate = _mm_castsi128_pd(_mm_cmpeq_epi32(_mm_and_si128(quadrant, two), two));
    __m128d s = _mm_or_pd(_mm_and_pd(odd, cs), _mm_andnot_pd(odd, sn));
    s = _mm_xor_pd(s, _mm_and_pd(negate, _mm_set1_pd(-0.0)));
    const __m128d v = _mm_mul_pd(s, _mm_set1_pd(kSampleAmplitude));
    const __m128d rounded = _mm_sub_pd(_mm_add_pd(v, round), round);
    _mm_store_pd(b.value + k, rounded);
    const __m128d absMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m128d distance = _mm_and_pd(
        _mm_sub_pd(_mm_and_pd(_mm_sub_pd(v, rounded), absMask), _mm_set1_pd(0.5)), absMask);
    const int near = _mm_movemask_pd(_mm_cmplt_pd(distance, _mm_set1_pd(kBoundaryGuard)));
    b.exact[k] = (near & 1) != 0;
    b.exact[k + 1] = (near & 2) != 0;
}
#endif

// Samples of one stretch of the chirp, omega and t at their values before its first sample.
void ChirpRange(int16_t* out, int64_t n, double omega, double dOmega, double t) {
    Block b;
    for (int64_t base = 0; base < n; base += kBlock) {
        const int m = static_cast<int>(std::min<int64_t>(kBlock, n - base));
        bool huge = false;
        // The sums and the extended product in the order written; x = hi + lo exactly.
        for (int k = 0; k < m; ++k) {
            omega += dOmega;
            const long double x = static_cast<long double>(omega) * static_cast<long double>(t);
            const double h = static_cast<double>(x);
            b.x[k] = x;
            b.hi[k] = h;
            b.lo[k] = static_cast<double>(x - static_cast<long double>(h));
            huge |= !(std::fabs(x) < kLargestFastArgument);
            t += kDt;
        }
        if (huge) {
            for (int k = 0; k < m; ++k) out[base + k] = ExactSample(b.x[k]);
            continue;
        }
        int k = 0;
#if defined(__SSE2__)
        for (; k + 1 < m; k += 2) FastPair(b, k);
#endif
        for (; k < m; ++k) FastOne(b, k);
        for (k = 0; k < m; ++k) {
            out[base + k] = b.exact[k] ? ExactSample(b.x[k]) : static_cast<int16_t>(b.value[k]);
        }
    }
}

// Round to the nearest integer, ties to even, into int64 (saturating).
int64_t RoundToInt64(long double v) {
    constexpr long double kMax = 0x1p63L;
    if (v != v) return 0;  // NaN: from infinities (a field too large) that cancel
    if (v >= kMax) return std::numeric_limits<int64_t>::max();
    if (v <= -kMax) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(std::nearbyint(v));
}

bool Refuse(SharedState& s, const char* message, Notices* out) {
    Tell(out, Notice::Reason::Refused, message);
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
    constexpr int64_t kChunk = int64_t{1} << 16;
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

bool PlanSweep(SharedState& s, std::string_view start, std::string_view stop, std::string_view step,
               std::string_view time, Notices* out) {
    // Read into locals: a refused sweep leaves the parameters in force as they were (the tone
    // of a click on the plot checks them too).
    const double f0 = ReadNumber(start, "Start Frequency [Hz]", out);
    const double f1 = ReadNumber(stop, "Stop Frequency [Hz]", out);
    const double df = ReadNumber(step, "Step [Hz]", out);
    const double dt = ReadNumber(time, "Time per Step [ms]", out);
    if (df == 0.0) return Refuse(s, kStepIsZero, out);
    if (f0 < 0.0) return Refuse(s, kStartNegative, out);
    if (f1 < 0.0) return Refuse(s, kStopNegative, out);

    // Left to right in extended precision.
    long double v = static_cast<long double>(f1) - static_cast<long double>(f0);
    v = v * static_cast<long double>(kSampleRate);
    v = v / static_cast<long double>(df);
    v = v * static_cast<long double>(dt);
    v = v / 1000.0L;
    const int64_t n = RoundToInt64(v);
    if (n > kLongestSignal) return Refuse(s, kSweepTooLong, out);
    if ((f1 - f0) / df > kMostSweepSteps) return Refuse(s, kTooManyPoints, out);
    if (!(f1 > f0)) return Refuse(s, kStopNotAboveStart, out);
    // Each of these alone leaves no sample; together they would make a sweep downwards.
    if (df < 0.0) return Refuse(s, kStepNotPositive, out);
    if (!(dt > 0.0)) return Refuse(s, kTimeNotPositive, out);
    // The chirp is played at 44100 Hz and cannot hold a frequency above half of that.
    if (f1 > kHighestFrequency) return Refuse(s, kStopAboveHalfRate, out);
    // The first point lies one step above the start: beyond the range, nothing is measured.
    if (df > f1 - f0) return Refuse(s, kStepBeyondRange, out);
    if (n <= 0) return Refuse(s, kNoSamples, out);
    s.StartFreq = f0;
    s.StopFreq = f1;
    s.StepFreq = df;
    s.StepTime = dt;
    s.SampleCount = n;
    return true;
}

void WriteSweep(SharedState& s) {
    const int64_t n = s.SampleCount;
    const long double dOmega =
        (static_cast<long double>(s.StopFreq) - static_cast<long double>(s.StartFreq)) * kPiL /
        static_cast<long double>(n);
    const long double omega = kTwoPiL * static_cast<long double>(s.StartFreq);
    WriteImage(s, n, static_cast<double>(omega), static_cast<double>(dOmega));
}

bool MakeSweepWav(SharedState& s, std::string_view start, std::string_view stop,
                  std::string_view step, std::string_view time, Notices* out) {
    if (!PlanSweep(s, start, stop, step, time, out)) return false;
    WriteSweep(s);
    return true;
}

bool MakeToneWav(SharedState& s, double duration, Notices* out) {
    const int64_t n =
        RoundToInt64(static_cast<long double>(duration) * static_cast<long double>(kSampleRate));
    s.SampleCount = n;
    if (n > kLongestSignal) return Refuse(s, kSweepTooLong, out);
    if ((s.StopFreq - s.StartFreq) / s.StepFreq > kMostSweepSteps)
        return Refuse(s, kTooManyPoints, out);
    if (n < 0) return Refuse(s, kNegativeDuration, out);
    const long double omega = kTwoPiL * static_cast<long double>(s.CurrentFreq);
    WriteImage(s, n, static_cast<double>(omega), 0.0);
    return true;
}

}  // namespace sonarix
