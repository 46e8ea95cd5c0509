// The session's values and their exchange with the spectrum store.
#include "session/SessionData.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sonarix {

SessionData::SessionData() {
    for (int i = 0; i < kSlots; ++i) spectra[i].color = kDefaultSpecColor[i];
}

SlotContent TakeSlot(const SharedState& s, int slot, bool leftovers) {
    SlotContent c;
    c.count = std::clamp(s.SpecCount[slot], 0, kSlotCapacity);
    int extent = c.count;
    if (leftovers) {
        for (int i = kSlotCapacity; i > extent; --i) {
            if (s.SpecFreq[slot][i] != 0.0 || s.SpecAmp[slot][i] != 0.0 ||
                s.SpecPhase[slot][i] != 0.0 || std::signbit(s.SpecFreq[slot][i]) ||
                std::signbit(s.SpecAmp[slot][i]) || std::signbit(s.SpecPhase[slot][i])) {
                extent = i;
                break;
            }
        }
    }
    c.freq.assign(s.SpecFreq[slot].begin() + 1, s.SpecFreq[slot].begin() + 1 + extent);
    c.amp.assign(s.SpecAmp[slot].begin() + 1, s.SpecAmp[slot].begin() + 1 + extent);
    c.phase.assign(s.SpecPhase[slot].begin() + 1, s.SpecPhase[slot].begin() + 1 + extent);
    c.phased = s.SpecPhased[slot];
    c.color = s.SpecColor[slot];
    return c;
}

void PutSlot(SharedState& s, int slot, const SlotContent& c) {
    const auto put = [](SharedState::SlotArray& to, const std::vector<double>& from) {
        const size_t n = std::min<size_t>(from.size(), kSlotCapacity);
        std::copy(from.begin(), from.begin() + static_cast<std::ptrdiff_t>(n), to.begin() + 1);
        std::fill(to.begin() + 1 + static_cast<std::ptrdiff_t>(n), to.end(), 0.0);
    };
    put(s.SpecFreq[slot], c.freq);
    put(s.SpecAmp[slot], c.amp);
    put(s.SpecPhase[slot], c.phase);
    s.SpecCount[slot] = std::clamp(c.count, 0, kSlotCapacity);
    s.SpecPhased[slot] = c.phased;
    s.SpecColor[slot] = c.color;
    ++s.SpecReplaced;
}

bool FitSession::operator==(const FitSession& o) const {
    return peaks.PeakFrequency == o.peaks.PeakFrequency &&
           peaks.PeakAmplitude == o.peaks.PeakAmplitude && peaks.PeakWidth == o.peaks.PeakWidth &&
           peaks.PeakPhase == o.peaks.PeakPhase && from == o.from && to == o.to;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

namespace {

template <typename Range>
bool AllSameBits(const Range& a, const Range& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](double x, double y) { return SameBits(x, y); });
}

}  // namespace

bool SameBits(const SlotContent& a, const SlotContent& b) {
    return a.count == b.count && a.phased == b.phased && a.color == b.color &&
           AllSameBits(a.freq, b.freq) && AllSameBits(a.amp, b.amp) &&
           AllSameBits(a.phase, b.phase);
}

bool SameBits(const WaveSeries& a, const WaveSeries& b) {
    for (size_t k = 0; k < a.size(); ++k) {
        if (!a[k] || !b[k]) {
            if (a[k] != b[k]) return false;
            continue;
        }
        if (a[k]->phased != b[k]->phased || !AllSameBits(a[k]->freq, b[k]->freq) ||
            !AllSameBits(a[k]->amp, b[k]->amp) || !AllSameBits(a[k]->phase, b[k]->phase))
            return false;
    }
    return true;
}

bool SameBits(const SessionData& a, const SessionData& b) {
    for (int i = 0; i < kSlots; ++i) {
        if (!SameBits(a.spectra[i], b.spectra[i])) return false;
    }
    return AllSameBits(a.wave.values, b.wave.values) &&
           SameBits(a.wave.frequency, b.wave.frequency) && SameBits(a.wave.series, b.wave.series) &&
           a.parts == b.parts;
}

}  // namespace sonarix
