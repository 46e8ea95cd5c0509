// Fixed-point text: a number with a fixed number of decimals, the point as separator,
// right-aligned with blanks in a field of a minimum width.
#pragma once

#include <string>

namespace sonarix {

// v with exactly `decimals` decimals (rounded), a leading "-" when negative, padded on the
// left with blanks to at least `width` characters; independent of the locale.
std::string FixedText(double v, int decimals, int width = 0);

// The decimals that show two significant digits of an error e (0 ... 9; 3 for e = 0).
int ErrorDecimals(double e);
// "v +- e" with the decimals of e, or "v (not determined)" for an error that is not finite.
std::string ValueAndError(double v, double e);

}  // namespace sonarix
