// The value-to-pixel mapping of the plots, vectorised for whole curves.
#include "plot/PlotMapping.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "measurement/Rounding.h"

namespace sonarix {
namespace {

// The pixel mapping of the curves. Dividing is the costly part; a multiplication by the
// reciprocal gives the same rounded pixel except within a few units in the last place of a
// half, so it is used two points at a time and the formula as written decides only near a
// half. Clamping to +-2^26 and NaN (to the lower bound) as in RoundPixel; cvtpd2dq rounds
// halves to even in the default rounding mode.
// The pixel of each value by the formula as written: v[from ... to - 1], or the lanes of a
// block of values that `mask` marks (near a half).
template <typename Exact>
void MapExactly(const double* v, int from, int to, Exact exact, int add, bool negate, int* out) {
    for (int i = from; i < to; ++i) {
        const int pixel = RoundPixel(exact(v[i]));
        out[i] = negate ? add - pixel : pixel + add;
    }
}
template <typename Exact>
void MapMarked(int mask, int lanes, const double* v, int i, Exact exact, int add, bool negate,
               int* out) {
    for (int k = 0; k < lanes; ++k) {
        if (((mask >> k) & 1) != 0) MapExactly(v, i + k, i + k + 1, exact, add, negate, out);
    }
}

#if defined(__SSE2__)
template <typename Approx, typename Exact>
void MapPixels(const double* v, int n, Approx approx, int add, bool negate, Exact exact, int* out) {
    const __m128d far = _mm_set1_pd(static_cast<double>(1 << 26));
    const __m128d nearFar = _mm_sub_pd(_mm_setzero_pd(), far);
    const __m128d absMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m128d half = _mm_set1_pd(0.5), guard = _mm_set1_pd(1e-9), one = _mm_set1_pd(1.0);
    int i = 0;
    for (; i + 1 < n; i += 2) {
        const __m128d d = _mm_min_pd(_mm_max_pd(approx(_mm_loadu_pd(v + i)), nearFar), far);
        const __m128i r = _mm_cvtpd_epi32(d);
        const __m128d frac = _mm_and_pd(_mm_sub_pd(d, _mm_cvtepi32_pd(r)), absMask);
        const __m128d tol = _mm_mul_pd(guard, _mm_max_pd(_mm_and_pd(d, absMask), one));
        const __m128d nearHalf = _mm_cmplt_pd(_mm_and_pd(_mm_sub_pd(frac, half), absMask), tol);
        const __m128i base = _mm_set1_epi32(add);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i),
                         negate ? _mm_sub_epi32(base, r) : _mm_add_epi32(r, base));
        const int mask = _mm_movemask_pd(nearHalf);
        if (mask != 0) MapMarked(mask, 2, v, i, exact, add, negate, out);
    }
    MapExactly(v, i, n, exact, add, negate, out);
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
// Four points at a time where the processor has AVX2 (asked once): d = (v - sub) * scale, the
// same decision near a half as above. The approximation lies within a few units in the last
// place of the formula, far inside the fixed tolerance for any pixel up to 2^26.
template <typename Exact>
__attribute__((target("avx2"))) void MapPixelsAvx2(const double* v, int n, double sub, double scale,
                                                   int add, bool negate, Exact exact, int* out) {
    const __m256d far = _mm256_set1_pd(static_cast<double>(1 << 26));
    const __m256d nearFar = _mm256_sub_pd(_mm256_setzero_pd(), far);
    const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m256d half = _mm256_set1_pd(0.5), tol = _mm256_set1_pd(1e-6);
    const __m256d vSub = _mm256_set1_pd(sub), vScale = _mm256_set1_pd(scale);
    const __m128i base = _mm_set1_epi32(add);
    int i = 0;
    for (; i + 3 < n; i += 4) {
        const __m256d a = _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(v + i), vSub), vScale);
        const __m256d d = _mm256_min_pd(_mm256_max_pd(a, nearFar), far);
        const __m128i r = _mm256_cvtpd_epi32(d);
        const __m256d frac = _mm256_and_pd(_mm256_sub_pd(d, _mm256_cvtepi32_pd(r)), absMask);
        const __m256d nearHalf =
            _mm256_cmp_pd(_mm256_and_pd(_mm256_sub_pd(frac, half), absMask), tol, _CMP_LT_OQ);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         negate ? _mm_sub_epi32(base, r) : _mm_add_epi32(r, base));
        const int mask = _mm256_movemask_pd(nearHalf);
        if (mask != 0) MapMarked(mask, 4, v, i, exact, add, negate, out);
    }
    MapExactly(v, i, n, exact, add, negate, out);
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#else
bool HasAvx2() { return false; }
template <typename Exact>
void MapPixelsAvx2(const double*, int, double, double, int, bool, Exact, int*) {}
#endif

