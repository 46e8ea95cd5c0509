// Round: to the nearest integer, halves to the even neighbour, without the cost of nearbyint.
#pragma once

#include <algorithm>
#include <cstdint>

namespace sonarix {

// Adding and subtracting 1.5 * 2^52 rounds a double of magnitude below 2^51 to an integer in
// the default rounding mode (halves to even). Larger magnitudes and NaN are clamped to
// +-2^50 first, far outside any picture.
inline int64_t Round(double v) {
    constexpr double kLimit = 0x1p50;
    constexpr double kMagic = 0x1.8p52;
    if (!(v > -kLimit)) v = -kLimit;  // also NaN
    if (v > kLimit) v = kLimit;
    return static_cast<int64_t>((v + kMagic) - kMagic);
}

// Round into an int pixel coordinate, clamped to +-2^26 so that line arithmetic cannot
// overflow; such coordinates lie far outside every image.
inline int RoundPixel(double v) {
    constexpr int64_t kFar = int64_t{1} << 26;
    return static_cast<int>(std::clamp(Round(v), -kFar, kFar));
}

}  // namespace sonarix
