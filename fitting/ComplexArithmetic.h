// The complex record and the five operations the resonance model needs, exact to
// their formulas (no special handling of zero, infinity or overflow).
#pragma once

#include <cmath>

namespace sonarix {

struct Complex {
    double Re = 0.0;
    double Im = 0.0;
};

inline Complex CAdd(Complex u, Complex v) { return Complex{u.Re + v.Re, u.Im + v.Im}; }

inline Complex CMul(Complex u, Complex v) {
    return Complex{u.Re * v.Re - u.Im * v.Im, u.Re * v.Im + v.Re * u.Im};
}

inline Complex CDiv(Complex u, Complex v) {
    const double d = v.Re * v.Re + v.Im * v.Im;
    return Complex{(u.Re * v.Re + u.Im * v.Im) / d, (v.Re * u.Im - u.Re * v.Im) / d};
}

inline double CAbs(Complex u) { return std::sqrt(u.Re * u.Re + u.Im * u.Im); }

inline Complex CExp(Complex u) {
    const double e = std::exp(u.Re);
    return Complex{e * std::cos(u.Im), e * std::sin(u.Im)};
}

}  // namespace sonarix