// x[i] = Round((f[i] - freqMin) * w / span) + left.
void MapFrequencies(const double* f, int n, double freqMin, int w, double span, int left, int* x) {
    auto exact = [=](double v) { return (v - freqMin) * w / span; };
    if (HasAvx2()) return MapPixelsAvx2(f, n, freqMin, w / span, left, false, exact, x);
#if defined(__SSE2__)
    const __m128d vMin = _mm_set1_pd(freqMin), vW = _mm_set1_pd(w),
                  vRecip = _mm_set1_pd(1.0 / span);
    MapPixels(
        f, n, [=](__m128d v) { return _mm_mul_pd(_mm_mul_pd(_mm_sub_pd(v, vMin), vW), vRecip); },
        left, false, exact, x);
#else
    for (int i = 0; i < n; ++i) x[i] = RoundPixel(exact(f[i])) + left;
#endif
}

// y[i] = panelHeight - (Round(a[i] / ampMax * h) + bottom).
void MapAmplitudes(const double* a, int n, double ampMax, int h, int panelHeight, int bottom,
                   int* y) {
    auto exact = [=](double v) { return v / ampMax * h; };
    if (HasAvx2()) {
        return MapPixelsAvx2(a, n, 0.0, h / ampMax, panelHeight - bottom, true, exact, y);
    }
#if defined(__SSE2__)
    const __m128d vRecip = _mm_set1_pd(1.0 / ampMax), vH = _mm_set1_pd(h);
    MapPixels(
        a, n, [=](__m128d v) { return _mm_mul_pd(_mm_mul_pd(v, vRecip), vH); },
        panelHeight - bottom, true, exact, y);
#else
    for (int i = 0; i < n; ++i) y[i] = panelHeight - (RoundPixel(exact(a[i])) + bottom);
#endif
}

}  // namespace

int PlotGeometry::X(double f) const {
    return RoundPixel((f - freqMin) * DataWidth() / (freqMax - freqMin)) + left;
}

int PlotGeometry::Y(double a) const {
    return panelHeight - (RoundPixel(a / ampMax * DataHeight()) + bottom);
}

void PlotGeometry::MapX(const double* f, int n, int* x) const {
    MapFrequencies(f, n, freqMin, DataWidth(), freqMax - freqMin, left, x);
}

void PlotGeometry::MapY(const double* a, int n, int* y) const {
    MapAmplitudes(a, n, ampMax, DataHeight(), panelHeight, bottom, y);
}

void PlotGeometry::MapFineX(const double* f, int n, double* x) const {
    const double scale = DataWidth() / (freqMax - freqMin);
    for (int i = 0; i < n; ++i) {
        const double v = (f[i] - freqMin) * scale;
        x[i] = (v == v ? std::clamp(v, -67108864.0, 67108864.0) : -67108864.0) + left;
    }
}

void PlotGeometry::MapFineY(const double* a, int n, double* y) const {
    const double scale = DataHeight() / ampMax;
    for (int i = 0; i < n; ++i) {
        const double v = a[i] * scale;
        y[i] = panelHeight -
               ((v == v ? std::clamp(v, -67108864.0, 67108864.0) : -67108864.0) + bottom);
    }
}

double PlotGeometry::FrequencyAt(int x) const {
    const long double f = static_cast<long double>(x - left) /
                              static_cast<long double>(DataWidth()) *
                              (static_cast<long double>(freqMax) - freqMin) +
                          freqMin;
    return static_cast<double>(f);
}

double PlotGeometry::AmplitudeAt(int y) const {
    const long double a = static_cast<long double>(panelHeight - bottom - y) /
                          static_cast<long double>(DataHeight()) * ampMax;
    return static_cast<double>(a);
}

}  // namespace sonarix
