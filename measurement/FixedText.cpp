// Fixed-point text.
#include "measurement/FixedText.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace sonarix {

std::string FixedText(double v, int decimals, int width) {
    char buf[400];
    if (!std::isfinite(v)) v = 0.0;
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    std::string s(buf, ec == std::errc() ? end : buf);
    if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<size_t>(width) - s.size(), ' ');
    return s;
}

int ErrorDecimals(double e) {
    if (!(e > 0.0) || !std::isfinite(e)) return 3;
    return std::clamp(1 - static_cast<int>(std::floor(std::log10(e))), 0, 9);
}

std::string ValueAndError(double v, double e) {
    if (!std::isfinite(e)) return FixedText(v, 3) + " (not determined)";
    const int decimals = ErrorDecimals(e);
    return FixedText(v, decimals) + " +- " + FixedText(e, decimals);
}

}  // namespace sonarix
