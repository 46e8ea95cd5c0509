// The peak finder.
#include "fitting/FindPeaks.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace sonarix {
namespace {

struct Point {
    double x, y;
};

// The points strictly inside the range, by ascending frequency.
std::vector<Point> InRange(const FitData& d, double from, double to) {
    std::vector<Point> p;
    for (int i = 1; i <= d.FitCount; ++i) {
        const double x = d.FitFrequency[i], y = d.FitAmplitude[i];
        if (from < x && x < to && std::isfinite(y)) p.push_back({x, y});
    }
    std::stable_sort(p.begin(), p.end(), [](const Point& a, const Point& b) { return a.x < b.x; });
    return p;
}

double Noise(const std::vector<Point>& p) {
    if (p.size() < 3) return 0.0;
    std::vector<double> d;
    d.reserve(p.size() - 2);
    for (size_t i = 1; i + 1 < p.size(); ++i) {
        d.push_back(std::fabs(p[i + 1].y - 2.0 * p[i].y + p[i - 1].y));
    }
    auto mid = d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2);
    std::nth_element(d.begin(), mid, d.end());
    return *mid / 1.652;
}

// Where the data first fall below `level` walking from i in direction step, interpolated;
// false at the end of the data.
bool Crossing(const std::vector<Point>& p, size_t i, int step, double level, double& x) {
    for (size_t j = i;;) {
        if ((step < 0 && j == 0) || (step > 0 && j + 1 >= p.size())) return false;
        const size_t k = step < 0 ? j - 1 : j + 1;
        if (p[k].y < level) {
            const double t = (p[j].y - level) / (p[j].y - p[k].y);
            x = p[j].x + t * (p[k].x - p[j].x);
            return true;
        }
        j = k;
    }
}

}  // namespace

double EstimateNoise(const FitData& data, double from, double to) {
    return Noise(InRange(data, from, to));
}

int FindPeaks(const FitData& data, double from, double to, PeakTable& t) {
    for (int k = 1; k <= kPeaks; ++k) {
        t.PeakFrequency[k] = 0.0;
        t.PeakAmplitude[k] = 0.0;
        t.PeakWidth[k] = 20.0;
        t.PeakPhase[k] = 0.0;
    }
    const std::vector<Point> p = InRange(data, from, to);
    if (p.size() < 3) return 0;
    const double noise = Noise(p);
    struct Candidate {
        size_t i;
        double prominence;
    };
    std::vector<Candidate> found;
    for (size_t i = 0; i < p.size(); ++i) {
        // A maximum: above the left neighbour, not below the right one (a flat top counts
        // once, at its left end).
        if (i > 0 && !(p[i].y > p[i - 1].y)) continue;
        if (i + 1 < p.size() && p[i + 1].y > p[i].y) continue;
        double leftMin = p[i].y, rightMin = p[i].y;
        for (size_t j = i; j-- > 0 && p[j].y <= p[i].y;) leftMin = std::min(leftMin, p[j].y);
        for (size_t j = i + 1; j < p.size() && p[j].y <= p[i].y; ++j) {
            rightMin = std::min(rightMin, p[j].y);
        }
        const double prominence = p[i].y - std::max(leftMin, rightMin);
        if (prominence > 6.0 * noise && prominence > 0.0) found.push_back({i, prominence});
    }
    // Of those, the highest: two strong resonances close together lower each other's
    // prominence, yet both are what the fit needs.
    std::stable_sort(found.begin(), found.end(),
                     [&p](const Candidate& a, const Candidate& b) { return p[a.i].y > p[b.i].y; });
    if (found.size() > static_cast<size_t>(kPeaks)) found.resize(kPeaks);
    std::sort(found.begin(), found.end(),
              [](const Candidate& a, const Candidate& b) { return a.i < b.i; });
    int k = 0;
    for (const Candidate& c : found) {
        ++k;
        const Point& top = p[c.i];
        double left = 0.0, right = 0.0;
        const bool hasLeft = Crossing(p, c.i, -1, 0.5 * top.y, left);
        const bool hasRight = Crossing(p, c.i, +1, 0.5 * top.y, right);
        double half;  // half width at half height
        if (hasLeft && hasRight) {
            half = 0.5 * (right - left);
        } else if (hasLeft || hasRight) {
            half = hasLeft ? top.x - left : right - top.x;
        } else {
            half = 0.25 * (p.back().x - p.front().x);
        }
        t.PeakFrequency[k] = top.x;
        t.PeakAmplitude[k] = top.y;
        t.PeakWidth[k] = std::max(half / std::sqrt(3.0), 1e-3);
        t.PeakPhase[k] = 0.0;
    }
    return k;
}

}  // namespace sonarix
