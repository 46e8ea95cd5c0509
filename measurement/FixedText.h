// Fixed-point text: a number with a fixed number of decimals, the point as separator,
// right-aligned with blanks in a field of a minimum width.
#pragma once

#include <string>

namespace sonarix {

// v with exactly `decimals` decimals (rounded), a leading "-" when negative, padded on the
// left with blanks to at least `width` characters; independent of the locale.
std::string FixedText(double v, int decimals, int width = 0);

}  // namespace sonarix
