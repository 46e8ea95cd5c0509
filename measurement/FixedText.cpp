// Fixed-point text.
#include "measurement/FixedText.h"

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

}  // namespace sonarix
