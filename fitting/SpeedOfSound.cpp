// The speed of sound from a sphere's resonances.
#include "fitting/SpeedOfSound.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "physics/SphereTheory.h"

namespace sonarix {

SoundSpeed SpeedOfSoundFrom(const std::vector<double>& frequencies, double radius,
                            const std::vector<double>& frequencyErrors) {
    SoundSpeed out;
    constexpr double kLowest = 250.0, kHighest = 450.0;
    if (frequencies.size() < 2) {
        out.why = "at least two peaks are needed";
        return out;
    }
    if (!(radius >= 0.01 && radius <= 1.0)) {
        out.why = "the radius must lie between 10 and 1000 mm";
        return out;
    }
    for (double f : frequencies) {
        if (!(f >= 100.0 && f <= 30000.0)) {
            out.why = "every peak must lie between 100 Hz and 30 kHz";
            return out;
        }
    }
    const double highest = *std::max_element(frequencies.begin(), frequencies.end());
    const std::vector<physics::SphereRoot> roots =
        physics::SphereRoots(2.0 * std::numbers::pi * radius * highest / kLowest * 1.05 + 1.0);
    // The root nearest f for speed c, and how far f lies from it (relative).
    auto nearest = [&](double f, double c, double& miss) {
        const double x = 2.0 * std::numbers::pi * radius * f / c;
        const physics::SphereRoot* best = &roots.front();
        for (const physics::SphereRoot& r : roots) {
            if (std::abs(r.x - x) < std::abs(best->x - x)) best = &r;
        }
        miss = std::abs(best->x - x) / x;
        return best;
    };
    // The speed that puts every peak nearest a mode: a scan fine enough that no assignment is
    // skipped (a step well below the modes' relative spacing), then its neighbourhood.
    double bestC = kLowest, bestCost = 1e300;
    for (double c = kLowest; c <= kHighest; c += 0.02) {
        double cost = 0.0, miss = 0.0;
        for (double f : frequencies) {
            nearest(f, c, miss);
            cost += miss * miss;
        }
        if (cost < bestCost) {
            bestCost = cost;
            bestC = c;
        }
    }
    // Assigned; the layers' lowering added back at the air that speed means.
    // Twice: the air of the speed found the first time is the better one for the layers.
    physics::Air air = physics::AirAt(273.15 * ((bestC / 331.3) * (bestC / 331.3) - 1.0));
    bool weighted = frequencyErrors.size() == frequencies.size();
    for (double e : frequencyErrors) weighted = weighted && e > 0.0 && std::isfinite(e);
    for (int round = 0; round < 2; ++round) {
        if (round == 1)
            air = physics::AirAt(273.15 * ((out.speed / 331.3) * (out.speed / 331.3) - 1.0));
        out.peaks.clear();
        double sum = 0.0;
        for (size_t i = 0; i < frequencies.size(); ++i) {
            const double f = frequencies[i];
            double miss = 0.0;
            const physics::SphereRoot* r = nearest(f, bestC, miss);
            if (miss > 0.02) {
                out.why = "the peak at " + std::to_string(static_cast<int>(std::lround(f))) +
                          " Hz lies far from every mode of this sphere";
                return out;
            }
            for (const AssignedPeak& p : out.peaks) {
                if (p.l == r->l && p.n == r->n) {
                    out.why = "two peaks belong to the same mode (l = " + std::to_string(r->l) +
                              ", n = " + std::to_string(r->n) + ")";
                    return out;
                }
            }
            AssignedPeak p;
            p.frequency = f;
            p.l = r->l;
            p.n = r->n;
            p.x = r->x;
            // The layers lowered f0 by their width at f0: f0 = f + B(f0), solved by iteration.
            double unlowered = f;
            for (int i = 0; i < 4; ++i)
                unlowered = f + physics::BoundaryLayerHalfWidth(r->l, r->x, unlowered, radius, air);
            p.speed = 2.0 * std::numbers::pi * radius * unlowered / r->x;
            if (weighted) p.speedError = p.speed * frequencyErrors[i] / f;
            sum += p.speed;
            out.peaks.push_back(p);
        }
        const double n = static_cast<double>(out.peaks.size());
        if (weighted) {
            double weights = 0.0, weightedSum = 0.0;
            for (const AssignedPeak& p : out.peaks) {
                const double w = 1.0 / (p.speedError * p.speedError);
                weights += w;
                weightedSum += w * p.speed;
            }
            out.speed = weightedSum / weights;
            double chi = 0.0;
            for (const AssignedPeak& p : out.peaks)
                chi += std::pow((p.speed - out.speed) / p.speedError, 2.0);
            out.speedError = std::sqrt(1.0 / weights) * std::max(1.0, std::sqrt(chi / (n - 1.0)));
        } else {
            out.speed = sum / n;
            double scatter = 0.0;
            for (const AssignedPeak& p : out.peaks)
                scatter += (p.speed - out.speed) * (p.speed - out.speed);
            out.speedError = std::sqrt(scatter / (n - 1.0) / n);
        }
    }
    // T = 273.15 ((c / 331.3)^2 - 1), and its error through dT/dc.
    out.celsius = 273.15 * ((out.speed / 331.3) * (out.speed / 331.3) - 1.0);
    out.celsiusError = 2.0 * 273.15 * out.speed / (331.3 * 331.3) * out.speedError;
    out.found = true;
    return out;
}

}  // namespace sonarix
