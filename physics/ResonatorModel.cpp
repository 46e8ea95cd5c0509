// The physical model of the virtual apparatus.
#include "physics/ResonatorModel.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "physics/SampleRate.h"
#include "physics/SphereTheory.h"

namespace physics {
namespace {
constexpr double kPi = std::numbers::pi;
}  // namespace

std::vector<CavityMode> SphereModes(double radius, double speedOfSound, double maxFrequency) {
    const double scale = speedOfSound / (2.0 * kPi * radius);
    std::vector<CavityMode> modes;
    for (const SphereRoot& r : SphereRoots(maxFrequency / scale)) {
        CavityMode m;
        m.l = r.l;
        m.n = r.n;
        m.frequency = r.x * scale;
        // Quality factor 100; amplitudes fall gently with frequency.
        m.width = m.frequency / 200.0;
        m.amplitude = 3.0 * std::sqrt(2000.0 / m.frequency);
        modes.push_back(m);
    }
    return modes;
}

double AngleGain(int l, double alphaDegrees) {
    double cosTheta = (std::cos(alphaDegrees * kPi / 180.0) - 1.0) / 2.0;
    return std::legendre(static_cast<unsigned>(l), cosTheta);
}

double AngleGain(const CavityMode& mode, double alphaDegrees) {
    if (mode.m < 0) return AngleGain(mode.l, alphaDegrees);
    return PairWeight(mode.l, mode.m) * std::cos(mode.m * alphaDegrees * kPi / 180.0);
}

std::vector<CavityMode> SphereModes(const SphereSetup& setup) {
    // The scale of the couplings: the l = 1 mode of the 5 cm sphere at 20 degrees peaks at
    // about 3 with the default openings, as the idealised apparatus's did.
    constexpr double kCoupling = 1.2e4;
    const Air air = AirAt(setup.celsius);
    const double scale = air.c / (2.0 * kPi * setup.radius);
    std::vector<CavityMode> modes;
    // Roots a little beyond the range: a ring and the layers only lower the frequencies.
    for (const SphereRoot& r : SphereRoots(setup.maxFrequency / scale * 1.02)) {
        const double f0 = r.x * scale;
        const double layers = BoundaryLayerHalfWidth(r.l, r.x, f0, setup.radius, air);
        const double ll = r.l * (r.l + 1.0) / (r.x * r.x);
        CavityMode mode;
        mode.l = r.l;
        mode.n = r.n;
        mode.width = layers + setup.openingHalfWidth;
        const double first = setup.ring > 0.0 ? 0 : -1, last = setup.ring > 0.0 ? r.l : -1;
        for (int m = static_cast<int>(first); m <= static_cast<int>(last); ++m) {
            mode.m = m;
            const double split = m < 0 ? 0.0 : RingShift(r.l, m, r.x, setup.radius, setup.ring);
            mode.frequency = f0 * (1.0 + split) - layers;
            mode.amplitude =
                kCoupling * (2.0 * r.l + 1.0) / ((1.0 - ll) * mode.width * mode.frequency);
            if (mode.frequency <= setup.maxFrequency) modes.push_back(mode);
        }
    }
    std::sort(modes.begin(), modes.end(),
              [](const CavityMode& x, const CavityMode& y) { return x.frequency < y.frequency; });
    return modes;
}

double ResonatorModel::Biquad::Step(double x) {
    double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
}

std::complex<double> ResonatorModel::Biquad::At(double f) const {
    const std::complex<double> zi = std::polar(1.0, -2.0 * kPi * f / kSampleRateHz);  // z^-1
    return (b0 + b1 * zi + b2 * zi * zi) / (1.0 + a1 * zi + a2 * zi * zi);
}

ResonatorModel::ResonatorModel(std::vector<CavityMode> modes, double highPassHz, double directGain)
    : m_modes(std::move(modes)), m_direct(directGain) {
    const double T = 1.0 / kSampleRateHz;
    for (const CavityMode& m : m_modes) {
        Biquad q;
        const double gamma = 2.0 * kPi * m.width;
        const double omega = 2.0 * kPi * m.frequency;
        const double omegaD = std::sqrt(std::max(omega * omega - gamma * gamma, 0.0));
        const double r = std::exp(-gamma * T);
        q.a1 = -2.0 * r * std::cos(omegaD * T);
        q.a2 = r * r;
        // Impulse invariance: the oscillator term A 2 gamma omega / ((s + gamma)^2 + omegaD^2)
        // (in the e^{+i omega t} convention, conjugated) has the impulse response
        // A 2 gamma omega / omegaD e^{-gamma t} sin(omegaD t); its samples times T are the
        // filter's. So the filter follows the term across the whole band, not only at F, up to
        // the term's images from beyond the sampling rate.
        q.b1 = T * m.amplitude * 2.0 * gamma * omega / omegaD * r * std::sin(omegaD * T);
        // The images add the constant -A 2WF pi^2 / (3 fs^2) (the term's 1/f^2 tails summed
        // over the multiples of the rate); it is taken back out.
        const double images = m.amplitude * 2.0 * m.width * m.frequency * kPi * kPi /
                              (3.0 * kSampleRateHz * kSampleRateHz);
        q.b0 = images;
        q.b1 += images * q.a1;
        q.b2 = images * q.a2;
        m_resonators.push_back(q);
    }
    m_gains.assign(m_modes.size(), 0.0);
    // Second-order Butterworth high-pass by the bilinear transform.
    const double k = std::tan(kPi * highPassHz / kSampleRateHz);
    const double norm = 1.0 / (1.0 + std::numbers::sqrt2 * k + k * k);
    m_highPass.b0 = norm;
    m_highPass.b1 = -2.0 * norm;
    m_highPass.b2 = norm;
    m_highPass.a1 = 2.0 * (k * k - 1.0) * norm;
    m_highPass.a2 = (1.0 - std::numbers::sqrt2 * k + k * k) * norm;
    SetAngle(0.0);
}

ResonatorModel ResonatorModel::DefaultSphere() {
    return ResonatorModel(SphereModes(0.050, 343.0, 10000.0));
}

ResonatorModel ResonatorModel::Sphere(const SphereSetup& setup) {
    return ResonatorModel(SphereModes(setup), 100.0, 0.0);
}

void ResonatorModel::SetAngle(double alphaDegrees) {
    m_angle = alphaDegrees;
    for (size_t i = 0; i < m_modes.size(); ++i) m_gains[i] = AngleGain(m_modes[i], alphaDegrees);
}

double ResonatorModel::Process(double drive) {
    // Without drive, once every filter has rung down, the output is silence: the filters are
    // not run (idle, the program records all the time), and nothing decays into denormal
    // numbers, which the processor handles a hundred times slower.
    if (drive == 0.0 && m_silent) return 0.0;
    m_silent = false;
    const double s = m_highPass.Step(drive);
    double p = m_direct * s;
    double largest = std::fabs(m_highPass.y1) + std::fabs(m_highPass.y2);
    for (size_t i = 0; i < m_resonators.size(); ++i) {
        Biquad& q = m_resonators[i];
        p += m_gains[i] * q.Step(s);
        largest = std::max(largest, std::fabs(q.y1) + std::fabs(q.y2));
    }
    if (drive == 0.0 && largest < kSilence) {
        Reset();
        m_silent = true;
    }
    return p;
}

void ResonatorModel::Reset() {
    m_silent = false;
    auto clear = [](Biquad& q) { q.x1 = q.x2 = q.y1 = q.y2 = 0.0; };
    clear(m_highPass);
    for (Biquad& q : m_resonators) clear(q);
}

std::complex<double> ResonatorModel::Response(double f) const {
    std::complex<double> cavity = m_direct;
    for (size_t i = 0; i < m_resonators.size(); ++i) cavity += m_gains[i] * m_resonators[i].At(f);
    return m_highPass.At(f) * cavity;
}

}  // namespace physics
